#include "server/store/account_manager.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "server/store/config_file.h"
#include "server/store/user_account.h"
#include "shared/platform/win_error.h"
#include "shared/protocol/result_codes.h"
#include "testing/temp_dir.h"

namespace tervane {
namespace {

constexpr char kDigest[] = "5f4dcc3b5aa765d61d8327deb882cf99";
constexpr uint32_t kAlice = 7;

class AccountManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_.WriteFile("Config.cfg", config_);
    ASSERT_EQ(accounts_.LoadAccounts(dir_.At("Config.cfg"), &max_connections_), 0u);
    ASSERT_EQ(accounts_.Login("alice", "pw", kAlice), 0u);
  }
  std::string Current() {
    std::string cur;
    EXPECT_TRUE(accounts_.CurrentDirectoryOf("alice", &cur));
    return cur;
  }

  testing::TempDir dir_;
  const std::string config_ = "[SharePath]\r\n" + dir_.At("share/root") + "/\r\n[User]\r\nalice\r\npw\r\n";
  AccountManager accounts_;
  uint32_t max_connections_ = 0;
  StorePath p_;
  char resume_[kMaxPath] = {};
};

TEST_F(AccountManagerTest, LoadingCreatesTheRootAndPrivateHomesWhateverTheUmask) {
  EXPECT_TRUE(accounts_.share_root() == dir_.At("share/root") + "/" && max_connections_ == 10u);
  EXPECT_EQ(accounts_.max_space_bytes(), 0xFF000000u) << "megabytes shifted into 32 bits";
  EXPECT_EQ(accounts_.max_file_count(), kMaxFileCount);
  mode_t old_mask = ::umask(0);
  AccountManager fresh;
  dir_.WriteFile("c2/Config.cfg", "[SharePath]\r\n" + dir_.At("c2/new/root") + "/\r\n[User]\r\nann\r\npw\r\n");
  ASSERT_EQ(fresh.LoadAccounts(dir_.At("c2/Config.cfg"), &max_connections_), 0u);
  ASSERT_EQ(fresh.RegisterUser("bea", kDigest), 0u);
  ASSERT_EQ(fresh.Login("bea", kDigest, 3), 0u);
  bool has_file = false;
  EXPECT_EQ(fresh.ResolveCreatePath(3, "Mon\\C\\a.txt", &p_, &has_file), 0u);
  ::umask(old_mask);
  EXPECT_EQ(testing::ReadTree(dir_.At("c2/new"), /*with_modes=*/true),
            (testing::Tree{{"root/", "700"}, {"root/ann/", "700"}, {"root/bea/", "700"}, {"root/bea/Mon/", "700"},
                           {"root/bea/Mon/C/", "700"}}));
  fresh.ReleaseAccounts();
  EXPECT_TRUE(fresh.GetUserPath(3, &p_) == RESULT_NOT_LOGGED_IN && fresh.account_count() == 0u);
}

TEST_F(AccountManagerTest, RegistrationAndLoginFollowTheNameRules) {
  EXPECT_EQ(accounts_.RegisterUser("Alice", kDigest), RESULT_USER_EXISTS) << "names ignore case";
  EXPECT_TRUE(accounts_.RegisterUser("Bob", kDigest) == 0u && accounts_.UserExists("bob"));
  const struct { const char* name; const char* password; uint32_t socket; uint32_t result; } logins[] = {
      {"bob", kDigest, 8, RESULT_NOT_LOGGED_IN},  // login compares case
      {"Bob", "wrong", 8, RESULT_WRONG_PASSWORD}, {"Bob", kDigest, 0, ERROR_INVALID_PARAMETER},
      {nullptr, kDigest, 8, 1}, {"Bob", nullptr, 8, 2}, {"Bob", kDigest, 8, 0}, {"Bob", kDigest, 9, RESULT_ALREADY_LOGGED_IN}};
  for (const auto& l : logins) {
    auto view = [](const char* s) { return s ? std::string_view(s) : std::string_view(); };
    EXPECT_EQ(accounts_.Login(view(l.name), view(l.password), l.socket), l.result) << l.name << " " << l.socket;
  }
  accounts_.Logout(8);
  EXPECT_EQ(accounts_.GetUserPath(8, &p_), RESULT_NOT_LOGGED_IN);
  EXPECT_EQ(accounts_.Login("Bob", kDigest, 9), 0u) << "free again once the first connection went";
  // One connection, one account: logging in as another moves the binding.
  ASSERT_EQ(accounts_.Login("alice", "pw", 9), RESULT_ALREADY_LOGGED_IN);
  accounts_.Logout(kAlice);
  EXPECT_TRUE(accounts_.Login("alice", "pw", 9).ok() && accounts_.Login("Bob", kDigest, 10).ok());
  EXPECT_TRUE(dir_.ReadFile("Config.cfg") == config_ + "[User]\r\nBob\r\n" + kDigest + "\r\n" &&
              dir_.Exists("share/root/Bob"));
  EXPECT_EQ(accounts_.RegisterUser("\xCD\xF5", kDigest), 0u);  // 王 in GB18030
  EXPECT_TRUE(dir_.Exists("share/root/\xE7\x8E\x8B")) << "the home is named in UTF-8";
}

