#include "server/store/user_account.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "shared/platform/win_error.h"

namespace tervane {
namespace {

TEST(UserAccountTest, NamesAndPasswordsAreBoundedAndANameCouldBeAHome) {
  for (const char* name : {"", ".", "..", "../victim", "a/b", "a\\b", "a:b", "a*", "a?", "a\"", "a<", "a>", "a|",
                           "tab\there", "del\x7f", "\xff"}) {
    EXPECT_EQ(CheckUserName(name), ERROR_INVALID_NAME) << name;
  }
  std::string cjk;  // 32 characters: 64 bytes on the wire, 96 in UTF-8
  for (int i = 0; i < 32; ++i) cjk += "\xE7\x8E\x8B";
  for (const std::string& ok : {std::string("..."), std::string(64, 'n'), cjk}) EXPECT_EQ(CheckUserName(ok), 0u) << ok;
  EXPECT_EQ((std::vector<Result>{CheckUserName(std::string(65, 'n')), CheckUserName(cjk + "\xE7\x8E\x8B"),
                                 CheckPassword(std::string(64, 'p')), CheckPassword(std::string(65, 'p')),
                                 CheckPassword("a\r\nb")}),
            (std::vector<Result>{ERROR_FILENAME_EXCED_RANGE, ERROR_FILENAME_EXCED_RANGE, 0, ERROR_FILENAME_EXCED_RANGE,
                                 ERROR_INVALID_NAME}));
}

TEST(UserAccountTest, NewRecordConvertsTheWireNameAndStartsUnbound) {
  std::unique_ptr<UserAccount> a;
  ASSERT_EQ(NewUserRecord("\xCD\xF5", "d1gest", &a), 0u);  // 王 in GB18030
  EXPECT_EQ(std::string(a->name) + "|" + a->password + "|" + std::to_string(a->bound_socket), "\xE7\x8E\x8B|d1gest|0");
  EXPECT_EQ(NewUserRecord("n", std::string(65, 'p'), &a), ERROR_FILENAME_EXCED_RANGE);
  EXPECT_EQ(NewUserRecord("\x81", "p", &a), ERROR_INVALID_NAME) << "not GB18030";
  EXPECT_EQ(NewUserRecord("a|", "p", &a), ERROR_INVALID_NAME);
}

}  // namespace
}  // namespace tervane
