#include "server/store/store_path.h"

#include <gtest/gtest.h>

#include <string>

#include "shared/platform/win_error.h"

namespace tervane {
namespace {

TEST(StorePathTest, AnAbsoluteHomeNormalisedComponentsAndRefusedNamesThatChangeNothing) {
  StorePath p;
  for (const char* bad : {"relative/home", "", "///"}) EXPECT_EQ(p.SetHome(bad), ERROR_INVALID_PARAMETER) << bad;
  EXPECT_EQ(p.Append("a"), ERROR_INVALID_PARAMETER) << "no home yet";
  ASSERT_EQ(p.SetHome("/h//"), 0u);
  EXPECT_EQ(p.SetHome("/" + std::string(kStorePathCapacity, 'a')), ERROR_FILENAME_EXCED_RANGE);
  ASSERT_EQ(p.Append("\\Mon\\\\C/./data\\"), 0u);
  EXPECT_STREQ(p.full(), "/h/Mon/C/data") << "a refused home leaves the path as it was";
  EXPECT_EQ(std::string(p.relative(), p.relative_size()) + "|" + std::string(p.leaf()), "Mon/C/data|data");
  p.RemoveLast();
  EXPECT_STREQ(p.full(), "/h/Mon/C");
  for (int i = 0; i < 3; ++i) p.RemoveLast();  // the last at the home is a no-op
  EXPECT_TRUE(p.is_home() && p.leaf().empty() && std::string(p.full()) == "/h");
  EXPECT_TRUE(p.Append("\\") == 0u && std::string(p.relative()).empty());

  ASSERT_EQ(p.AppendWire("Mon\\\xC4\xE3\xBA\xC3.txt"), 0u);  // 你好 in GB18030
  const std::string kept = "Mon/\xE4\xBD\xA0\xE5\xA5\xBD.txt";
  EXPECT_EQ(p.relative(), kept);
  // Which names are refused is RemoteNameTest's; none changes the path. The
  // last passes the name check but not the room left after the home.
  const std::string n(kStorePathCapacity, 'n');
  const struct { std::string name; uint32_t result; } refused[] = {
      {"a\\..\\..\\b", ERROR_ACCESS_DENIED}, {"x|", ERROR_INVALID_NAME}, {n, ERROR_FILENAME_EXCED_RANGE},
      {n.substr(4), ERROR_FILENAME_EXCED_RANGE}};
  for (const auto& c : refused) EXPECT_EQ(p.Append(c.name), c.result) << c.name.substr(0, 20);
  EXPECT_EQ(p.AppendWire("\x81"), ERROR_INVALID_NAME) << "a lead byte without its trail";
  EXPECT_EQ(p.AppendWire("..\\x"), ERROR_ACCESS_DENIED);
  EXPECT_EQ(p.relative(), kept);
}

}  // namespace
}  // namespace tervane
