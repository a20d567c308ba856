#include "shared/platform/remote_name.h"

#include <gtest/gtest.h>

#include <string>

#include "shared/platform/win_error.h"

namespace tervane {

TEST(RemoteNameTest, OrdinaryNamesPass) {
  EXPECT_EQ(CheckRemoteName("Mon\\C\\data\\a.txt"), 0u);
  EXPECT_EQ(CheckRemoteName("\\"), 0u);
  EXPECT_EQ(CheckRemoteName("a\\\\b\\.\\c/d"), 0u);
  EXPECT_EQ(CheckRemoteName("数据\\报告 2024.doc"), 0u);
  EXPECT_EQ(CheckRemoteName("..."), 0u);  // not the parent
  EXPECT_EQ(CheckRemoteName("a..b"), 0u);
}

TEST(RemoteNameTest, ParentComponentsAreRefusedOnEitherSeparator) {
  EXPECT_EQ(CheckRemoteName(".."), ERROR_ACCESS_DENIED);
  EXPECT_EQ(CheckRemoteName("..\\x"), ERROR_ACCESS_DENIED);
  EXPECT_EQ(CheckRemoteName("a\\..\\..\\x"), ERROR_ACCESS_DENIED);
  EXPECT_EQ(CheckRemoteName("a/../x"), ERROR_ACCESS_DENIED);
  EXPECT_EQ(CheckRemoteName("a\\.."), ERROR_ACCESS_DENIED);
  EXPECT_EQ(CheckRemoteName("a:b\\.."), ERROR_ACCESS_DENIED);  // leaving the tree is the worse fault
}

TEST(RemoteNameTest, ForbiddenCharactersAndLength) {
  for (const char* bad : {"a:b", "a*", "a?", "a\"b", "a<b", "a>b", "a|b", "a\tb", "x\\\x01"}) {
    EXPECT_EQ(CheckRemoteName(bad), ERROR_INVALID_NAME) << bad;
  }
  EXPECT_EQ(CheckRemoteName(std::string(259, 'a')), 0u);
  EXPECT_EQ(CheckRemoteName(std::string(260, 'a')), ERROR_FILENAME_EXCED_RANGE);
  EXPECT_EQ(CheckRemoteName("abcdef", 5), ERROR_FILENAME_EXCED_RANGE);
}

}  // namespace tervane
