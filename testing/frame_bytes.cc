#include "testing/frame_bytes.h"

namespace tervane::testing {
namespace {

void Append(std::vector<uint8_t>* out, uint64_t v, int size) {
  for (int i = 0; i < size; ++i) out->push_back(static_cast<uint8_t>(v >> (8 * i)));
}

}  // namespace

Bytes& Bytes::U8(uint8_t v) {
  Append(&bytes_, v, 1);
  return *this;
}
Bytes& Bytes::U16(uint16_t v) {
  Append(&bytes_, v, 2);
  return *this;
}
Bytes& Bytes::U32(uint32_t v) {
  Append(&bytes_, v, 4);
  return *this;
}
Bytes& Bytes::U64(uint64_t v) {
  Append(&bytes_, v, 8);
  return *this;
}
Bytes& Bytes::Str(std::string_view s) {
  bytes_.insert(bytes_.end(), s.begin(), s.end());
  return *this;
}
Bytes& Bytes::Zero(size_t n) {
  bytes_.insert(bytes_.end(), n, 0);
  return *this;
}
Bytes& Bytes::Raw(const std::vector<uint8_t>& v) {
  bytes_.insert(bytes_.end(), v.begin(), v.end());
  return *this;
}

std::vector<uint8_t> RequestHeaderBytes(uint16_t code, uint32_t payload_length, uint32_t tag) {
  return Bytes().Str("KOVA").U16(0x0101).U16(0).U8(1).U8(0).U16(code).U32(0).U32(payload_length).U32(tag).U32(0);
}

}  // namespace tervane::testing