TEST_F(AccountManagerTest, ARefusedRegistrationTouchesNothing) {
  dir_.WriteFile("share/victim/data", "keep");
  dir_.WriteFile("share/root/dave/old/copy.txt", "copy");
  dir_.WriteFile("share/root/erin", "a file");
  ASSERT_EQ(::symlink(dir_.At("share").c_str(), dir_.At("share/root/fred").c_str()), 0);
  const testing::Tree before = testing::ReadTree(dir_.path(), /*with_modes=*/true);
  EXPECT_EQ(accounts_.RegisterUser("../victim", kDigest), ERROR_INVALID_NAME);
  EXPECT_EQ(accounts_.RegisterUser("carol", std::string(65, 'p')), ERROR_FILENAME_EXCED_RANGE);
  EXPECT_EQ(accounts_.RegisterUser("\x81", kDigest), ERROR_INVALID_NAME) << "not GB18030";
  for (const char* name : {"dave", "erin", "fred"}) {  // something is already at the home's place
    StorePath home;
    EXPECT_EQ(accounts_.RegisterUser(name, kDigest, &home), RESULT_USER_EXISTS) << name;
    EXPECT_EQ(std::string(home.full()), dir_.At("share/root/") + name);
  }
  std::unique_ptr<UserAccount> dup;
  ASSERT_EQ(NewUserRecord("ALICE", kDigest, &dup), 0u);
  EXPECT_TRUE(accounts_.AddUser(std::move(dup)) == 0 && accounts_.AddUser(nullptr) == 0);
  EXPECT_EQ(accounts_.account_count(), 1u);
  EXPECT_EQ(testing::ReadTree(dir_.path(), /*with_modes=*/true), before);
}

TEST_F(AccountManagerTest, EveryUserRequestNeedsABoundAccount) {
  uint32_t a = 0;
  uint32_t b = 0;
  bool has_file = true;
  // ComposeUserPath checks the binding before the name.
  const std::vector<Result> got = {
      accounts_.GetUserPath(99, &p_), accounts_.ComposeUserPath(99, "..", &p_),
      accounts_.ResolveListingPath(99, "\\", &p_, resume_), accounts_.SaveListingResume(99, p_, ""),
      accounts_.ChangeCurrentDirectory(99, "\\"), accounts_.ResolveCreatePath(0, "Mon\\a.txt", &p_, &has_file),
      accounts_.GetSpaceInfo(99, &a, &b), accounts_.SetSpaceInfo(99, 1, 2), accounts_.GetUsage(99, &a, &b),
      accounts_.SetUsage(99, 1, 2)};
  EXPECT_EQ(got, std::vector<Result>(got.size(), RESULT_NOT_LOGGED_IN));
  EXPECT_EQ(accounts_.SaveListingResume(kAlice, p_, nullptr), RESULT_NO_RESUME_NAME);
  EXPECT_TRUE(!has_file && !dir_.Exists("share/root/alice/Mon"));
  EXPECT_TRUE(accounts_.GetSpaceInfo(kAlice, &a, &b).ok() && accounts_.SetUsage(kAlice, 1, 2).ok());
}

