#include "client/app/md5.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace tervane {
namespace {

// Known digests: RFC 1321's, messages whose padding needs a second block
// (55, 56, 63, 64 bytes) and a long one. The password digest covers the
// text up to its terminating zero only. Feeding a message in odd-sized
// parts across block boundaries gives the digest of the whole; Final starts
// the context over.
TEST(Md5Test, KnownDigestsWholeAndPiecewise) {
  const std::pair<std::string, const char*> kCases[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {std::string(55, 'a'), "ef1772b6dff9a122358552954ad0df65"},
      {std::string(56, 'a'), "3b0c8ac703f828b04c6c197006d17218"},
      {std::string(63, 'a'), "b06521f39153d618550606be297466d5"},
      {std::string(64, 'a'), "014842d480b571495a4a0363793f7367"},
      {std::string(1000000, 'a'), "7707d6ae4e027c70eea2a935c2296f21"},
  };
  for (const auto& [input, digest] : kCases) EXPECT_EQ(PasswordDigest(input), digest) << "input of " << input.size();
  EXPECT_EQ(PasswordDigest(std::string("abc\0def", 7)), PasswordDigest("abc"));

  const std::string message = std::string(100, 'a') + "message digest";
  auto hex = [](const uint8_t digest[16]) {
    std::string s;
    for (int i = 0; i < 16; ++i) s += "0123456789abcdef"[digest[i] >> 4], s += "0123456789abcdef"[digest[i] & 15];
    return s;
  };
  for (size_t step : {1u, 7u, 63u, 64u, 65u}) {
    MD5_CTX md5;
    for (size_t i = 0; i < message.size(); i += step) md5.Update(message.data() + i, std::min(step, message.size() - i));
    uint8_t digest[16];
    md5.Final(digest);
    EXPECT_EQ(hex(digest), PasswordDigest(message)) << "step " << step;
    md5.Update("abc", 3);
    md5.Final(digest);
    EXPECT_EQ(hex(digest), "900150983cd24fb0d6963f7d28e17f72") << "after reuse, step " << step;
  }
}

}  // namespace
}  // namespace tervane
