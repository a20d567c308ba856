#include "client/app/remote_path.h"

#include <gtest/gtest.h>

#include <string>

#include "shared/platform/win_error.h"

namespace tervane {
namespace {

std::string Map(const std::string& day, const std::string& local, uint32_t* result = nullptr) {
  std::string out;
  const Result r = MapRemoteName(day, local, &out);
  if (result != nullptr) *result = r.code();
  return out;
}

TEST(RemotePathTest, WeekdayNames) {
  const char* expected[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  for (int i = 0; i < 7; ++i) EXPECT_STREQ(WeekdayName(i), expected[i]);
  EXPECT_EQ(WeekdayName(-1), nullptr);
  EXPECT_EQ(WeekdayName(7), nullptr);
  // Noon of a known local date: 2024-05-06 was a Monday, 2024-05-12 a Sunday.
  tm local{};
  local.tm_year = 2024 - 1900;
  local.tm_mon = 4;
  local.tm_mday = 6;
  local.tm_hour = 12;
  local.tm_isdst = -1;
  EXPECT_STREQ(WeekdayOfLocalDate(::mktime(&local)), "Mon");
  local.tm_mday = 12;
  EXPECT_STREQ(WeekdayOfLocalDate(::mktime(&local)), "Sun");
}

// POSIX paths lose their leading slash; drive paths keep their letter.
TEST(RemotePathTest, MapsLocalPaths) {
  EXPECT_EQ(Map("Mon", "/data/a.txt"), "Mon\\data\\a.txt");
  EXPECT_EQ(Map("Mon", "C:\\data\\a.txt"), "Mon\\C\\data\\a.txt");
  EXPECT_EQ(Map("Sat", "d:/x/y"), "Sat\\d\\x\\y");
  EXPECT_EQ(Map("Tue", "/data//sub/"), "Tue\\data\\sub");  // empty components dropped
  EXPECT_EQ(Map("Wed", "/数据/报告.doc"), "Wed\\数据\\报告.doc");
  // Directory markers keep their bar after the last name.
  EXPECT_EQ(Map("Mon", "/data/empty|"), "Mon\\data\\empty|");
  EXPECT_EQ(Map("Mon", "/data/|"), "Mon\\data|");
  EXPECT_EQ(Map("Mon", "C:\\data\\\\|"), "Mon\\C\\data|");
  EXPECT_EQ(Map("Mon", "C:\\|"), "Mon\\C|");
}

// Names the server refuses travel under their private-use names; only
// relative paths and "." or ".." components are refused.
TEST(RemotePathTest, MapsRefusedCharactersAndRefusesTheRest) {
  EXPECT_EQ(Map("Mon", "/data/Dir: 2024/a\\b?.txt"), "Mon\\data\\Dir\xEF\x80\xA2 2024\\a\xEF\x80\xA6" "b\xEF\x80\xA5.txt");
  EXPECT_EQ(Map("Mon", "/data/x|/tab\there|"), "Mon\\data\\x\xEF\x80\xA7\\tab\xEF\x80\x89here|");
  uint32_t r = 0;
  for (const char* bad : {"relative/a.txt", "", "/data/../etc/passwd", "/data/./a"}) {
    EXPECT_EQ(Map("Mon", bad, &r), "") << bad;
    EXPECT_EQ(r, ERROR_INVALID_NAME) << bad;
  }
  Map("Mon", "/", &r);
  EXPECT_EQ(r, ERROR_PATH_NOT_FOUND);
  Map("Mon", "/|", &r);
  EXPECT_EQ(r, ERROR_PATH_NOT_FOUND);
}

// The wire form is GB18030 and must fit one create request.
TEST(RemotePathTest, WireNameEncodingAndLength) {
  std::string wire;
  ASSERT_EQ(MapRemoteWireName("Mon", "/数据/a.txt", &wire), 0u);
  EXPECT_EQ(wire, "Mon\\\xCA\xFD\xBE\xDD\\a.txt");
  // "Mon\" + 246 bytes = 250 bytes, then 251, then 252.
  EXPECT_EQ(MapRemoteWireName("Mon", "/" + std::string(246, 'n'), &wire), 0u);
  EXPECT_EQ(wire.size(), 250u);
  EXPECT_EQ(MapRemoteWireName("Mon", "/" + std::string(247, 'n'), &wire), 0u);
  EXPECT_EQ(wire.size(), kMaxRemoteName);
  EXPECT_EQ(MapRemoteWireName("Mon", "/" + std::string(248, 'n'), &wire), ERROR_FILENAME_EXCED_RANGE);
  EXPECT_TRUE(wire.empty());
  // Two UTF-8 bytes per character here become two GB18030 bytes: the limit
  // is counted on the wire.
  EXPECT_EQ(MapRemoteWireName("Mon", "/" + std::string("\xE6\x95\xB0") + std::string(245, 'n'), &wire), 0u);
  EXPECT_EQ(wire.size(), 4u + 2u + 245u);
  EXPECT_EQ(MapRemoteWireName("Mon", "/bad\xFF", &wire), ERROR_INVALID_NAME);
}

}  // namespace
}  // namespace tervane
