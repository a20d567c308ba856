#include "client/app/settings.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "shared/platform/win_error.h"

namespace tervane {
namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

class SettingsFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/tervane-settings-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    path_ = dir_ + "/" + kSettingsFileName;
  }
  void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }
  void Write(const std::string& text) { std::ofstream(path_, std::ios::binary) << text; }

  std::string dir_;
  std::string path_;
};

SyncSettings Parse(const std::string& text) {
  SyncSettings s;
  ParseSettingsText(text, &s);
  return s;
}

// The value of BK_DIRS: each entry ends with a bar; a piece without one, and
// everything after an entry shorter than 2 bytes, is left out.
TEST(SettingsParseTest, DirectoryListRules) {
  using V = std::vector<std::string>;
  EXPECT_EQ(Parse("[BK_CFG_INIF]\nBK_DIRS=/a/b|/srv/数据|/x y|\n").directories, (V{"/a/b", "/srv/数据", "/x y"}));
  EXPECT_EQ(Parse("[BK_CFG_INIF]\nBK_DIRS=/a/b|/c/d\n").directories, (V{"/a/b"}));  // final piece without bar
  EXPECT_EQ(Parse("[BK_CFG_INIF]\nBK_DIRS=/a/b|x|/c/d|\n").directories, (V{"/a/b"}));  // short entry stops
  EXPECT_EQ(Parse("[BK_CFG_INIF]\nBK_DIRS=|/a/b|\n").directories, V{});               // empty first entry
  EXPECT_EQ(Parse("[BK_CFG_INIF]\nBK_DIRS=ab|\n").directories, (V{"ab"}));              // 2 bytes is enough
  EXPECT_EQ(Parse("[BK_CFG_INIF]\nBK_DIRS=\n").directories, V{});
  EXPECT_EQ(Parse("[BK_CFG_INIF]\nIP=1.2.3.4\n").directories, V{});  // missing key reads as empty
  // Directories already in the record are replaced, not added to.
  SyncSettings s;
  s.directories = {"/old"};
  ParseSettingsText("[BK_CFG_INIF]\nBK_DIRS=/new|\n", &s);
  EXPECT_EQ(s.directories, (V{"/new"}));
}

// Only the first 1023 bytes of BK_DIRS count: an entry cut by that limit is
// lost, those before it load.
TEST(SettingsParseTest, DirectoryListBufferLimit) {
  std::string value;
  std::vector<std::string> expected;
  for (int i = 0; value.size() < 1100; ++i) {
    const std::string entry = "/dir" + std::to_string(1000 + i) + std::string(40, 'x');
    if (value.size() + entry.size() + 1 <= 1023) expected.push_back(entry);
    value += entry + "|";
  }
  const SyncSettings s = Parse("[BK_CFG_INIF]\nBK_DIRS=" + value + "\n");
  EXPECT_EQ(s.directories, expected);
  EXPECT_LT(expected.size() * 46, 1023u);
  // An entry ending exactly at byte 1023 (its bar the 1023rd byte) still loads.
  const std::string exact = "/" + std::string(1021, 'e');
  EXPECT_EQ(Parse("[BK_CFG_INIF]\nBK_DIRS=" + exact + "|/next|\n").directories, std::vector<std::string>{exact});
  EXPECT_TRUE(Parse("[BK_CFG_INIF]\nBK_DIRS=/" + std::string(1022, 'e') + "|\n").directories.empty());
}

// IP: a dotted IPv4 address within 15 bytes, in host byte order; anything
// else loads as all ones.
TEST(SettingsParseTest, AddressRules) {
  EXPECT_EQ(Parse("[BK_CFG_INIF]\nIP=192.168.1.20\n").server_address, 0xC0A80114u);
  EXPECT_EQ(Parse("[BK_CFG_INIF]\nIP = 10.0.0.1 \n").server_address, 0x0A000001u);
  EXPECT_EQ(Parse("[BK_CFG_INIF]\nIP=\n").server_address, kInvalidAddress);
  EXPECT_EQ(Parse("[BK_CFG_INIF]\n").server_address, kInvalidAddress);
  EXPECT_EQ(Parse("[BK_CFG_INIF]\nIP=300.1.1.1\n").server_address, kInvalidAddress);
  EXPECT_EQ(Parse("[BK_CFG_INIF]\nIP=server.example\n").server_address, kInvalidAddress);
  // 16 bytes: cut to 15 ("192.168.100.200" + "0" -> the first 15), which parses.
  EXPECT_EQ(Parse("[BK_CFG_INIF]\nIP=192.168.100.2000\n").server_address, 0xC0A864C8u);
}

