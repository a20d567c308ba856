#include "server/store/store_path.h"

#include <gtest/gtest.h>

#include <string>

#include "shared/platform/win_error.h"

namespace tervane {
namespace {

TEST(StorePathTest, HomeMustBeAbsoluteAndLosesTrailingSlashes) {
  StorePath p;
  EXPECT_EQ(p.SetHome("relative/home"), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(p.SetHome(""), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(p.SetHome("///"), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(p.has_home());
  ASSERT_EQ(p.SetHome("/srv/share/alice//"), 0u);
  EXPECT_STREQ(p.full(), "/srv/share/alice");
  EXPECT_TRUE(p.is_home());
  EXPECT_STREQ(p.relative(), "");
  EXPECT_EQ(p.Append("x"), 0u);
  EXPECT_EQ(p.SetHome(std::string(kStorePathCapacity, 'a').insert(0, "/")), ERROR_FILENAME_EXCED_RANGE);
  EXPECT_EQ(p.home(), "/srv/share/alice") << "a refused home leaves the path as it was";
  StorePath no_home;
  EXPECT_EQ(no_home.Append("a"), ERROR_INVALID_PARAMETER);
}

TEST(StorePathTest, AppendNormalisesSeparatorsAndDropsEmptyAndDotComponents) {
  StorePath p;
  ASSERT_EQ(p.SetHome("/h"), 0u);
  ASSERT_EQ(p.Append("\\Mon\\\\C/./data\\"), 0u);
  EXPECT_STREQ(p.full(), "/h/Mon/C/data");
  EXPECT_STREQ(p.relative(), "Mon/C/data");
  EXPECT_EQ(p.relative_size(), 10u);
  ASSERT_EQ(p.Append("a.txt"), 0u);
  EXPECT_EQ(p.leaf(), "a.txt");
  p.RemoveLast();
  EXPECT_STREQ(p.full(), "/h/Mon/C/data");
  p.RemoveLast();
  p.RemoveLast();
  p.RemoveLast();
  EXPECT_TRUE(p.is_home());
  p.RemoveLast();  // no-op at the home
  EXPECT_STREQ(p.full(), "/h");
  EXPECT_EQ(p.leaf(), "");
  ASSERT_EQ(p.Append("\\"), 0u);
  EXPECT_TRUE(p.is_home());
}

TEST(StorePathTest, RefusedNamesLeaveThePathUnchanged) {
  StorePath p;
  ASSERT_EQ(p.SetHome("/h"), 0u);
  ASSERT_EQ(p.Append("docs"), 0u);
  EXPECT_EQ(p.Append(".."), ERROR_ACCESS_DENIED);
  EXPECT_EQ(p.Append("a\\..\\..\\b"), ERROR_ACCESS_DENIED);
  EXPECT_EQ(p.Append("a/../b"), ERROR_ACCESS_DENIED);
  EXPECT_EQ(p.Append("x:y"), ERROR_INVALID_NAME);
  EXPECT_EQ(p.Append("x|"), ERROR_INVALID_NAME);
  EXPECT_EQ(p.Append(std::string("a\x01", 2)), ERROR_INVALID_NAME);
  EXPECT_EQ(p.Append(std::string(kStorePathCapacity, 'n')), ERROR_FILENAME_EXCED_RANGE);
  // Fits the check but not the room left after the home.
  EXPECT_EQ(p.Append(std::string(kStorePathCapacity - 4, 'n')), ERROR_FILENAME_EXCED_RANGE);
  EXPECT_STREQ(p.full(), "/h/docs");
  EXPECT_STREQ(p.relative(), "docs");
}

TEST(StorePathTest, WireNamesAreConvertedFromGb18030) {
  StorePath p;
  ASSERT_EQ(p.SetHome("/h"), 0u);
  ASSERT_EQ(p.AppendWire("Mon\\\xC4\xE3\xBA\xC3.txt"), 0u);  // 你好 in GB18030
  EXPECT_STREQ(p.relative(), "Mon/\xE4\xBD\xA0\xE5\xA5\xBD.txt");
  EXPECT_EQ(p.AppendWire("\x81"), ERROR_INVALID_NAME);  // a lead byte without its trail
  EXPECT_EQ(p.AppendWire("..\\x"), ERROR_ACCESS_DENIED);
  EXPECT_STREQ(p.relative(), "Mon/\xE4\xBD\xA0\xE5\xA5\xBD.txt");
}

}  // namespace
}  // namespace tervane
