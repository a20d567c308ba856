#include "client/app/remote_path.h"

#include <gtest/gtest.h>

#include <string>

#include "shared/platform/win_error.h"

namespace tervane {
namespace {

// Out-of-range days have no name; a local date's weekday is its own (noon of
// 2024-05-06 was a Monday, of 2024-05-12 a Sunday).
TEST(RemotePathTest, Weekdays) {
  EXPECT_STREQ(WeekdayName(0), "Sun");
  EXPECT_STREQ(WeekdayName(6), "Sat");
  EXPECT_EQ(WeekdayName(-1), nullptr);
  EXPECT_EQ(WeekdayName(7), nullptr);
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

// POSIX paths lose their leading slash, drive paths keep their letter, empty
// components are dropped, directory markers keep their bar after the last
// name; names the server refuses travel under their private-use names. Only
// relative paths and "." or ".." components are refused, and a path with no
// name at all is not found.
TEST(RemotePathTest, MapsLocalPaths) {
  const struct {
    const char* day;
    std::string local;
    std::string remote;
  } kCases[] = {
      {"Mon", "/data/a.txt", "Mon\\data\\a.txt"},
      {"Mon", "C:\\data\\a.txt", "Mon\\C\\data\\a.txt"},
      {"Sat", "d:/x/y", "Sat\\d\\x\\y"},
      {"Tue", "/data//sub/", "Tue\\data\\sub"},
      {"Wed", "/数据/报告.doc", "Wed\\数据\\报告.doc"},
      {"Mon", "/data/empty|", "Mon\\data\\empty|"},
      {"Mon", "/data/|", "Mon\\data|"},
      {"Mon", "C:\\data\\\\|", "Mon\\C\\data|"},
      {"Mon", "C:\\|", "Mon\\C|"},
      {"Mon", "/data/Dir: 2024/a\\b?.txt", "Mon\\data\\Dir\xEF\x80\xA2 2024\\a\xEF\x80\xA6" "b\xEF\x80\xA5.txt"},
      {"Mon", "/data/x|/tab\there|", "Mon\\data\\x\xEF\x80\xA7\\tab\xEF\x80\x89here|"},
  };
  std::string out;
  for (const auto& c : kCases) {
    EXPECT_EQ(MapRemoteName(c.day, c.local, &out), 0u) << c.local;
    EXPECT_EQ(out, c.remote) << c.local;
  }
  for (const char* bad : {"relative/a.txt", "", "/data/../etc/passwd", "/data/./a"}) {
    EXPECT_EQ(MapRemoteName("Mon", bad, &out), ERROR_INVALID_NAME) << bad;
    EXPECT_EQ(out, "") << bad;
  }
  EXPECT_EQ(MapRemoteName("Mon", "/", &out), ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(MapRemoteName("Mon", "/|", &out), ERROR_PATH_NOT_FOUND);
}

// The wire form is GB18030 and must fit one create request: the limit is
// counted on the wire ("Mon\" + 246 bytes = 250, then 251, then 252; a
// character of three UTF-8 bytes takes two there).
TEST(RemotePathTest, WireNameEncodingAndLength) {
  std::string wire;
  ASSERT_EQ(MapRemoteWireName("Mon", "/数据/a.txt", &wire), 0u);
  EXPECT_EQ(wire, "Mon\\\xCA\xFD\xBE\xDD\\a.txt");
  EXPECT_EQ(MapRemoteWireName("Mon", "/" + std::string(246, 'n'), &wire), 0u);
  EXPECT_EQ(wire.size(), 250u);
  EXPECT_EQ(MapRemoteWireName("Mon", "/" + std::string(247, 'n'), &wire), 0u);
  EXPECT_EQ(wire.size(), kMaxRemoteName);
  EXPECT_EQ(MapRemoteWireName("Mon", "/" + std::string(248, 'n'), &wire), ERROR_FILENAME_EXCED_RANGE);
  EXPECT_TRUE(wire.empty());
  EXPECT_EQ(MapRemoteWireName("Mon", "/" + std::string("\xE6\x95\xB0") + std::string(245, 'n'), &wire), 0u);
  EXPECT_EQ(wire.size(), 4u + 2u + 245u);
  EXPECT_EQ(MapRemoteWireName("Mon", "/bad\xFF", &wire), ERROR_INVALID_NAME);
}

}  // namespace
}  // namespace tervane