// Section and key names ignore case; other sections, comments, a byte-order
// mark and CR LF line ends are tolerated; the first occurrence counts.
TEST(SettingsParseTest, FileForm) {
  const SyncSettings s = Parse(
      "\xEF\xBB\xBF; comment\r\n[Other]\r\nIP=9.9.9.9\r\nBK_DIRS=/wrong|\r\n[bk_cfg_inif]\r\n"
      "ip=1.2.3.4\r\nbegin_tm=2024-05-06 07:08:09\r\nBK_DIRS=/right|\r\nIP=5.5.5.5\r\n");
  EXPECT_EQ(s.server_address, 0x01020304u);
  EXPECT_EQ(s.directories, std::vector<std::string>{"/right"});
  EXPECT_TRUE(s.start_time_valid);
  EXPECT_EQ(s.start_time.hour, 7);
}

// BEGIN_TM: date and time, or a date alone (midnight); an unreadable value
// marks the time invalid and keeps the old one.
TEST(SettingsParseTest, StartTimeRules) {
  StartTime t;
  ASSERT_TRUE(ParseStartTime("2024-02-29 23:59:58", &t));
  EXPECT_EQ(FormatStartTime(t), "2024-02-29 23:59:58");
  ASSERT_TRUE(ParseStartTime("2023-12-31", &t));
  EXPECT_EQ(FormatStartTime(t), "2023-12-31 00:00:00");
  ASSERT_TRUE(ParseStartTime("2024/5/6 7:08:09", &t));
  EXPECT_EQ(FormatStartTime(t), "2024-05-06 07:08:09");
  for (const char* bad : {"", "12:30", "2023-02-29 10:00:00", "2024-13-01 10:00:00", "2024-01-01 24:00:00",
                          "2024-01-01 10:60:00", "2024-01-01 10:00:00 PM", "tomorrow"}) {
    StartTime keep;
    keep.hour = 5;
    EXPECT_FALSE(ParseStartTime(bad, &keep)) << bad;
    EXPECT_EQ(keep.hour, 5) << bad;
  }
  SyncSettings s;
  s.start_time.hour = 11;
  s.start_time.minute = 22;
  ParseSettingsText("[BK_CFG_INIF]\nBEGIN_TM=not a time\n", &s);
  EXPECT_FALSE(s.start_time_valid);
  EXPECT_EQ(s.start_time.hour, 11);
  EXPECT_EQ(s.start_time.minute, 22);
}

// Saving writes exactly the section and the three keys in order (USER only
// when set); hour,
// minute and second (and the date) read back unchanged; so do the
// directories, in list order.
TEST_F(SettingsFileTest, SaveThenLoadRoundTrip) {
  SyncSettings s;
  s.server_address = 0x7F000001;
  s.start_time = StartTime{2024, 5, 6, 12, 30, 59};
  s.directories = {"/home/ann/Work Files", "/srv/a", "/data/数据"};
  ASSERT_EQ(SaveSettings(path_, s), 0u);
  EXPECT_EQ(ReadFile(path_),
            "[BK_CFG_INIF]\nIP=127.0.0.1\nBEGIN_TM=2024-05-06 12:30:59\n"
            "BK_DIRS=/home/ann/Work Files|/srv/a|/data/数据|\n");
  SyncSettings back;
  ASSERT_EQ(LoadSettings(path_, &back), 0u);
  EXPECT_EQ(back.server_address, s.server_address);
  EXPECT_TRUE(back.start_time_valid);
  EXPECT_EQ(FormatStartTime(back.start_time), "2024-05-06 12:30:59");
  EXPECT_EQ(back.directories, s.directories);

  // Midnight and an empty list.
  s.start_time = StartTime{2024, 1, 2, 0, 0, 0};
  s.directories.clear();
  ASSERT_EQ(SaveSettings(path_, s), 0u);
  ASSERT_EQ(LoadSettings(path_, &back), 0u);
  EXPECT_EQ(FormatStartTime(back.start_time), "2024-01-02 00:00:00");
  EXPECT_TRUE(back.directories.empty());
  EXPECT_NE(ReadFile(path_).find("\nBK_DIRS=\n"), std::string::npos);
  EXPECT_TRUE(back.user.empty());

  // A USER value the file held is kept by the next save, after BK_DIRS.
  Write(ReadFile(path_) + "USER=desk ann\n");
  ASSERT_EQ(LoadSettings(path_, &back), 0u);
  EXPECT_EQ(back.user, "desk ann");
  ASSERT_EQ(SaveSettings(path_, back), 0u);
  EXPECT_EQ(ReadFile(path_).substr(ReadFile(path_).find("\nBK_DIRS=")), "\nBK_DIRS=\nUSER=desk ann\n");
}

