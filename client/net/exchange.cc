#include "client/net/exchange.h"

#include <unistd.h>

#include <cerrno>

#include "shared/platform/tick.h"
#include "shared/platform/win_error.h"
#include "shared/protocol/frame_header.h"

namespace tervane {

void BuildRequestHeader(uint8_t* frame, uint16_t code, uint32_t payload_length, uint32_t tag) {
  EncodeFrameHeader(MakeRequestHeader(code, payload_length, tag), frame);
}

Result SendAndReceiveHeader(RemoteSession* session, const uint8_t* request, size_t request_length,
                            uint32_t tag, uint8_t* reply, uint32_t* payload_length) {
  if (session->socket < 0) return WSAENOTCONN;
  Result rc = SendAll(session->socket, request, request_length);
  if (rc.ok()) rc = ReceiveAll(session->socket, reply, kHeaderSize);
  if (!rc.ok()) {
    AbandonConnectionLocked(session);
    return rc;
  }
  const uint32_t length = HeaderPayloadLength(reply);
  if (HeaderRequestTag(reply) != tag) {
    // The reply answers some other request; whatever follows it is not ours.
    AbandonConnectionLocked(session);
    return ERROR_BAD_FORMAT;
  }
  const uint32_t result = HeaderResult(reply);
  if (result != 0) {
    // Error replies carry no payload; announced bytes would be taken for the
    // next header, so such a stream is out of step.
    if (length != 0) AbandonConnectionLocked(session);
    return result;
  }
  *payload_length = length;
  return 0;
}

Result ReceivePayload(RemoteSession* session, uint32_t length, uint8_t* destination, size_t capacity) {
  if (length > capacity) {
    AbandonConnectionLocked(session);
    return ERROR_INVALID_DATA;
  }
  if (length == 0) return 0;
  if (session->socket < 0) return WSAENOTCONN;
  const Result rc = ReceiveAll(session->socket, destination, length);
  if (!rc.ok()) AbandonConnectionLocked(session);
  return rc;
}

Result ExchangeInFrame(RemoteSession* session, uint16_t code, uint8_t* frame, uint32_t payload_length,
                       size_t reply_capacity, uint32_t* reply_length) {
  const uint32_t tag = GetTickCount();
  BuildRequestHeader(frame, code, payload_length, tag);
  uint32_t length = 0;
  Result rc = SendAndReceiveHeader(session, frame, kHeaderSize + payload_length, tag, frame, &length);
  if (!rc.ok()) return rc;
  rc = ReceivePayload(session, length, frame + kHeaderSize, reply_capacity);
  if (!rc.ok()) return rc;
  *reply_length = length;
  return 0;
}

void AbandonConnectionLocked(RemoteSession* session) {
  if (session->socket >= 0) {
    close(session->socket);
    session->socket = -1;
  }
}

Result SocketError(int err) {
  if (err == EAGAIN || err == EWOULDBLOCK) return WSAETIMEDOUT;
  return WinsockErrorFromErrno(err);
}

}  // namespace tervane
