#include "client/app/md5.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace tervane {
namespace {

const std::string kDigits80 =
    "12345678901234567890123456789012345678901234567890123456789012345678901234567890";

// The suite of RFC 1321 (appendix A.5), then messages whose padding needs a
// second block (55, 56, 63, 64 bytes) and a long one, against digests
// computed independently. The password digest covers the text up to its
// terminating zero only.
TEST(Md5Test, KnownDigests) {
  const struct {
    std::string input;
    const char* digest;
  } kCases[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
      {kDigits80, "57edf4a22be3c955ac49da2e2107b67a"},
      {std::string(55, 'a'), "ef1772b6dff9a122358552954ad0df65"},
      {std::string(56, 'a'), "3b0c8ac703f828b04c6c197006d17218"},
      {std::string(63, 'a'), "b06521f39153d618550606be297466d5"},
      {std::string(64, 'a'), "014842d480b571495a4a0363793f7367"},
      {std::string(1000000, 'a'), "7707d6ae4e027c70eea2a935c2296f21"},
  };
  for (const auto& c : kCases) EXPECT_EQ(PasswordDigest(c.input), c.digest) << "input of " << c.input.size();
  EXPECT_EQ(PasswordDigest(std::string("abc\0def", 7)), PasswordDigest("abc"));
}

// Feeding the message in odd-sized parts, across block boundaries, gives the
// digest of the whole; Final starts the context over.
TEST(Md5Test, PiecewiseUpdateAndReuse) {
  auto hex = [](const uint8_t digest[16]) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string s;
    for (int i = 0; i < 16; ++i) {
      s += kHex[digest[i] >> 4];
      s += kHex[digest[i] & 15];
    }
    return s;
  };
  for (size_t step : {1u, 3u, 7u, 63u, 64u, 65u}) {
    MD5_CTX md5;
    for (size_t i = 0; i < kDigits80.size(); i += step) {
      md5.Update(kDigits80.data() + i, std::min(step, kDigits80.size() - i));
    }
    uint8_t digest[16];
    md5.Final(digest);
    EXPECT_EQ(hex(digest), "57edf4a22be3c955ac49da2e2107b67a") << "step " << step;
    md5.Update("abc", 3);
    md5.Final(digest);
    EXPECT_EQ(hex(digest), "900150983cd24fb0d6963f7d28e17f72") << "after reuse, step " << step;
  }
}

}  // namespace
}  // namespace tervane