TEST_F(AccountManagerTest, ListingMovesTheCurrentDirectoryByTheNameRules) {
  dir_.MakeDir("share/root/alice/docs/old");
  dir_.MakeDir("share/root/alice/a/b");
  dir_.WriteFile("share/root/alice/file.txt", "x");
  // The last component of the current directory lists it, its parent
  // component moves up, anything else moves down.
  const struct { const char* name; uint32_t result; const char* listed; const char* current; } steps[] = {
      {"\\", 0, "", ""}, {"docs", 0, "docs", "docs"}, {"docs", 0, "docs", "docs"}, {"DOCS", 0, "docs", "docs"},
      {"old", 0, "docs/old", "docs/old"}, {"docs", 0, "docs", "docs"},
      {"missing", RESULT_NO_SUCH_DIRECTORY, "", "docs"}, {"\\", 0, "", ""}, {"a", 0, "a", "a"},
      {"b", 0, "a/b", "a/b"}, {"a", 0, "a", "a"}, {"a", 0, "a", "a"}, {"\\", 0, "", ""}};
  for (const auto& s : steps) {
    Result r = accounts_.ResolveListingPath(kAlice, s.name, &p_, resume_);
    EXPECT_EQ(r, s.result) << s.name;
    if (r.ok()) {
      EXPECT_STREQ(p_.relative(), s.listed) << s.name;
      EXPECT_EQ(accounts_.ChangeCurrentDirectory(kAlice, s.name), 0u) << s.name;
    }
    EXPECT_EQ(Current(), s.current) << s.name;
  }
  for (const char* none : {"file.txt", "nope"}) {
    EXPECT_EQ(accounts_.ChangeCurrentDirectory(kAlice, none), RESULT_NO_SUCH_DIRECTORY) << none;
  }
  EXPECT_EQ(Current(), "");
  // Names of path requests are relative to the current directory, which
  // survives logout and login.
  ASSERT_EQ(accounts_.ChangeCurrentDirectory(kAlice, "docs"), 0u);
  ASSERT_EQ(accounts_.ComposeUserPath(kAlice, "x\\y.txt", &p_), 0u);
  EXPECT_EQ(std::string(p_.full()), dir_.At("share/root/alice/docs/x/y.txt"));
  accounts_.Logout(kAlice);
  ASSERT_EQ(accounts_.Login("alice", "pw", 12), 0u);
  EXPECT_TRUE(accounts_.GetUserPath(12, &p_) == 0u && std::string(p_.relative()) == "docs");
}

TEST_F(AccountManagerTest, TheResumeNameAndTheListingStreamBelongToTheirDirectory) {
  dir_.MakeDir("share/root/alice/two");
  for (int i = 0; i < 3; ++i) dir_.WriteFile("share/root/alice/one/f" + std::to_string(i), "");
  StorePath one;
  StorePath two;
  auto resume = [&](const char* name, StorePath* p) {
    EXPECT_EQ(accounts_.ResolveListingPath(kAlice, name, p, resume_), 0u);
    return std::string(resume_);
  };
  EXPECT_EQ(resume("one", &one), "");
  ASSERT_EQ(accounts_.SaveListingResume(kAlice, one, "entry7"), 0u);
  EXPECT_EQ(resume("one", &one), "entry7");
  EXPECT_EQ(resume("two", &two), "") << "another directory starts at its beginning";
  ASSERT_EQ(accounts_.SaveListingResume(kAlice, two, ""), 0u);
  EXPECT_EQ(resume("one", &one), "");
  // The open stream of a paged listing stays with the account between
  // chunks and is closed when its connection goes.
  std::unique_ptr<ListingCursor> cursor;
  ASSERT_EQ(accounts_.ResolveListingPath(kAlice, "one", &one, resume_, &cursor), 0u);
  uint8_t out[8 + 13];
  uint32_t cap = sizeof out;
  ASSERT_EQ(BuildListing(one, out, &cap, resume_, cursor.get()), 0u);
  ListingCursor* kept = cursor.get();
  ASSERT_EQ(accounts_.SaveListingResume(kAlice, one, resume_, std::move(cursor)), 0u);
  ASSERT_EQ(accounts_.ResolveListingPath(kAlice, "one", &one, resume_, &cursor), 0u);
  EXPECT_TRUE(cursor.get() == kept && kept->open());
  ASSERT_EQ(accounts_.SaveListingResume(kAlice, one, resume_, std::move(cursor)), 0u);
  accounts_.Logout(kAlice);
  EXPECT_FALSE(kept->open());
}

