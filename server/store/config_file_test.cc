#include "server/store/config_file.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "testing/temp_dir.h"
#include "shared/protocol/result_codes.h"

namespace tervane {
namespace {

std::unique_ptr<UserAccount> Account(const char* name, const char* password) {
  auto a = std::make_unique<UserAccount>();
  std::snprintf(a->name, sizeof a->name, "%s", name);
  std::snprintf(a->password, sizeof a->password, "%s", password);
  return a;
}

// Names in the directory other than `keep`: temporaries left behind.
int OtherEntries(const std::string& dir, const std::string& keep) {
  int n = 0;
  DIR* d = ::opendir(dir.c_str());
  while (dirent* e = ::readdir(d)) {
    std::string name = e->d_name;
    if (name != "." && name != ".." && name != keep) ++n;
  }
  ::closedir(d);
  return n;
}

TEST(ConfigFileTest, ReadsRootAndUsersWithTheFixedLimits) {
  testing::TempDir dir;
  dir.WriteFile("Config.cfg", "[SharePath]\r\n/srv/my share/\r\n");
  ServerConfig c;
  ASSERT_EQ(ReadConfig(dir.At("Config.cfg"), &c), 0u);
  EXPECT_EQ(c.share_root, "/srv/my share/");
  EXPECT_TRUE(c.accounts.empty());

  dir.WriteFile("Config.cfg",
                "[SharePath]\r\n/srv/s\r\n[User]\r\nal ice\r\nd1\r\n[anything]\r\n\xE7\x8E\x8B\r\nd2\r\n\r\n");
  ASSERT_EQ(ReadConfig(dir.At("Config.cfg"), &c), 0u);
  EXPECT_EQ(c.share_root, "/srv/s/") << "the final separator is added";
  ASSERT_EQ(c.accounts.size(), 2u);
  EXPECT_STREQ(c.accounts[0]->name, "al ice");
  EXPECT_STREQ(c.accounts[0]->password, "d1");
  EXPECT_STREQ(c.accounts[1]->name, "\xE7\x8E\x8B");
  EXPECT_EQ(c.accounts[1]->bound_socket, 0u);
  EXPECT_STREQ(c.accounts[1]->current_directory, "");

  dir.WriteFile("Config.cfg", "[SharePath]\n/srv/s/\n[User]\nbob\nd3\n");
  ASSERT_EQ(ReadConfig(dir.At("Config.cfg"), &c), 0u) << "LF line ends";
  ASSERT_EQ(c.accounts.size(), 1u);
  EXPECT_STREQ(c.accounts[0]->name, "bob");
  EXPECT_STREQ(c.accounts[0]->password, "d3");
}

TEST(ConfigFileTest, RefusesWhatIsMissingUnreadableOrMalformed) {
  testing::TempDir dir;
  ServerConfig c;
  EXPECT_EQ(ReadConfig("", &c), RESULT_CONFIG_NO_PATH);
  EXPECT_EQ(ReadConfig(dir.At("Config.cfg"), &c), RESULT_CONFIG_MISSING);
  dir.MakeDir("adir");
  EXPECT_EQ(ReadConfig(dir.At("adir"), &c), RESULT_CONFIG_UNREADABLE);
  const std::string long_name(65, 'n');
  // Each malformed file names the line at fault and what is wrong with it.
  struct Bad {
    const char* text;
    int line;
    const char* what;
  };
  const Bad bad[] = {
      {"no bracket at all\r\n", 1, "[SharePath]"},
      {"[SharePath]\r\n/srv/s/", 2, "no line end"},
      {"[SharePath]x\r\n/srv/s/\r\n", 1, "[SharePath]"},
      {"[SharePath]\r\nrelative/root/\r\n", 2, "not an absolute path"},
      {"[SharePath]\r\n/\r\n", 2, "/ itself"},
      {"[SharePath]\r\n\r\n", 2, "empty"},
      {"[SharePath]\r\n/srv/s/\r\n[User]\r\nbob\r\n", 5, "password line of \"bob\""},
      {"[SharePath]\r\n/srv/s/\r\n[User]\r\nbob\r\npw", 5, "password line of \"bob\""},
      {"[SharePath]\n/srv/s/\n\nstray\n", 4, "[User]"},
      {"[SharePath]\r\n/srv/s/\r\n[User]\r\n..\r\npw\r\n", 4, "user name \"..\""},
      {"[SharePath]\r\n/srv/s/\r\n[User]\r\na/b\r\npw\r\n", 4, "user name \"a/b\""},
  };
  for (const Bad& b : bad) {
    dir.WriteFile("Config.cfg", b.text);
    EXPECT_EQ(ReadConfig(dir.At("Config.cfg"), &c), RESULT_CONFIG_MALFORMED) << b.text;
    EXPECT_TRUE(c.accounts.empty());
    EXPECT_EQ(c.error_line, b.line) << b.text;
    EXPECT_NE(c.error.find(b.what), std::string::npos) << b.text << " gave: " << c.error;
  }
  dir.WriteFile("Config.cfg", "[SharePath]\r\n/srv/s/\r\n[User]\r\n" + long_name + "\r\npw\r\n");
  EXPECT_EQ(ReadConfig(dir.At("Config.cfg"), &c), RESULT_CONFIG_MALFORMED);
  dir.WriteFile("Config.cfg", "[SharePath]\r\n/srv/s/\r\n[User]\r\nbob\r\n" + std::string(65, 'p') + "\r\n");
  EXPECT_EQ(ReadConfig(dir.At("Config.cfg"), &c), RESULT_CONFIG_MALFORMED);
  dir.WriteFile("Config.cfg", "[SharePath]\r\n/" + std::string(259, 'r') + "\r\n");
  EXPECT_EQ(ReadConfig(dir.At("Config.cfg"), &c), RESULT_CONFIG_MALFORMED);
  dir.WriteFile("Config.cfg", "[SharePath]\r\n/srv/s/\r\n[User]\r\n" + std::string(64, 'n') + "\r\n" +
                                  std::string(64, 'p') + "\r\n");
  EXPECT_EQ(ReadConfig(dir.At("Config.cfg"), &c), 0u) << "64 bytes fit";
}

TEST(ConfigFileTest, WriterProducesTheExactFileAndReadsBack) {
  testing::TempDir dir;
  std::vector<std::unique_ptr<UserAccount>> accounts;
  accounts.push_back(Account("alice", "0123abcd"));
  accounts.push_back(Account("bob smith", "ffff"));
  ASSERT_EQ(WriteConfig(dir.At("Config.cfg"), "/srv/s/", accounts), 0u);
  EXPECT_EQ(dir.ReadFile("Config.cfg"),
            "[SharePath]\r\n/srv/s/\r\n[User]\r\nalice\r\n0123abcd\r\n[User]\r\nbob smith\r\nffff\r\n");
  struct stat st;
  ASSERT_EQ(::stat(dir.At("Config.cfg").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u) << "a new file holding digests is the owner's alone";
  ServerConfig c;
  ASSERT_EQ(ReadConfig(dir.At("Config.cfg"), &c), 0u);
  ASSERT_EQ(c.accounts.size(), 2u);
  EXPECT_STREQ(c.accounts[1]->name, "bob smith");
  EXPECT_EQ(OtherEntries(dir.path(), "Config.cfg"), 0);
}

TEST(ConfigFileTest, RewriteIsAtomicAndAFailureKeepsTheOldFile) {
  testing::TempDir dir;
  std::vector<std::unique_ptr<UserAccount>> accounts;
  accounts.push_back(Account("alice", "a"));
  const std::string old_text = "[SharePath]\r\n/srv/s/\r\n[User]\r\nalice\r\na\r\n";
  dir.WriteFile("Config.cfg", old_text);
  ASSERT_EQ(::chmod(dir.At("Config.cfg").c_str(), 0640), 0);
  // The old file stays readable through a descriptor opened before: the new
  // text arrives by rename, never by rewriting the old file in place.
  FILE* before = std::fopen(dir.At("Config.cfg").c_str(), "rb");
  ASSERT_NE(before, nullptr);
  accounts.push_back(Account("bob", "b"));
  ASSERT_EQ(WriteConfig(dir.At("Config.cfg"), "/srv/s/", accounts), 0u);
  char buf[256] = {};
  size_t n = std::fread(buf, 1, sizeof buf, before);
  std::fclose(before);
  EXPECT_EQ(std::string(buf, n), old_text);
  EXPECT_EQ(dir.ReadFile("Config.cfg"), old_text + "[User]\r\nbob\r\nb\r\n");
  struct stat st;
  ASSERT_EQ(::stat(dir.At("Config.cfg").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u) << "a wider mode is narrowed: the file holds digests";
  EXPECT_EQ(OtherEntries(dir.path(), "Config.cfg"), 0);

  // A rename that cannot happen (a directory in the way) leaves it as it was
  // and no temporary behind.
  dir.MakeDir("blocked/Config.cfg/inner");
  EXPECT_EQ(WriteConfig(dir.At("blocked/Config.cfg"), "/srv/s/", accounts), RESULT_CONFIG_UNREADABLE);
  EXPECT_TRUE(dir.Exists("blocked/Config.cfg/inner"));
  EXPECT_EQ(OtherEntries(dir.At("blocked"), "Config.cfg"), 0);
  EXPECT_EQ(WriteConfig(dir.At("nodir/Config.cfg"), "/srv/s/", accounts), RESULT_CONFIG_UNREADABLE);
  EXPECT_FALSE(dir.Exists("nodir"));

  // A linked file is rewritten where the link points; the link stays.
  dir.MakeDir("real");
  dir.WriteFile("real/Config.cfg", old_text);
  ASSERT_EQ(::symlink(dir.At("real/Config.cfg").c_str(), dir.At("link.cfg").c_str()), 0);
  ASSERT_EQ(WriteConfig(dir.At("link.cfg"), "/srv/s/", accounts), 0u);
  ASSERT_EQ(::lstat(dir.At("link.cfg").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ(dir.ReadFile("real/Config.cfg"), old_text + "[User]\r\nbob\r\nb\r\n");

  // A crash mid-rewrite leaves a temporary beside the target; the next start
  // removes exactly those.
  for (const char* name : {"Config.cfg.a1B2c3", "Config.cfg.keep", "Config.cfg.a1B2c3d", "other.cfg.a1B2c3"}) {
    dir.WriteFile(std::string("real/") + name, "x");
  }
  dir.MakeDir("real/Config.cfg.dir000");
  RemoveStaleConfigTemps(dir.At("link.cfg"));
  EXPECT_FALSE(dir.Exists("real/Config.cfg.a1B2c3"));
  EXPECT_EQ(OtherEntries(dir.At("real"), "Config.cfg"), 4);
}

}  // namespace
}  // namespace tervane
