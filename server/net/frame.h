// One request as a handler sees it: a view of a connection's frame buffer,
// the 28-byte header at 0 and the payload after it. The handler writes its
// reply payload over the request payload, at most kMaxPayload bytes.
//
// The view owns nothing; the buffer outlives it. Used by one thread at a time,
// like the connection it belongs to.
#ifndef TERVANE_SERVER_NET_FRAME_H_
#define TERVANE_SERVER_NET_FRAME_H_

#include <algorithm>
#include <cstdint>

#include "shared/protocol/frame_header.h"
#include "shared/protocol/op_codes.h"

namespace tervane {

class Frame {
 public:
  explicit Frame(uint8_t (&buffer)[kFrameBufferSize]) : bytes_(buffer) {}

  uint8_t* payload() const { return bytes_ + kHeaderSize; }
  // The header's payload length. The header stage refuses anything longer
  // than the buffer holds; the bound is kept here too, so that no handler
  // can read past the buffer whoever filled it.
  uint32_t payload_length() const { return std::min<uint32_t>(HeaderPayloadLength(bytes_), kMaxPayload); }

 private:
  uint8_t* bytes_;
};

}  // namespace tervane

#endif  // TERVANE_SERVER_NET_FRAME_H_