// Saving replaces the file whole (other content is dropped) through a
// temporary file that never stays behind; a directory that cannot be
// written leaves the old file as it was.
TEST_F(SettingsFileTest, AtomicReplace) {
  Write("[Extra]\nkey=1\n[BK_CFG_INIF]\nIP=1.1.1.1\nBK_DIRS=/old|\n");
  SyncSettings s;
  s.server_address = 0x02020202;
  s.directories = {"/new"};
  ASSERT_EQ(SaveSettings(path_, s), 0u);
  const std::string saved = ReadFile(path_);
  EXPECT_EQ(saved.find("Extra"), std::string::npos);
  EXPECT_NE(saved.find("IP=2.2.2.2"), std::string::npos);
  // Only the settings file is left in the directory.
  const std::string listing_cmd = "ls -A '" + dir_ + "' | wc -l";
  FILE* p = ::popen(listing_cmd.c_str(), "r");
  ASSERT_NE(p, nullptr);
  int count = 0;
  ASSERT_EQ(std::fscanf(p, "%d", &count), 1);
  ::pclose(p);
  EXPECT_EQ(count, 1);

  // Saving to a path whose directory does not exist fails and creates nothing.
  EXPECT_NE(SaveSettings(dir_ + "/missing/" + kSettingsFileName, s), 0u);
  // Saving over a path that is a directory fails and leaves it alone.
  ASSERT_EQ(::mkdir((dir_ + "/asdir").c_str(), 0755), 0);
  EXPECT_NE(SaveSettings(dir_ + "/asdir", s), 0u);
  struct stat st {};
  ASSERT_EQ(::stat((dir_ + "/asdir").c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(ReadFile(path_), saved);
}

// Entries that could not load back are refused with a code; the rest is
// written. A list longer than the read buffer is written whole and reported.
TEST_F(SettingsFileTest, EntriesThatCannotLoadBack) {
  EXPECT_TRUE(IsStorableDirectory("/a"));
  EXPECT_FALSE(IsStorableDirectory("/"));
  EXPECT_FALSE(IsStorableDirectory("/a|b"));
  EXPECT_FALSE(IsStorableDirectory("/a\nb"));
  EXPECT_FALSE(IsStorableDirectory(" /a"));

  SyncSettings s;
  s.directories = {"/keep", "/", "/bar|name", "/also"};
  EXPECT_EQ(SaveSettings(path_, s), ERROR_INVALID_NAME);
  SyncSettings back;
  ASSERT_EQ(LoadSettings(path_, &back), 0u);
  EXPECT_EQ(back.directories, (std::vector<std::string>{"/keep", "/also"}));

  s.directories.clear();
  for (int i = 0; i < 30; ++i) s.directories.push_back("/long/" + std::to_string(i) + std::string(40, 'z'));
  EXPECT_EQ(SaveSettings(path_, s), ERROR_FILENAME_EXCED_RANGE);
  EXPECT_NE(ReadFile(path_).find(s.directories.back() + "|"), std::string::npos);
  ASSERT_EQ(LoadSettings(path_, &back), 0u);
  EXPECT_LT(back.directories.size(), s.directories.size());
  EXPECT_FALSE(back.directories.empty());
}

// A missing file is reported and changes nothing; the default path is the
// settings file beside the running program.
TEST_F(SettingsFileTest, MissingFileAndDefaultPath) {
  SyncSettings s;
  s.server_address = 42;
  EXPECT_EQ(LoadSettings(dir_ + "/none.ini", &s), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(s.server_address, 42u);

  char exe[4096];
  const ssize_t n = ::readlink("/proc/self/exe", exe, sizeof(exe) - 1);
  ASSERT_GT(n, 0);
  std::string expected(exe, static_cast<size_t>(n));
  expected = expected.substr(0, expected.rfind('/') + 1) + "BK_CLIENT_CFG.ini";
  EXPECT_EQ(DefaultSettingsPath(), expected);
}

// An installed program cannot write beside itself: each user gets a file
// under the per-user configuration folder, created on the first save.
TEST_F(SettingsFileTest, PerUserFileWhenTheProgramFolderIsNotWritable) {
  EXPECT_EQ(SettingsPathFor(dir_ + "/", nullptr, "/home/ann"), dir_ + "/BK_CLIENT_CFG.ini");
  const std::string missing = dir_ + "/no-such-folder/";
  EXPECT_EQ(SettingsPathFor(missing, "/cfg", "/home/ann"), "/cfg/tervane/BK_CLIENT_CFG.ini");
  EXPECT_EQ(SettingsPathFor(missing, nullptr, "/home/ann"), "/home/ann/.config/tervane/BK_CLIENT_CFG.ini");
  EXPECT_EQ(SettingsPathFor(missing, "relative", nullptr), missing + "BK_CLIENT_CFG.ini");

  const std::string per_user = SettingsPathFor(missing, (dir_ + "/xdg").c_str(), nullptr);
  CreateSettingsFolder(per_user);
  SyncSettings s;
  s.server_address = 0x7F000001;
  s.directories = {"/data"};
  ASSERT_EQ(SaveSettings(per_user, s), 0u);
  SyncSettings back;
  ASSERT_EQ(LoadSettings(per_user, &back), 0u);
  EXPECT_EQ(back.server_address, 0x7F000001u);
  EXPECT_EQ(back.directories, s.directories);
}

}  // namespace
}  // namespace tervane
