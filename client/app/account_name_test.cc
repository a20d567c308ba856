#include "client/app/account_name.h"

#include <gtest/gtest.h>

#include <string>

namespace tervane {
namespace {

// Host names become names the server registers: refused characters and
// bytes that are not UTF-8 become "_", the name is cut to 64 wire bytes at a
// character boundary, and nothing left gives "sync". A configured name is
// taken as it is.
TEST(AccountNameTest, FromHostName) {
  EXPECT_EQ(AccountNameFromHost("desk-ann.office.lan"), "desk-ann.office.lan");
  EXPECT_EQ(AccountNameFromHost("a\\b/c:d*e?f\"g<h>i|j\x01k\x7f"), "a_b_c_d_e_f_g_h_i_j_k_");
  EXPECT_EQ(AccountNameFromHost("pc\xff" "1"), "pc_1");
  EXPECT_EQ(AccountNameFromHost(""), "sync");
  EXPECT_EQ(AccountNameFromHost(".."), "__");
  EXPECT_EQ(AccountNameFromHost(std::string(70, 'h')), std::string(64, 'h'));
  // 王 is two bytes on the wire (three in UTF-8): 32 of them fit, the 33rd not.
  std::string wide;
  for (int i = 0; i < 33; ++i) wide += "\xE7\x8E\x8B";
  EXPECT_EQ(AccountNameFromHost(wide), wide.substr(0, 96));
  EXPECT_EQ(AccountName("ann"), "ann");
  EXPECT_FALSE(AccountName("").empty());
}

}  // namespace
}  // namespace tervane
