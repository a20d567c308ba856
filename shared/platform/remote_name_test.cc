#include "shared/platform/remote_name.h"

#include <gtest/gtest.h>

#include <string>

#include "shared/platform/win_error.h"

namespace tervane {

TEST(RemoteNameTest, RefusesParentsForbiddenCharactersAndLength) {
  const struct {
    std::string name;
    uint32_t result;
  } cases[] = {
      {"Mon\\C\\data\\a.txt", 0}, {"\\", 0}, {"a\\\\b\\.\\c/d", 0}, {"数据\\报告 2024.doc", 0},
      {"...", 0}, {"a..b", 0},  // not the parent
      {"..", ERROR_ACCESS_DENIED}, {"..\\x", ERROR_ACCESS_DENIED}, {"a\\..\\..\\x", ERROR_ACCESS_DENIED},
      {"a/../x", ERROR_ACCESS_DENIED}, {"a\\..", ERROR_ACCESS_DENIED},
      {"a:b\\..", ERROR_ACCESS_DENIED},  // leaving the tree is the worse fault
      {"a:b", ERROR_INVALID_NAME}, {"a*", ERROR_INVALID_NAME}, {"a?", ERROR_INVALID_NAME},
      {"a\"b", ERROR_INVALID_NAME}, {"a<b", ERROR_INVALID_NAME}, {"a>b", ERROR_INVALID_NAME},
      {"a|b", ERROR_INVALID_NAME}, {"a\tb", ERROR_INVALID_NAME}, {"x\\\x01", ERROR_INVALID_NAME},
      {std::string(259, 'a'), 0}, {std::string(260, 'a'), ERROR_FILENAME_EXCED_RANGE},
  };
  for (const auto& c : cases) EXPECT_EQ(CheckRemoteName(c.name), c.result) << c.name;
  EXPECT_EQ(CheckRemoteName("abcdef", 5), ERROR_FILENAME_EXCED_RANGE);
}

}  // namespace tervane
