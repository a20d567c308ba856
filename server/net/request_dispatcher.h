// Gives meaning to a frame received in full on a connection: once for the
// 28-byte header and, for requests with a payload, once more when the whole
// payload is in. Session requests are answered from the header alone; every
// other mapped code has its payload received and then runs its handler. The
// reply is built in place: the request's header with direction 2, the
// result and the reply payload length, and the reply payload over the
// request payload.
//
// Thread-safety: keeps no state of its own; called by whichever worker
// serves the connection, touching only that connection's ClientContext.
#ifndef TERVANE_SERVER_NET_REQUEST_DISPATCHER_H_
#define TERVANE_SERVER_NET_REQUEST_DISPATCHER_H_

#include <cstdint>

#include "server/net/client_context.h"
#include "server/net/request_handlers.h"

namespace tervane {

enum class DispatchOutcome {
  kReceivePayload,  // c.stage is the request's state; receive the announced payload
  kSendReply,       // the reply (header and payload) is ready in c.buffer; send it
  kRelease,         // the frame cannot be served (payload beyond the buffer), or the
                    // connection failed its login too often: drop the connection
  kReceiveHeader,   // the reply is out: receive the next header
  kReceiveHeaderLater,  // the same, but only kLoginRetryDelayMs from now (a login failed)
};

class RequestDispatcher {
 public:
  RequestDispatcher(AccountManager& accounts, FileRegistry& files) : handlers_(accounts, files) {}

  // A complete header is in c.buffer[0..28). Refreshes lastActivity. A
  // mapped code sets c.stage and asks for its payload (a payload_length over
  // 65,764 releases the connection instead); OP_OPEN_SESSION,
  // OP_CLOSE_SESSION, OP_HEARTBEAT and unknown codes are answered at once
  // (result 0; the open replies with the server's tick). Sets c.io_kind,
  // c.offset and c.remaining for the transfer that follows.
  DispatchOutcome OnHeader(ClientContext& c);

  // The payload announced by the header is complete: runs the handler of
  // c.stage and prepares the reply.
  DispatchOutcome OnPayload(ClientContext& c);

  // The reply in c.buffer has been sent: prepares the receive of the next
  // header and refreshes lastActivity, so that the time a request took is
  // not counted as silence. After a failed login the next header is
  // received later (not after an unknown name, 0x3501, the first step of a
  // registration), and the kMaxFailedLogins-th failure of any kind releases
  // the connection (logged with the peer's address).
  DispatchOutcome OnReplySent(ClientContext& c);

 private:
  DispatchOutcome PrepareReply(ClientContext& c, Result result, uint32_t length);

  RequestHandlers handlers_;
};

}  // namespace tervane

#endif  // TERVANE_SERVER_NET_REQUEST_DISPATCHER_H_
