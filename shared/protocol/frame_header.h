// The 28-byte header in front of every request and every reply.
#ifndef TERVANE_SHARED_PROTOCOL_FRAME_HEADER_H_
#define TERVANE_SHARED_PROTOCOL_FRAME_HEADER_H_

#include <cstdint>

#include "shared/protocol/op_codes.h"

namespace tervane {

// Field by field; the struct is the decoded form, never an overlay on bytes.
struct FrameHeader {
  uint8_t magic[4] = {'K', 'O', 'V', 'A'};
  uint16_t version = kProtocolVersion;
  uint16_t reserved1 = 0;
  uint8_t direction = kDirectionRequest;
  uint8_t reserved2 = 0;
  uint16_t code = 0;
  uint32_t result = 0;
  uint32_t payload_length = 0;
  uint32_t request_tag = 0;
  uint32_t reserved3 = 0;
};

// Byte offsets of the header fields.
inline constexpr size_t kOffMagic = 0;
inline constexpr size_t kOffVersion = 4;
inline constexpr size_t kOffDirection = 8;
inline constexpr size_t kOffCode = 10;
inline constexpr size_t kOffResult = 12;
inline constexpr size_t kOffPayloadLength = 16;
inline constexpr size_t kOffRequestTag = 20;

// Writes the 28 bytes of `header` to out[0..28).
void EncodeFrameHeader(const FrameHeader& header, uint8_t* out);

// Reads the 28 bytes at in[0..28).
FrameHeader DecodeFrameHeader(const uint8_t* in);

// A request header as a client builds it: magic, version, direction 1, the
// code, payload length and tag; every other field 0.
FrameHeader MakeRequestHeader(uint16_t code, uint32_t payload_length, uint32_t request_tag);

// Turns the request header at frame[0..28) into its reply in place: sets
// direction 2, `result` and `payload_length`, leaving every other byte as the
// request had it.
void SetReplyFields(uint8_t* frame, uint32_t result, uint32_t payload_length);

// Single fields of a header in a buffer.
uint16_t HeaderCode(const uint8_t* frame);
uint32_t HeaderPayloadLength(const uint8_t* frame);
uint32_t HeaderResult(const uint8_t* frame);
uint32_t HeaderRequestTag(const uint8_t* frame);

}  // namespace tervane

#endif  // TERVANE_SHARED_PROTOCOL_FRAME_HEADER_H_
