// Test-only: little-endian byte strings for expected frames and scripted
// replies, written field by field independently of the codec under test.
#ifndef TERVANE_TESTING_FRAME_BYTES_H_
#define TERVANE_TESTING_FRAME_BYTES_H_

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace tervane::testing {

class Bytes {
 public:
  Bytes& U8(uint8_t v) { return Le(v, 1); }
  Bytes& U16(uint16_t v) { return Le(v, 2); }
  Bytes& U32(uint32_t v) { return Le(v, 4); }
  Bytes& U64(uint64_t v) { return Le(v, 8); }
  Bytes& Str(std::string_view s) { return Raw(std::vector<uint8_t>(s.begin(), s.end())); }  // no terminator
  Bytes& Zero(size_t n = 1) { return Raw(std::vector<uint8_t>(n, 0)); }
  Bytes& Raw(const std::vector<uint8_t>& v) {
    bytes_.insert(bytes_.end(), v.begin(), v.end());
    return *this;
  }
  const std::vector<uint8_t>& get() const { return bytes_; }
  operator std::vector<uint8_t>() const { return bytes_; }

 private:
  Bytes& Le(uint64_t v, int size) {
    for (int i = 0; i < size; ++i) bytes_.push_back(static_cast<uint8_t>(v >> (8 * i)));
    return *this;
  }
  std::vector<uint8_t> bytes_;
};

// A request header as the client must build it.
inline std::vector<uint8_t> RequestHeaderBytes(uint16_t code, uint32_t payload_length, uint32_t tag) {
  return Bytes().Str("KOVA").U16(0x0101).U16(0).U8(1).U8(0).U16(code).U32(0).U32(payload_length).U32(tag).U32(0);
}

}  // namespace tervane::testing

#endif  // TERVANE_TESTING_FRAME_BYTES_H_
