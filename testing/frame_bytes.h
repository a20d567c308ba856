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
  Bytes& U8(uint8_t v);
  Bytes& U16(uint16_t v);
  Bytes& U32(uint32_t v);
  Bytes& U64(uint64_t v);
  Bytes& Str(std::string_view s);  // the bytes, no terminator
  Bytes& Zero(size_t n = 1);
  Bytes& Raw(const std::vector<uint8_t>& v);
  const std::vector<uint8_t>& get() const { return bytes_; }
  operator std::vector<uint8_t>() const { return bytes_; }

 private:
  std::vector<uint8_t> bytes_;
};

// A request header as the client must build it.
std::vector<uint8_t> RequestHeaderBytes(uint16_t code, uint32_t payload_length, uint32_t tag);

}  // namespace tervane::testing

#endif  // TERVANE_TESTING_FRAME_BYTES_H_
