#include "server/store/account_manager.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "server/store/config_file.h"
#include "testing/temp_dir.h"
#include "shared/platform/win_error.h"
#include "shared/protocol/result_codes.h"

namespace tervane {
namespace {

constexpr char kDigest[] = "5f4dcc3b5aa765d61d8327deb882cf99";

class AccountManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_.WriteFile("Config.cfg", "[SharePath]\r\n" + dir_.At("share/root") + "/\r\n[User]\r\nalice\r\npw\r\n");
    uint32_t max_connections = 0;
    ASSERT_EQ(accounts_.LoadAccounts(dir_.At("Config.cfg"), &max_connections), 0u);
    EXPECT_EQ(max_connections, 10u);
    ASSERT_EQ(accounts_.Login("alice", "pw", kAlice), 0u);
  }
  StorePath Path(const std::string& rel) const { return dir_.Path("share/root/alice", rel); }

  static constexpr uint32_t kAlice = 7;
  testing::TempDir dir_;
  AccountManager accounts_;
};

TEST_F(AccountManagerTest, LoadCreatesTheRootAndEveryHome) {
  EXPECT_TRUE(dir_.Exists("share/root/alice"));
  EXPECT_EQ(accounts_.share_root(), dir_.At("share/root") + "/");
  EXPECT_EQ(accounts_.max_space_bytes(), 0xFF000000u);
  EXPECT_EQ(accounts_.max_file_count(), 0xFFFFFFF0u);
}