TEST_F(AccountManagerTest, ResolveCreatePathMakesTheChainFromTheHomeOnlyWhenMissing) {
  dir_.MakeDir("share/root/alice/docs");
  dir_.WriteFile("share/root/alice/blocker", "file in the way");
  ASSERT_EQ(::symlink(dir_.At("share").c_str(), dir_.At("share/root/alice/link").c_str()), 0);
  ASSERT_EQ(accounts_.ChangeCurrentDirectory(kAlice, "docs"), 0u);  // paths stay relative to the home
  // What is created stays within the wire's 259 bytes from the home, so a
  // create never builds a tree deeper than a client can name.
  const std::string d100(100, 'd');
  const std::string deep = d100 + "\\" + d100 + "\\";
  const struct { std::string path; uint32_t result; const char* relative; bool has_file; } cases[] = {
      {"Mon\\C\\data\\a.txt", 0, "Mon/C/data/a.txt", true}, {"Mon\\C\\data\\b.txt", 0, "Mon/C/data/b.txt", true},
      {"Mon\\C\\empty\\deeper|", 0, "Mon/C/empty/deeper", false}, {"top.txt", 0, "top.txt", true},
      {"|", 0, "", false}, {"blocker\\x.txt", 1, "blocker/x.txt", false}, {"a|b|", ERROR_INVALID_NAME, nullptr, false},
      {deep + std::string(57, 'f'), 0, nullptr, true}, {deep + std::string(58, 'f'), ERROR_FILENAME_EXCED_RANGE, nullptr, false},
      {"link\\planted\\x.txt", ERROR_ACCESS_DENIED, nullptr, false}, {"link\\x.txt", ERROR_ACCESS_DENIED, nullptr, false}};
  for (const auto& c : cases) {
    bool has_file = !c.has_file;
    EXPECT_EQ(accounts_.ResolveCreatePath(kAlice, c.path, &p_, &has_file), c.result) << c.path;
    EXPECT_EQ(has_file, c.has_file) << c.path;
    if (c.relative != nullptr) {
      EXPECT_STREQ(p_.relative(), c.relative) << c.path;
    }
  }
  EXPECT_TRUE(dir_.Exists("share/root/alice/Mon/C/empty/deeper") && !dir_.Exists("share/planted"));
  EXPECT_FALSE(dir_.Exists("share/root/alice/Mon/C/data/a.txt")) << "the handler opens the file";
  ASSERT_EQ(accounts_.ChangeCurrentDirectory(kAlice, "\\"), 0u);
  EXPECT_EQ(accounts_.ResolveListingPath(kAlice, "link", &p_, resume_), ERROR_ACCESS_DENIED);
  // A path of 260 bytes may be named but not made.
  ASSERT_EQ(accounts_.ComposeUserPath(kAlice, deep + std::string(58, 'f'), &p_), 0u);
  EXPECT_EQ(accounts_.ComposeUserPath(kAlice, deep + std::string(58, 'f'), &p_, /*creates=*/true),
            ERROR_FILENAME_EXCED_RANGE);
}

// The record checks every account goes through.
TEST(UserAccountTest, NamesAndPasswordsAreBoundedAndANameCouldBeAHome) {
  for (const char* name : {"", ".", "..", "../victim", "a/b", "a\\b", "a:b", "a*", "a?", "a\"", "a<", "a>", "a|",
                           "tab\there", "del\x7f", "\xff"}) {
    EXPECT_EQ(CheckUserName(name), ERROR_INVALID_NAME) << name;
  }
  std::string cjk;  // 32 characters: 64 bytes on the wire, 96 in UTF-8
  for (int i = 0; i < 32; ++i) cjk += "\xE7\x8E\x8B";
  for (const std::string& ok : {std::string("..."), std::string(64, 'n'), cjk}) EXPECT_EQ(CheckUserName(ok), 0u) << ok;
  EXPECT_EQ((std::vector<Result>{CheckUserName(std::string(65, 'n')), CheckUserName(cjk + "\xE7\x8E\x8B"),
                                 CheckPassword(std::string(64, 'p')), CheckPassword(std::string(65, 'p')),
                                 CheckPassword("a\r\nb")}),
            (std::vector<Result>{ERROR_FILENAME_EXCED_RANGE, ERROR_FILENAME_EXCED_RANGE, 0, ERROR_FILENAME_EXCED_RANGE,
                                 ERROR_INVALID_NAME}));
}

}  // namespace
}  // namespace tervane
