// MD5 as RFC 1321 describes it: 64-byte blocks, four rounds of sixteen steps,
// a message padded with 0x80, zeros and its bit count (little-endian).
#include "client/app/md5.h"

#include <cstring>

namespace tervane {
namespace {

inline uint32_t RotateLeft(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

inline uint32_t F(uint32_t x, uint32_t y, uint32_t z) { return (x & y) | (~x & z); }
inline uint32_t G(uint32_t x, uint32_t y, uint32_t z) { return (x & z) | (y & ~z); }
inline uint32_t H(uint32_t x, uint32_t y, uint32_t z) { return x ^ y ^ z; }
inline uint32_t I(uint32_t x, uint32_t y, uint32_t z) { return y ^ (x | ~z); }

// Per-step shift amounts and the sine-derived constants T[i] of the RFC.
constexpr int kShift[64] = {7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
                            5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
                            4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
                            6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21};
constexpr uint32_t kT[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};

}  // namespace

MD5_CTX::MD5_CTX() {
  std::memset(padding_, 0, sizeof(padding_));
  padding_[0] = 0x80;
  Init();
}

MD5_CTX::~MD5_CTX() = default;

void MD5_CTX::Init() {
  state_[0] = 0x67452301;
  state_[1] = 0xefcdab89;
  state_[2] = 0x98badcfe;
  state_[3] = 0x10325476;
  bit_count_ = 0;
  std::memset(buffer_, 0, sizeof(buffer_));
}

void MD5_CTX::Transform(const uint8_t block[64]) {
  uint32_t x[16];
  for (int i = 0; i < 16; ++i) {
    x[i] = static_cast<uint32_t>(block[i * 4]) | (static_cast<uint32_t>(block[i * 4 + 1]) << 8) |
           (static_cast<uint32_t>(block[i * 4 + 2]) << 16) |
           (static_cast<uint32_t>(block[i * 4 + 3]) << 24);
  }
  uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3];
  for (int i = 0; i < 64; ++i) {
    uint32_t f;
    int k;
    if (i < 16) {
      f = F(b, c, d);
      k = i;
    } else if (i < 32) {
      f = G(b, c, d);
      k = (5 * i + 1) % 16;
    } else if (i < 48) {
      f = H(b, c, d);
      k = (3 * i + 5) % 16;
    } else {
      f = I(b, c, d);
      k = (7 * i) % 16;
    }
    const uint32_t next = b + RotateLeft(a + f + kT[i] + x[k], kShift[i]);
    a = d;
    d = c;
    c = b;
    b = next;
  }
  state_[0] += a;
  state_[1] += b;
  state_[2] += c;
  state_[3] += d;
}

void MD5_CTX::Update(const void* data, size_t len) {
  const uint8_t* in = static_cast<const uint8_t*>(data);
  size_t used = static_cast<size_t>((bit_count_ >> 3) & 63);
  bit_count_ += static_cast<uint64_t>(len) << 3;
  if (used > 0) {
    const size_t take = len < 64 - used ? len : 64 - used;
    std::memcpy(buffer_ + used, in, take);
    used += take;
    in += take;
    len -= take;
    if (used < 64) return;
    Transform(buffer_);
  }
  while (len >= 64) {
    Transform(in);
    in += 64;
    len -= 64;
  }
  if (len > 0) std::memcpy(buffer_, in, len);
}

void MD5_CTX::Final(uint8_t digest[16]) {
  uint8_t count[8];
  for (int i = 0; i < 8; ++i) count[i] = static_cast<uint8_t>(bit_count_ >> (8 * i));
  // Pad to 56 bytes mod 64, then the original length in bits.
  const size_t used = static_cast<size_t>((bit_count_ >> 3) & 63);
  const size_t pad = used < 56 ? 56 - used : 120 - used;
  Update(padding_, pad);
  Update(count, 8);
  for (int i = 0; i < 4; ++i) {
    for (int j = 0; j < 4; ++j) digest[i * 4 + j] = static_cast<uint8_t>(state_[i] >> (8 * j));
  }
  Init();
}

std::string PasswordDigest(std::string_view password) {
  // Up to, not including, a terminating zero: a password is a C string.
  const size_t zero = password.find('\0');
  if (zero != std::string_view::npos) password = password.substr(0, zero);
  uint8_t digest[16] = {};
  MD5_CTX md5;
  md5.Update(password.data(), password.size());
  md5.Final(digest);
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text;
  text.reserve(32);
  for (uint8_t byte : digest) {
    text.push_back(kHex[byte >> 4]);
    text.push_back(kHex[byte & 15]);
  }
  return text;
}

}  // namespace tervane
