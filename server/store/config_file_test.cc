#include "server/store/config_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "shared/protocol/result_codes.h"
#include "testing/temp_dir.h"

namespace tervane {
namespace {

class ConfigFileTest : public ::testing::Test {
 protected:
  Result Read(const std::string& text) {
    dir_.WriteFile("Config.cfg", text);
    return ReadConfig(dir_.At("Config.cfg"), &c_);
  }
  std::string Users() const {
    std::string s;
    for (const auto& a : c_.accounts) s += std::string(a->name) + ":" + a->password + ";";
    return s;
  }

  testing::TempDir dir_;
  ServerConfig c_;
};

TEST_F(ConfigFileTest, ReadsTheRootAndUsersAndRefusesWhatIsMissingOrMalformedNamingTheLine) {
  ASSERT_EQ(Read("[SharePath]\r\n/srv/s\r\n[User]\r\nal ice\r\nd1\r\n[anything]\r\n\xE7\x8E\x8B\r\nd2\r\n\r\n"), 0u);
  EXPECT_EQ(c_.share_root + "|" + Users(), "/srv/s/|al ice:d1;\xE7\x8E\x8B:d2;") << "the final / is added";
  ASSERT_EQ(Read("[SharePath]\n/srv/s/\n[User]\nbob\nd3\n"), 0u) << "LF line ends";
  EXPECT_EQ(c_.share_root + "|" + Users(), "/srv/s/|bob:d3;");
  const std::string n64(64, 'n');
  ASSERT_EQ(Read("[SharePath]\r\n/srv/s/\r\n[User]\r\n" + n64 + "\r\n" + std::string(64, 'p') + "\r\n"), 0u);
  EXPECT_EQ(c_.accounts.size(), 1u) << "64 bytes fit";

  dir_.MakeDir("adir");
  EXPECT_EQ((std::vector<Result>{ReadConfig("", &c_), ReadConfig(dir_.At("none.cfg"), &c_), ReadConfig(dir_.At("adir"), &c_)}),
            (std::vector<Result>{RESULT_CONFIG_NO_PATH, RESULT_CONFIG_MISSING, RESULT_CONFIG_UNREADABLE}));
  const std::string user = "[SharePath]\r\n/srv/s/\r\n[User]\r\n";
  const struct { std::string text; int line; const char* what; } bad[] = {
      {"no bracket at all\r\n", 1, "[SharePath]"},
      {"[SharePath]\r\n/srv/s/", 2, "no line end"},
      {"[SharePath]x\r\n/srv/s/\r\n", 1, "[SharePath]"},
      {"[SharePath]\r\nrelative/root/\r\n", 2, "not an absolute path"},
      {"[SharePath]\r\n/\r\n", 2, "/ itself"},
      {"[SharePath]\r\n\r\n", 2, "empty"},
      {"[SharePath]\r\n/" + std::string(259, 'r') + "\r\n", 2, "longer than 259"},
      {"[SharePath]\n/srv/s/\n\nstray\n", 4, "[User]"},
      {user + "bob\r\n", 5, "password line of \"bob\""},
      {user + "..\r\npw\r\n", 4, "user name \"..\""},
      {user + std::string(65, 'n') + "\r\npw\r\n", 4, "longer than 64"},
      {user + "bob\r\n" + std::string(65, 'p') + "\r\n", 5, "password of \"bob\""},
  };
  for (const auto& b : bad) {
    EXPECT_EQ(Read(b.text), RESULT_CONFIG_MALFORMED) << b.text;
    EXPECT_TRUE(c_.accounts.empty());
    EXPECT_EQ(c_.error_line, b.line) << b.text;
    EXPECT_NE(c_.error.find(b.what), std::string::npos) << b.text << " gave: " << c_.error;
  }
}

TEST_F(ConfigFileTest, TheRewriteIsExactPrivateAndAtomic) {
  const std::string old_text = "[SharePath]\r\n/srv/s/\r\n[User]\r\nalice\r\na\r\n";
  dir_.WriteFile("Config.cfg", old_text);
  ASSERT_EQ(::chmod(dir_.At("Config.cfg").c_str(), 0640), 0);
  std::vector<std::unique_ptr<UserAccount>> accounts(2);
  ASSERT_EQ(NewUserRecord("alice", "a", &accounts[0]), 0u);
  ASSERT_EQ(NewUserRecord("bob smith", "b", &accounts[1]), 0u);
  // The new text arrives by rename: a descriptor opened before still reads the old one.
  int before = ::open(dir_.At("Config.cfg").c_str(), O_RDONLY);
  ASSERT_EQ(WriteConfig(dir_.At("Config.cfg"), "/srv/s/", accounts), 0u);
  char buf[256];
  ssize_t n = ::read(before, buf, sizeof buf);
  EXPECT_EQ(std::string(buf, n > 0 ? static_cast<size_t>(n) : 0), old_text);
  ::close(before);
  const std::string new_text = old_text + "[User]\r\nbob smith\r\nb\r\n";
  // Private, as it holds digests, and no temporary left beside it.
  EXPECT_EQ(testing::ReadTree(dir_.path(), /*with_modes=*/true), (testing::Tree{{"Config.cfg", "600:" + new_text}}));

  // A rename that cannot happen (a directory in the way) leaves it as it was, and no temporary.
  dir_.MakeDir("blocked/Config.cfg/inner");
  EXPECT_EQ(WriteConfig(dir_.At("blocked/Config.cfg"), "/srv/s/", accounts), RESULT_CONFIG_UNREADABLE);
  EXPECT_EQ(testing::ReadTree(dir_.At("blocked")).size(), 2u);
  EXPECT_TRUE(WriteConfig(dir_.At("nodir/Config.cfg"), "/srv/s/", accounts) == RESULT_CONFIG_UNREADABLE &&
              !dir_.Exists("nodir"));

  // A linked file is rewritten where the link points; the link stays. The
  // temporaries a crash left beside it are removed at the next start, and
  // nothing else is.
  dir_.WriteFile("real/Config.cfg", old_text);
  ASSERT_EQ(::symlink(dir_.At("real/Config.cfg").c_str(), dir_.At("link.cfg").c_str()), 0);
  ASSERT_EQ(WriteConfig(dir_.At("link.cfg"), "/srv/s/", accounts), 0u);
  EXPECT_TRUE(testing::ReadTree(dir_.path())["link.cfg"] == "-> " + dir_.At("real/Config.cfg") &&
              dir_.ReadFile("real/Config.cfg") == new_text);
  for (const char* name : {"Config.cfg.a1B2c3", "Config.cfg.keep", "Config.cfg.a1B2c3d", "other.cfg.a1B2c3"})
    dir_.WriteFile(std::string("real/") + name, "x");
  dir_.MakeDir("real/Config.cfg.dir000");
  RemoveStaleConfigTemps(dir_.At("link.cfg"));
  EXPECT_EQ(testing::ListFiles(dir_.At("real")),
            (std::vector<std::string>{"Config.cfg", "Config.cfg.a1B2c3d", "Config.cfg.keep", "other.cfg.a1B2c3"}));
  EXPECT_TRUE(dir_.Exists("real/Config.cfg.dir000"));
}

}  // namespace
}  // namespace tervane
