#include "client/app/settings.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "testing/temp_dir.h"
#include "shared/platform/win_error.h"

namespace tervane {
namespace {

using V = std::vector<std::string>;

// Directories already in the record are replaced, not added to.
SyncSettings Parse(const std::string& body) {
  SyncSettings s;
  s.directories = {"/old"};
  ParseSettingsText("[BK_CFG_INIF]\n" + body, &s);
  return s;
}

// BK_DIRS: each entry ends with a bar; a piece without one, and everything
// after an entry shorter than 2 bytes, is left out; only the first 1023
// bytes count. IP: a dotted IPv4 address within 15 bytes, in host byte
// order; anything else loads as all ones.
TEST(SettingsParseTest, DirectoriesAddressFileFormAndStartTime) {
  const struct {
    std::string body;
    V dirs;
  } kDirs[] = {
      {"BK_DIRS=/a/b|/srv/数据|/x y|\n", {"/a/b", "/srv/数据", "/x y"}},
      {"BK_DIRS=/a/b|/c/d\n", {"/a/b"}},        // final piece without bar
      {"BK_DIRS=/a/b|x|/c/d|\n", {"/a/b"}},     // short entry stops
      {"BK_DIRS=|/a/b|\n", {}},                 // empty first entry
      {"BK_DIRS=ab|\n", {"ab"}},                // 2 bytes is enough
      {"BK_DIRS=\n", {}},
      {"IP=1.2.3.4\n", {}},                     // missing key reads as empty
      // An entry ending exactly at byte 1023 (its bar the 1023rd) still loads;
      // one a byte longer is cut by the limit and lost.
      {"BK_DIRS=/" + std::string(1021, 'e') + "|/next|\n", {"/" + std::string(1021, 'e')}},
      {"BK_DIRS=/a|/" + std::string(1019, 'e') + "|\n", {"/a"}},
  };
  for (const auto& c : kDirs) EXPECT_EQ(Parse(c.body).directories, c.dirs) << c.body.substr(0, 40);

  const struct {
    const char* body;
    uint32_t address;
  } kAddresses[] = {
      {"IP=192.168.1.20\n", 0xC0A80114u}, {"IP = 10.0.0.1 \n", 0x0A000001u},  {"IP=\n", kInvalidAddress},
      {"", kInvalidAddress},              {"IP=300.1.1.1\n", kInvalidAddress}, {"IP=server.example\n", kInvalidAddress},
      {"IP=192.168.100.2000\n", 0xC0A864C8u},  // 16 bytes: the first 15 parse
  };
  for (const auto& c : kAddresses) EXPECT_EQ(Parse(c.body).server_address, c.address) << c.body;

  // Section and key names ignore case; other sections, comments, a byte-order
  // mark and CR LF line ends are tolerated; the first occurrence counts.
  // BEGIN_TM: date and time, or a date alone (midnight); an unreadable value
  // marks the time invalid and keeps the old one.
  SyncSettings s;
  ParseSettingsText("\xEF\xBB\xBF; comment\r\n[Other]\r\nIP=9.9.9.9\r\nBK_DIRS=/wrong|\r\n[bk_cfg_inif]\r\n"
                    "ip=1.2.3.4\r\nbegin_tm=2024-05-06 07:08:09\r\nBK_DIRS=/right|\r\nIP=5.5.5.5\r\n",
                    &s);
  EXPECT_EQ(s.server_address, 0x01020304u);
  EXPECT_EQ(s.directories, V{"/right"});
  EXPECT_TRUE(s.start_time_valid);
  EXPECT_EQ(FormatStartTime(s.start_time), "2024-05-06 07:08:09");
  ParseSettingsText("[BK_CFG_INIF]\nBEGIN_TM=not a time\n", &s);
  EXPECT_FALSE(s.start_time_valid);
  EXPECT_EQ(FormatStartTime(s.start_time), "2024-05-06 07:08:09");

  StartTime t;
  for (const auto& [text, formatted] : std::vector<std::pair<const char*, const char*>>{
           {"2024-02-29 23:59:58", "2024-02-29 23:59:58"},
           {"2023-12-31", "2023-12-31 00:00:00"},
           {"2024/5/6 7:08:09", "2024-05-06 07:08:09"}}) {
    ASSERT_TRUE(ParseStartTime(text, &t)) << text;
    EXPECT_EQ(FormatStartTime(t), formatted);
  }
  for (const char* bad : {"", "12:30", "2023-02-29 10:00:00", "2024-13-01 10:00:00", "2024-01-01 24:00:00",
                          "2024-01-01 10:60:00", "2024-01-01 10:00:00 PM", "tomorrow"}) {
    StartTime keep{.hour = 5};
    EXPECT_FALSE(ParseStartTime(bad, &keep)) << bad;
    EXPECT_EQ(keep.hour, 5) << bad;
  }
}

class SettingsFileTest : public ::testing::Test {
 protected:
  testing::TempDir tmp_;
  const std::string dir_ = tmp_.path();
  const std::string path_ = dir_ + "/" + kSettingsFileName;
};

// Saving writes exactly the section and the keys in order (USER only when
// set, after BK_DIRS, and kept by the next save); everything reads back. It
// replaces the file whole through a temporary file that never stays behind;
// a path that cannot be written leaves the old file as it was.
TEST_F(SettingsFileTest, SaveReplacesTheFileAndLoadsBack) {
  testing::WriteFile(path_, "[Extra]\nkey=1\n[BK_CFG_INIF]\nIP=1.1.1.1\nBK_DIRS=/old|\n");
  SyncSettings s;
  s.server_address = 0x7F000001;
  s.start_time = StartTime{2024, 5, 6, 12, 30, 59};
  s.directories = {"/home/ann/Work Files", "/srv/a", "/data/数据"};
  ASSERT_EQ(SaveSettings(path_, s), 0u);
  const std::string saved =
      "[BK_CFG_INIF]\nIP=127.0.0.1\nBEGIN_TM=2024-05-06 12:30:59\nBK_DIRS=/home/ann/Work Files|/srv/a|/data/数据|\n";
  EXPECT_EQ(testing::ReadFile(path_), saved);
  SyncSettings back;  // what it reads is saved again byte for byte
  ASSERT_EQ(LoadSettings(path_, &back), 0u);
  EXPECT_TRUE(back.start_time_valid);
  ASSERT_EQ(SaveSettings(path_, back), 0u);
  EXPECT_EQ(testing::ReadFile(path_), saved);
  EXPECT_EQ(testing::ReadTree(dir_).size(), 1u) << "a temporary file stayed behind";

  EXPECT_NE(SaveSettings(dir_ + "/missing/" + kSettingsFileName, s), 0u);
  ASSERT_TRUE(std::filesystem::create_directory(dir_ + "/asdir"));
  EXPECT_NE(SaveSettings(dir_ + "/asdir", s), 0u);
  EXPECT_TRUE(std::filesystem::is_directory(dir_ + "/asdir"));
  EXPECT_EQ(testing::ReadFile(path_), saved);

  s.start_time = StartTime{2024, 1, 2, 0, 0, 0};  // midnight, no directories
  s.directories.clear();
  ASSERT_EQ(SaveSettings(path_, s), 0u);
  testing::WriteFile(path_, testing::ReadFile(path_) + "USER=desk ann\n");
  ASSERT_EQ(LoadSettings(path_, &back), 0u);
  ASSERT_EQ(SaveSettings(path_, back), 0u);
  EXPECT_EQ(testing::ReadFile(path_), "[BK_CFG_INIF]\nIP=127.0.0.1\nBEGIN_TM=2024-01-02 00:00:00\nBK_DIRS=\nUSER=desk ann\n");
}

// Entries that could not load back are refused with a code; the rest is
// written. A list longer than the read buffer is written whole and reported.
TEST_F(SettingsFileTest, EntriesThatCannotLoadBack) {
  SyncSettings s;
  s.directories = {"/keep", "/", "/bar|name", "/a\nb", " /a", "/also"};
  EXPECT_EQ(SaveSettings(path_, s), ERROR_INVALID_NAME);
  SyncSettings back;
  ASSERT_EQ(LoadSettings(path_, &back), 0u);
  EXPECT_EQ(back.directories, (V{"/keep", "/also"}));

  s.directories.clear();
  for (int i = 0; i < 30; ++i) s.directories.push_back("/long/" + std::to_string(i) + std::string(40, 'z'));
  EXPECT_EQ(SaveSettings(path_, s), ERROR_FILENAME_EXCED_RANGE);
  EXPECT_NE(testing::ReadFile(path_).find(s.directories.back() + "|"), std::string::npos);
  ASSERT_EQ(LoadSettings(path_, &back), 0u);
  EXPECT_LT(back.directories.size(), s.directories.size());
  EXPECT_FALSE(back.directories.empty());
}

// A missing file is reported and changes nothing. The default path is the
// settings file beside the running program; an installed program cannot
// write there, so each user gets a file under the per-user configuration
// folder, created on the first save.
TEST_F(SettingsFileTest, WhereTheFileIs) {
  SyncSettings s;
  s.server_address = 42;
  EXPECT_EQ(LoadSettings(dir_ + "/none.ini", &s), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(s.server_address, 42u);

  const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe");
  EXPECT_EQ(DefaultSettingsPath(), (program.parent_path() / "BK_CLIENT_CFG.ini").string());

  EXPECT_EQ(SettingsPathFor(dir_ + "/", nullptr, "/home/ann"), dir_ + "/BK_CLIENT_CFG.ini");
  const std::string missing = dir_ + "/no-such-folder/";
  EXPECT_EQ(SettingsPathFor(missing, "/cfg", "/home/ann"), "/cfg/tervane/BK_CLIENT_CFG.ini");
  EXPECT_EQ(SettingsPathFor(missing, nullptr, "/home/ann"), "/home/ann/.config/tervane/BK_CLIENT_CFG.ini");
  EXPECT_EQ(SettingsPathFor(missing, "relative", nullptr), missing + "BK_CLIENT_CFG.ini");
  const std::string per_user = SettingsPathFor(missing, (dir_ + "/xdg").c_str(), nullptr);
  CreateSettingsFolder(per_user);
  EXPECT_EQ(SaveSettings(per_user, s), 0u);
}

}  // namespace
}  // namespace tervane
