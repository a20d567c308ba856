// How local names become names on the share: the account, each refused
// character, the day's folder and the wire form of a path.
#include "client/app/remote_path.h"

#include <gtest/gtest.h>

#include <string>

#include "client/app/account_name.h"
#include "client/app/name_mapping.h"
#include "shared/platform/win_error.h"

namespace tervane {
namespace {

// Refused characters and bytes that are not UTF-8 become "_", the name is
// cut to 64 wire bytes at a character boundary (王: two bytes on the wire),
// nothing left gives "sync"; a configured name is taken as it is.
TEST(RemotePathTest, AccountFromHostName) {
  EXPECT_EQ(AccountNameFromHost("desk-ann.office.lan"), "desk-ann.office.lan");
  EXPECT_EQ(AccountNameFromHost("a\\b/c:d*e?f\"g<h>i|j\x01k\x7f"), "a_b_c_d_e_f_g_h_i_j_k_");
  EXPECT_EQ(AccountNameFromHost("pc\xff" "1"), "pc_1");
  EXPECT_EQ(AccountNameFromHost(""), "sync");
  EXPECT_EQ(AccountNameFromHost(".."), "__");
  EXPECT_EQ(AccountNameFromHost(std::string(70, 'h')), std::string(64, 'h'));
  std::string wide;
  for (int i = 0; i < 33; ++i) wide += "\xE7\x8E\x8B";
  EXPECT_EQ(AccountNameFromHost(wide), wide.substr(0, 96));
  EXPECT_EQ(AccountName("ann"), "ann");
  EXPECT_FALSE(AccountName("").empty());
}

// Each refused character has a private-use character of its own and maps
// back; other names (Chinese, not UTF-8, other private-use characters) pass
// unchanged both ways.
TEST(RemotePathTest, RefusedCharactersRoundTrip) {
  const std::string printables = "\"*:<>?\\|";
  for (int c = 0x01; c <= 0x1F + static_cast<int>(printables.size()); ++c) {
    const std::string local = c <= 0x1F ? std::string(1, static_cast<char>(c)) : std::string(1, printables[c - 0x20]);
    const std::string remote = std::string("\xEF\x80") + static_cast<char>(c <= 0x1F ? 0x80 + c : 0xA0 + c - 0x20);
    EXPECT_EQ(MapNameToRemote("a" + local + "b"), "a" + remote + "b") << c;
    EXPECT_EQ(MapNameToLocal("a" + remote + "b"), "a" + local + "b") << c;
  }
  for (const std::string name : {"报告.doc", "bad\xFF\xFE", "\xEF\x80\xB0", "\xEF\x80", "~$x"}) {
    EXPECT_EQ(MapNameToRemote(name), name);
    EXPECT_EQ(MapNameToLocal(name), name);
  }
}

// POSIX paths lose their leading slash, drive paths keep their letter, empty
// components are dropped, directory markers keep their bar after the last
// name; refused characters travel under their private-use names. Relative
// paths and "." or ".." components are refused; a path with no name is not
// found. Out-of-range weekdays have no name.
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
  for (const char* root : {"/", "/|"}) EXPECT_EQ(MapRemoteName("Mon", root, &out), ERROR_PATH_NOT_FOUND) << root;
  for (int day : {-1, 7}) EXPECT_EQ(WeekdayName(day), nullptr) << day;
}

// The wire form is GB18030 and must fit one create request: "Mon\" + 246
// bytes = 250, then 251, then 252 is too long; 数 takes two bytes there.
TEST(RemotePathTest, WireNameEncodingAndLength) {
  std::string wire;
  ASSERT_EQ(MapRemoteWireName("Mon", "/数据/a.txt", &wire), 0u);
  EXPECT_EQ(wire, "Mon\\\xCA\xFD\xBE\xDD\\a.txt");
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