TEST_F(AccountManagerTest, RegistrationAndLoginFollowTheNameRules) {
  EXPECT_EQ(accounts_.RegisterUser("Alice", kDigest), RESULT_USER_EXISTS) << "names ignore case";
  EXPECT_EQ(accounts_.RegisterUser("Bob", kDigest), 0u);
  EXPECT_TRUE(accounts_.UserExists("bob"));
  EXPECT_EQ(accounts_.RegisterUser("bob", kDigest), RESULT_USER_EXISTS);
  EXPECT_EQ(accounts_.Login("bob", kDigest, 8), RESULT_NOT_LOGGED_IN) << "login compares case";
  EXPECT_EQ(accounts_.Login("Bob", "wrong", 8), RESULT_WRONG_PASSWORD);
  EXPECT_EQ(accounts_.Login("Bob", kDigest, 0), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(accounts_.Login(std::string_view(), kDigest, 8), 1u);
  EXPECT_EQ(accounts_.Login("Bob", std::string_view(), 8), 2u);
  ASSERT_EQ(accounts_.Login("Bob", kDigest, 8), 0u);
  EXPECT_EQ(accounts_.Login("Bob", kDigest, 9), RESULT_ALREADY_LOGGED_IN);
  accounts_.Logout(8);
  EXPECT_EQ(accounts_.Login("Bob", kDigest, 9), 0u) << "free again once the first connection went";
  EXPECT_EQ(accounts_.GetUserPath(8, nullptr), RESULT_NOT_LOGGED_IN);
  // One connection, one account: logging in as another moves the binding.
  ASSERT_EQ(accounts_.Login("alice", "pw", 9), RESULT_ALREADY_LOGGED_IN);
  accounts_.Logout(kAlice);
  ASSERT_EQ(accounts_.Login("alice", "pw", 9), 0u);
  EXPECT_EQ(accounts_.Login("Bob", kDigest, 10), 0u);
  EXPECT_EQ(dir_.ReadFile("Config.cfg"), "[SharePath]\r\n" + dir_.At("share/root") +
                                             "/\r\n[User]\r\nalice\r\npw\r\n[User]\r\nBob\r\n" + kDigest + "\r\n");
  EXPECT_TRUE(dir_.Exists("share/root/Bob"));
}

TEST_F(AccountManagerTest, RegistrationInputIsBoundedBeforeAnyPathIsBuilt) {
  dir_.MakeDir("share/victim");
  dir_.WriteFile("share/victim/data", "keep");
  // The checks themselves are in user_account_test.cc; here: a refused
  // registration touches nothing.
  EXPECT_EQ(accounts_.RegisterUser("../victim", kDigest), ERROR_INVALID_NAME);
  EXPECT_EQ(accounts_.RegisterUser("carol", std::string(65, 'p')), ERROR_FILENAME_EXCED_RANGE);
  EXPECT_EQ(accounts_.account_count(), 1u);
  EXPECT_EQ(dir_.ReadFile("share/victim/data"), "keep");
  EXPECT_EQ(accounts_.RegisterUser(std::string(64, 'n'), std::string(64, 'p')), 0u) << "64 bytes fit";
  EXPECT_EQ(accounts_.RegisterUser("\xCD\xF5", kDigest), 0u);  // 王 in GB18030
  EXPECT_TRUE(dir_.Exists("share/root/\xE7\x8E\x8B")) << "the home is named in UTF-8";
  std::unique_ptr<UserAccount> dup;
  ASSERT_EQ(NewUserRecord("ALICE", kDigest, &dup), 0u);
  EXPECT_EQ(accounts_.AddUser(std::move(dup)), 0) << "refused; the record is freed";
  EXPECT_EQ(accounts_.AddUser(nullptr), 0);
}

TEST_F(AccountManagerTest, RegistrationNeverTouchesWhatIsAlreadyAtAHome) {
  dir_.MakeDir("share/root/dave/old");
  dir_.WriteFile("share/root/dave/old/copy.txt", "copy");
  dir_.WriteFile("share/root/erin", "a file");
  ASSERT_EQ(::symlink(dir_.At("share").c_str(), dir_.At("share/root/fred").c_str()), 0);
  std::string before = dir_.ReadFile("Config.cfg");
  for (const char* name : {"dave", "erin", "fred"}) {
    StorePath home;
    EXPECT_EQ(accounts_.RegisterUser(name, kDigest, &home), RESULT_USER_EXISTS) << name;
    EXPECT_EQ(std::string(home.full()), dir_.At("share/root/") + name);
  }
  EXPECT_EQ(dir_.ReadFile("share/root/dave/old/copy.txt"), "copy");
  EXPECT_EQ(dir_.ReadFile("share/root/erin"), "a file");
  EXPECT_EQ(accounts_.account_count(), 1u);
  EXPECT_EQ(dir_.ReadFile("Config.cfg"), before);
  // The account file inside a would-be home is never at risk either.
  AccountManager in_root;
  dir_.MakeDir("s2/evil");
  dir_.WriteFile("s2/evil/Config.cfg", "[SharePath]\r\n" + dir_.At("s2") + "/\r\n");
  uint32_t n = 0;
  ASSERT_EQ(in_root.LoadAccounts(dir_.At("s2/evil/Config.cfg"), &n), 0u);
  EXPECT_EQ(in_root.RegisterUser("evil", kDigest), RESULT_USER_EXISTS);
  EXPECT_EQ(dir_.ReadFile("s2/evil/Config.cfg"), "[SharePath]\r\n" + dir_.At("s2") + "/\r\n");
}

TEST_F(AccountManagerTest, HomesAndDirectoriesTheServerCreatesArePrivate) {
  mode_t old_mask = ::umask(0);  // the modes must hold whatever the umask
  AccountManager fresh;
  dir_.MakeDir("c2");
  dir_.WriteFile("c2/Config.cfg", "[SharePath]\r\n" + dir_.At("c2/new/root") + "/\r\n[User]\r\nann\r\npw\r\n");
  uint32_t n = 0;
  ASSERT_EQ(fresh.LoadAccounts(dir_.At("c2/Config.cfg"), &n), 0u);
  ASSERT_EQ(fresh.RegisterUser("bea", kDigest), 0u);
  ASSERT_EQ(fresh.Login("bea", kDigest, 3), 0u);
  StorePath file;
  bool has_file = false;
  EXPECT_EQ(fresh.ResolveCreatePath(3, "Mon\\C\\a.txt", &file, &has_file), 0u);
  ::umask(old_mask);
  for (const char* rel : {"c2/new/root", "c2/new/root/ann", "c2/new/root/bea", "c2/new/root/bea/Mon/C"}) {
    struct stat st {};
    EXPECT_EQ(::stat(dir_.At(rel).c_str(), &st), 0) << rel;
    EXPECT_EQ(st.st_mode & 07777, 0700u) << rel;
  }
}

TEST_F(AccountManagerTest, EveryUserRequestNeedsABoundAccount) {
  StorePath p;
  uint32_t a = 0;
  uint32_t b = 0;
  char resume[kMaxPath];
  bool has_file = true;
  EXPECT_EQ(accounts_.GetUserPath(99, &p), RESULT_NOT_LOGGED_IN);
  EXPECT_EQ(accounts_.ComposeUserPath(99, "x", &p), RESULT_NOT_LOGGED_IN);
  EXPECT_EQ(accounts_.ComposeUserPath(99, "..", &p), RESULT_NOT_LOGGED_IN) << "the binding is checked first";
  EXPECT_EQ(accounts_.ResolveListingPath(99, "\\", &p, resume), RESULT_NOT_LOGGED_IN);
  EXPECT_EQ(accounts_.SaveListingResume(99, p, ""), RESULT_NOT_LOGGED_IN);
  EXPECT_EQ(accounts_.SaveListingResume(kAlice, p, nullptr), RESULT_NO_RESUME_NAME);
  EXPECT_EQ(accounts_.ChangeCurrentDirectory(99, "\\"), RESULT_NOT_LOGGED_IN);
  EXPECT_EQ(accounts_.ResolveCreatePath(99, "Mon\\a.txt", &p, &has_file), RESULT_NOT_LOGGED_IN);
  EXPECT_FALSE(has_file);
  EXPECT_FALSE(dir_.Exists("share/root/alice/Mon"));
  EXPECT_EQ(accounts_.ResolveCreatePath(0, "Mon\\a.txt", &p, &has_file), RESULT_NOT_LOGGED_IN);
  EXPECT_EQ(accounts_.GetSpaceInfo(99, &a, &b), RESULT_NOT_LOGGED_IN);
  EXPECT_EQ(accounts_.SetSpaceInfo(99, 1, 2), RESULT_NOT_LOGGED_IN);
  EXPECT_EQ(accounts_.GetUsage(99, &a, &b), RESULT_NOT_LOGGED_IN);
  EXPECT_EQ(accounts_.SetUsage(99, 1, 2), RESULT_NOT_LOGGED_IN);
  a = 0x11223344;
  b = 0x55667788;
  EXPECT_EQ(accounts_.GetSpaceInfo(kAlice, &a, &b), 0u);
  EXPECT_EQ(a, 0x11223344u) << "the values are left as the request had them";
  EXPECT_EQ(b, 0x55667788u);
  EXPECT_EQ(accounts_.SetUsage(kAlice, 1, 2), 0u);
  accounts_.ReleaseAccounts();
  EXPECT_EQ(accounts_.GetUserPath(kAlice, &p), RESULT_NOT_LOGGED_IN);
  EXPECT_EQ(accounts_.account_count(), 0u);
}

TEST_F(AccountManagerTest, ListingMovesTheCurrentDirectoryByTheNameRules) {
  dir_.MakeDir("share/root/alice/docs/old");
  dir_.MakeDir("share/root/alice/a/b");
  dir_.WriteFile("share/root/alice/file.txt", "x");
  StorePath p;
  char resume[kMaxPath];
  std::string cur;
  auto list = [&](const char* name) {
    Result r = accounts_.ResolveListingPath(kAlice, name, &p, resume);
    if (r == 0) {
      EXPECT_EQ(accounts_.ChangeCurrentDirectory(kAlice, name), 0u);
    }
    accounts_.CurrentDirectoryOf("alice", &cur);
    return r;
  };
  ASSERT_EQ(list("\\"), 0u);
  EXPECT_TRUE(p.is_home());
  ASSERT_EQ(list("docs"), 0u);
  EXPECT_STREQ(p.relative(), "docs");
  EXPECT_EQ(cur, "docs");
  ASSERT_EQ(list("docs"), 0u) << "the last component is the current directory";
  EXPECT_STREQ(p.relative(), "docs");
  EXPECT_EQ(cur, "docs");
  ASSERT_EQ(list("DOCS"), 0u);
  EXPECT_EQ(cur, "docs");
  ASSERT_EQ(list("old"), 0u);
  EXPECT_EQ(cur, "docs/old");
  ASSERT_EQ(list("docs"), 0u) << "the parent component moves up";
  EXPECT_STREQ(p.relative(), "docs");
  EXPECT_EQ(cur, "docs");
  EXPECT_EQ(list("missing"), RESULT_NO_SUCH_DIRECTORY);
  EXPECT_EQ(cur, "docs");
  EXPECT_EQ(list(".."), ERROR_ACCESS_DENIED);
  EXPECT_EQ(list("old\\..\\..\\.."), ERROR_ACCESS_DENIED);
  EXPECT_EQ(cur, "docs");
  ASSERT_EQ(list("\\"), 0u);
  ASSERT_EQ(list("a"), 0u);
  ASSERT_EQ(list("b"), 0u);
  EXPECT_EQ(cur, "a/b");
  ASSERT_EQ(list("a"), 0u) << "with \\a\\b\\ the name a lists \\a";
  EXPECT_STREQ(p.relative(), "a");
  EXPECT_EQ(cur, "a");
  ASSERT_EQ(list("a"), 0u) << "with \\a\\ the name a stays";
  EXPECT_EQ(cur, "a");
  // A file is no current directory.
  ASSERT_EQ(list("\\"), 0u);
  EXPECT_EQ(accounts_.ChangeCurrentDirectory(kAlice, "file.txt"), RESULT_NO_SUCH_DIRECTORY);
  EXPECT_EQ(accounts_.ChangeCurrentDirectory(kAlice, "nope"), RESULT_NO_SUCH_DIRECTORY);
  accounts_.CurrentDirectoryOf("alice", &cur);
  EXPECT_EQ(cur, "");
  // Names of path requests are relative to the current directory.
  ASSERT_EQ(list("docs"), 0u);
  ASSERT_EQ(accounts_.ComposeUserPath(kAlice, "x\\y.txt", &p), 0u);
  EXPECT_EQ(std::string(p.full()), dir_.At("share/root/alice/docs/x/y.txt"));
  EXPECT_EQ(accounts_.ComposeUserPath(kAlice, "..\\..\\bob", &p), ERROR_ACCESS_DENIED);
  // The current directory survives logout and login.
  accounts_.Logout(kAlice);
  ASSERT_EQ(accounts_.Login("alice", "pw", 12), 0u);
  ASSERT_EQ(accounts_.GetUserPath(12, &p), 0u);
  EXPECT_STREQ(p.relative(), "docs");
}

TEST_F(AccountManagerTest, TheResumeNameBelongsToItsDirectory) {
  dir_.MakeDir("share/root/alice/one");
  dir_.MakeDir("share/root/alice/two");
  StorePath one;
  StorePath two;
  char resume[kMaxPath];
  ASSERT_EQ(accounts_.ResolveListingPath(kAlice, "one", &one, resume), 0u);
  EXPECT_STREQ(resume, "");
  ASSERT_EQ(accounts_.SaveListingResume(kAlice, one, "entry7"), 0u);
  ASSERT_EQ(accounts_.ResolveListingPath(kAlice, "one", &one, resume), 0u);
  EXPECT_STREQ(resume, "entry7");
  ASSERT_EQ(accounts_.ResolveListingPath(kAlice, "two", &two, resume), 0u);
  EXPECT_STREQ(resume, "") << "another directory starts at its beginning";
  ASSERT_EQ(accounts_.SaveListingResume(kAlice, two, ""), 0u);
  ASSERT_EQ(accounts_.ResolveListingPath(kAlice, "one", &one, resume), 0u);
  EXPECT_STREQ(resume, "");

  // The open stream of a paged listing stays with the account between
  // chunks and is closed when its connection goes.
  for (int i = 0; i < 3; ++i) dir_.WriteFile("share/root/alice/one/f" + std::to_string(i), "");
  std::unique_ptr<ListingCursor> cursor;
  ASSERT_EQ(accounts_.ResolveListingPath(kAlice, "one", &one, resume, &cursor), 0u);
  ASSERT_TRUE(cursor);
  uint8_t out[8 + 13];
  uint32_t cap = sizeof out;
  ASSERT_EQ(BuildListing(one, out, &cap, resume, cursor.get()), 0u);
  ListingCursor* kept = cursor.get();
  ASSERT_EQ(accounts_.SaveListingResume(kAlice, one, resume, std::move(cursor)), 0u);
  ASSERT_EQ(accounts_.ResolveListingPath(kAlice, "one", &one, resume, &cursor), 0u);
  EXPECT_EQ(cursor.get(), kept);
  EXPECT_TRUE(cursor->open());
  ASSERT_EQ(accounts_.SaveListingResume(kAlice, one, resume, std::move(cursor)), 0u);
  accounts_.Logout(kAlice);
  EXPECT_FALSE(kept->open());
}

TEST_F(AccountManagerTest, ResolveCreatePathMakesTheChainOnlyWhenMissing) {
  StorePath p;
  bool has_file = false;
  ASSERT_EQ(accounts_.ResolveCreatePath(kAlice, "Mon\\C\\data\\a.txt", &p, &has_file), 0u);
  EXPECT_TRUE(has_file);
  EXPECT_EQ(std::string(p.full()), dir_.At("share/root/alice/Mon/C/data/a.txt"));
  EXPECT_TRUE(dir_.Exists("share/root/alice/Mon/C/data"));
  EXPECT_FALSE(dir_.Exists("share/root/alice/Mon/C/data/a.txt")) << "the handler opens the file";
  ASSERT_EQ(accounts_.ResolveCreatePath(kAlice, "Mon\\C\\data\\b.txt", &p, &has_file), 0u);
  EXPECT_TRUE(has_file);
  ASSERT_EQ(accounts_.ResolveCreatePath(kAlice, "Mon\\C\\empty\\deeper|", &p, &has_file), 0u);
  EXPECT_FALSE(has_file);
  EXPECT_TRUE(dir_.Exists("share/root/alice/Mon/C/empty/deeper"));
  ASSERT_EQ(accounts_.ResolveCreatePath(kAlice, "top.txt", &p, &has_file), 0u);
  EXPECT_TRUE(has_file);
  EXPECT_EQ(p.leaf(), "top.txt");
  ASSERT_EQ(accounts_.ResolveCreatePath(kAlice, "|", &p, &has_file), 0u);
  EXPECT_FALSE(has_file);
  // Relative to the home, whatever the current directory.
  dir_.MakeDir("share/root/alice/docs");
  ASSERT_EQ(accounts_.ChangeCurrentDirectory(kAlice, "docs"), 0u);
  ASSERT_EQ(accounts_.ResolveCreatePath(kAlice, "Tue\\x.txt", &p, &has_file), 0u);
  EXPECT_STREQ(p.relative(), "Tue/x.txt");
  dir_.WriteFile("share/root/alice/blocker", "file in the way");
  EXPECT_EQ(accounts_.ResolveCreatePath(kAlice, "blocker\\x.txt", &p, &has_file), 1u);
  EXPECT_FALSE(has_file);
  EXPECT_EQ(accounts_.ResolveCreatePath(kAlice, "..\\bob\\x.txt", &p, &has_file), ERROR_ACCESS_DENIED);
  EXPECT_EQ(accounts_.ResolveCreatePath(kAlice, "a|b|", &p, &has_file), ERROR_INVALID_NAME);
  // What is created stays within the wire's 259 bytes from the home, so a
  // create can never build a tree deeper than a client can name.
  const std::string d100(100, 'd');
  EXPECT_EQ(accounts_.ResolveCreatePath(kAlice, d100 + "\\" + d100 + "\\" + std::string(57, 'f'), &p, &has_file), 0u);
  EXPECT_EQ(accounts_.ResolveCreatePath(kAlice, d100 + "\\" + d100 + "\\" + std::string(58, 'f'), &p, &has_file),
            ERROR_FILENAME_EXCED_RANGE);
  ASSERT_EQ(accounts_.ChangeCurrentDirectory(kAlice, "\\"), 0u);
  const std::string e100(100, 'e');
  dir_.MakeDir("share/root/alice/" + d100 + "/" + e100);
  ASSERT_EQ(accounts_.ChangeCurrentDirectory(kAlice, d100), 0u);
  ASSERT_EQ(accounts_.ChangeCurrentDirectory(kAlice, e100), 0u);
  ASSERT_EQ(accounts_.ComposeUserPath(kAlice, d100, &p), 0u);  // 302 bytes: may be named...
  EXPECT_EQ(accounts_.ComposeUserPath(kAlice, d100, &p, /*creates=*/true), ERROR_FILENAME_EXCED_RANGE);  // ...not made
  ASSERT_EQ(accounts_.ChangeCurrentDirectory(kAlice, "\\"), 0u);
  // A link on the way is refused as such, and nothing is made through it.
  ASSERT_EQ(::symlink(dir_.At("share").c_str(), dir_.At("share/root/alice/link").c_str()), 0);
  EXPECT_EQ(accounts_.ResolveCreatePath(kAlice, "link\\planted\\x.txt", &p, &has_file), ERROR_ACCESS_DENIED);
  EXPECT_EQ(accounts_.ResolveCreatePath(kAlice, "link\\x.txt", &p, &has_file), ERROR_ACCESS_DENIED);
  EXPECT_FALSE(dir_.Exists("share/planted"));
  char resume[kMaxPath];
  EXPECT_EQ(accounts_.ResolveListingPath(kAlice, "link", &p, resume), ERROR_ACCESS_DENIED);
  // A home removed behind the server's back is made again.
  std::filesystem::remove_all(dir_.At("share/root/alice"));
  ASSERT_EQ(accounts_.ResolveCreatePath(kAlice, "Wed\\w.txt", &p, &has_file), 0u);
  EXPECT_TRUE(dir_.Exists("share/root/alice/Wed"));
}

}  // namespace
}  // namespace tervane
