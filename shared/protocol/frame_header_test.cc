#include "shared/protocol/frame_header.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace tervane {

TEST(FrameHeaderTest, RequestBytesAreLittleEndianAtFixedOffsets) {
  uint8_t buf[kHeaderSize];
  std::memset(buf, 0xEE, sizeof buf);
  EncodeFrameHeader(MakeRequestHeader(OP_CREATE_FILE, 0x01020304, 0xA1B2C3D4), buf);
  const std::vector<uint8_t> expected = {
      'K', 'O', 'V', 'A', 0x01, 0x01, 0, 0,     // magic, version 0x0101, reserved
      1, 0, 0x00, 0x02,                         // direction, reserved, code 0x200
      0, 0, 0, 0,                               // result
      0x04, 0x03, 0x02, 0x01,                   // payload_length
      0xD4, 0xC3, 0xB2, 0xA1,                   // request_tag
      0, 0, 0, 0};                              // reserved
  EXPECT_EQ(std::vector<uint8_t>(buf, buf + kHeaderSize), expected);
  const FrameHeader h = DecodeFrameHeader(buf);
  EXPECT_TRUE(h.code == OP_CREATE_FILE && h.payload_length == 0x01020304u && h.request_tag == 0xA1B2C3D4u &&
              h.direction == kDirectionRequest);
}

// The reply is built over the request: every other byte stays as received.
TEST(FrameHeaderTest, ReplyChangesOnlyDirectionResultAndLength) {
  uint8_t buf[kHeaderSize], before[kHeaderSize];
  for (size_t i = 0; i < kHeaderSize; ++i) buf[i] = before[i] = static_cast<uint8_t>(0x40 + i);
  SetReplyFields(buf, 0x3501, 8);
  for (size_t i = 0; i < kHeaderSize; ++i) {
    if (i != kOffDirection && (i < kOffResult || i >= kOffRequestTag)) {
      EXPECT_EQ(buf[i], before[i]) << "byte " << i;
    }
  }
  EXPECT_EQ(buf[kOffDirection], kDirectionReply);
  EXPECT_EQ(HeaderResult(buf), 0x3501u);
  EXPECT_EQ(HeaderPayloadLength(buf), 8u);
  EXPECT_TRUE(HeaderRequestTag(buf) == 0x57565554u && HeaderCode(buf) == 0x4B4A);
}

}  // namespace tervane
