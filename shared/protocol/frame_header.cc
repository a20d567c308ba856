#include "shared/protocol/frame_header.h"

#include <cstring>

#include "shared/protocol/byte_order.h"

namespace tervane {

static_assert(kHeaderSize == 28, "the frame header is 28 bytes on the wire");
static_assert(kMaxPayload == 65764, "a frame's payload room");

void EncodeFrameHeader(const FrameHeader& h, uint8_t* out) {
  std::memcpy(out + kOffMagic, h.magic, 4);
  StoreU16(out + kOffVersion, h.version);
  StoreU16(out + 6, h.reserved1);
  out[kOffDirection] = h.direction;
  out[9] = h.reserved2;
  StoreU16(out + kOffCode, h.code);
  StoreU32(out + kOffResult, h.result);
  StoreU32(out + kOffPayloadLength, h.payload_length);
  StoreU32(out + kOffRequestTag, h.request_tag);
  StoreU32(out + 24, h.reserved3);
}

FrameHeader DecodeFrameHeader(const uint8_t* in) {
  FrameHeader h;
  std::memcpy(h.magic, in + kOffMagic, 4);
  h.version = LoadU16(in + kOffVersion);
  h.reserved1 = LoadU16(in + 6);
  h.direction = in[kOffDirection];
  h.reserved2 = in[9];
  h.code = LoadU16(in + kOffCode);
  h.result = LoadU32(in + kOffResult);
  h.payload_length = LoadU32(in + kOffPayloadLength);
  h.request_tag = LoadU32(in + kOffRequestTag);
  h.reserved3 = LoadU32(in + 24);
  return h;
}

FrameHeader MakeRequestHeader(uint16_t code, uint32_t payload_length, uint32_t request_tag) {
  FrameHeader h;
  h.code = code;
  h.payload_length = payload_length;
  h.request_tag = request_tag;
  return h;
}

void SetReplyFields(uint8_t* frame, uint32_t result, uint32_t payload_length) {
  frame[kOffDirection] = kDirectionReply;
  StoreU32(frame + kOffResult, result);
  StoreU32(frame + kOffPayloadLength, payload_length);
}

uint16_t HeaderCode(const uint8_t* frame) { return LoadU16(frame + kOffCode); }
uint32_t HeaderPayloadLength(const uint8_t* frame) { return LoadU32(frame + kOffPayloadLength); }
uint32_t HeaderResult(const uint8_t* frame) { return LoadU32(frame + kOffResult); }
uint32_t HeaderRequestTag(const uint8_t* frame) { return LoadU32(frame + kOffRequestTag); }

}  // namespace tervane
