// The exchange procedure every operation of the library follows: one request
// frame out, the reply header back, its tag and result checked, then the
// reply payload read into a destination that is never overrun. Internal to
// client/net.
//
// The caller holds session->lock (REQUIRES says so to the compiler). Whenever a reply leaves
// the stream out of step (foreign tag, socket failure, closed peer, time-out,
// payload larger than its destination, an error reply carrying payload) the
// connection is abandoned before the code is returned.
#ifndef TERVANE_CLIENT_NET_EXCHANGE_H_
#define TERVANE_CLIENT_NET_EXCHANGE_H_

#include <cstddef>
#include <cstdint>

#include "client/net/remote_session.h"
#include "shared/platform/thread_annotations.h"
#include "shared/protocol/op_codes.h"
#include "shared/protocol/result.h"

namespace tervane {

// Exchanges not bound to an open file build their request and read their
// reply in a zero-filled frame of this size.
inline constexpr size_t kSmallFrameSize = kPathRequestLimit;
inline constexpr size_t kSmallReplyRoom = kSmallFrameSize - kHeaderSize;  // 272

// Writes the request header for `code` with `payload_length` and `tag` at
// frame[0..28).
void BuildRequestHeader(uint8_t* frame, uint16_t code, uint32_t payload_length, uint32_t tag);

// Sends request[0..request_length) and reads the 28-byte reply header into
// reply[0..28) (`reply` may equal `request`). 0 with *payload_length set
// for a successful reply; 11 for a foreign tag; the server's result; or a
// transport failure.
Result SendAndReceiveHeader(RemoteSession* session, const uint8_t* request, size_t request_length,
                            uint32_t tag, uint8_t* reply, uint32_t* payload_length)
    REQUIRES(session->lock);

// Reads `length` reply payload bytes into destination[0..capacity). A length
// beyond `capacity` is refused: nothing is read, the connection is abandoned
// and the result is 13 (ERROR_INVALID_DATA).
Result ReceivePayload(RemoteSession* session, uint32_t length, uint8_t* destination, size_t capacity)
    REQUIRES(session->lock);

// The whole exchange for requests built in one frame buffer: a fresh tag and
// the header for `code` over frame[0..28), the payload already at
// frame[28..28+payload_length); the reply header and payload are read back
// into the same frame, the payload refused beyond `reply_capacity` bytes
// (which must fit the frame). *reply_length receives the payload length.
Result ExchangeInFrame(RemoteSession* session, uint16_t code, uint8_t* frame, uint32_t payload_length,
                       size_t reply_capacity, uint32_t* reply_length) REQUIRES(session->lock);

// Closes the connection (KOVA_AbandonConnection) for a caller that holds
// the session's lock.
void AbandonConnectionLocked(RemoteSession* session) REQUIRES(session->lock);

// The one place where a failed socket call's errno becomes a result. A
// blocking socket reports EAGAIN only when its send or receive time-out ran
// out, which Windows Sockets calls WSAETIMEDOUT.
Result SocketError(int err);

}  // namespace tervane

#endif  // TERVANE_CLIENT_NET_EXCHANGE_H_
