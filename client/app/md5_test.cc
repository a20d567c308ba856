#include "client/app/md5.h"

#include <gtest/gtest.h>

#include <string>

namespace tervane {
namespace {

std::string HexOf(const uint8_t digest[16]) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string s;
  for (int i = 0; i < 16; ++i) {
    s.push_back(kHex[digest[i] >> 4]);
    s.push_back(kHex[digest[i] & 15]);
  }
  return s;
}

// The test suite of RFC 1321, appendix A.5.
TEST(Md5Test, Rfc1321Suite) {
  const struct {
    const char* input;
    const char* digest;
  } kCases[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
       "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
  };
  for (const auto& c : kCases) {
    MD5_CTX md5;
    md5.Update(c.input, std::string(c.input).size());
    uint8_t digest[16];
    md5.Final(digest);
    EXPECT_EQ(HexOf(digest), c.digest) << "input \"" << c.input << "\"";
    EXPECT_EQ(PasswordDigest(c.input), c.digest) << "input \"" << c.input << "\"";
  }
}

// Feeding the message in odd-sized parts, across block boundaries, gives the
// digest of the whole; Final starts the context over.
TEST(Md5Test, PiecewiseUpdateAndReuse) {
  const std::string text =
      "12345678901234567890123456789012345678901234567890123456789012345678901234567890";
  for (size_t step : {1u, 3u, 7u, 63u, 64u, 65u}) {
    MD5_CTX md5;
    for (size_t i = 0; i < text.size(); i += step) {
      md5.Update(text.data() + i, std::min(step, text.size() - i));
    }
    uint8_t digest[16];
    md5.Final(digest);
    EXPECT_EQ(HexOf(digest), "57edf4a22be3c955ac49da2e2107b67a") << "step " << step;
    md5.Update("abc", 3);
    md5.Final(digest);
    EXPECT_EQ(HexOf(digest), "900150983cd24fb0d6963f7d28e17f72") << "after reuse, step " << step;
  }
}

// Messages whose padding needs a second block (55, 56, 63, 64 bytes), and a
// long one, against digests computed independently.
TEST(Md5Test, PaddingBoundaries) {
  EXPECT_EQ(PasswordDigest(std::string(55, 'a')), "ef1772b6dff9a122358552954ad0df65");
  EXPECT_EQ(PasswordDigest(std::string(56, 'a')), "3b0c8ac703f828b04c6c197006d17218");
  EXPECT_EQ(PasswordDigest(std::string(63, 'a')), "b06521f39153d618550606be297466d5");
  EXPECT_EQ(PasswordDigest(std::string(64, 'a')), "014842d480b571495a4a0363793f7367");
  EXPECT_EQ(PasswordDigest(std::string(1000000, 'a')), "7707d6ae4e027c70eea2a935c2296f21");
}

// The digest covers the password up to its terminating zero only, and is 32
// lower-case hex digits.
TEST(Md5Test, PasswordDigestForm) {
  EXPECT_EQ(PasswordDigest(std::string("abc\0def", 7)), PasswordDigest("abc"));
  const std::string d = PasswordDigest("tvbk");
  ASSERT_EQ(d.size(), 32u);
  for (char c : d) EXPECT_TRUE((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')) << d;
}

}  // namespace
}  // namespace tervane
