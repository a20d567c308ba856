// One connection of the server: a slot of the ContextPool with its socket,
// its transfer state, its Session (who the client is, what it has open) and
// the one frame buffer that holds the request and, afterwards, the reply
// built over it.
//
// Who may touch what: the fields marked "pool lock" below (and session.key)
// are read and written under ContextPool::mutex(). A slot cannot name its
// pool's mutex, so these carry no GUARDED_BY: the compiler's lock checking
// stops at the pool, whose functions take the lock or require it. Everything
// else belongs to the connection's one outstanding socket operation: the
// worker that runs its completion (and has set `busy` under the pool lock)
// works on them without the lock; the pool touches them only under the lock
// while `busy` is false.
#ifndef TERVANE_SERVER_NET_CLIENT_CONTEXT_H_
#define TERVANE_SERVER_NET_CLIENT_CONTEXT_H_

#include <atomic>
#include <cstdint>

#include "server/net/session.h"
#include "shared/protocol/op_codes.h"

namespace tervane {

// A receive takes whatever requests have arrived, up to this many bytes, into
// the connection's inbox; small replies gather in its outbox and leave
// together. Both are fixed parts of the slot, like the frame buffer.
inline constexpr size_t kInboxSize = 16384;
inline constexpr size_t kOutboxSize = 16384;

// Which kind of socket operation is outstanding.
enum IoKind : uint16_t { IO_RECEIVE = 1, IO_SEND = 2 };

struct ClientContext {
  ClientContext() = default;
  ClientContext(const ClientContext&) = delete;
  ClientContext& operator=(const ClientContext&) = delete;

  bool in_use = false;  // pool lock: the slot holds a connection
  bool busy = false;    // pool lock: a worker is serving it now
  // Pool lock: the login deadline passed while a worker served it; that
  // worker releases it unless it has logged in by then.
  bool login_overdue = false;
  // Pool lock: waiting out the pause after a failed login; only the peer's
  // close is watched meanwhile.
  bool held = false;
  // GetTickCount() at set-up and at every complete header; read by the sweep.
  std::atomic<uint32_t> last_activity{0};
  int fd = -1;  // the connection's non-blocking socket; -1 once closed
  // session.key is written only under the pool lock (see session.h).
  Session session;

  uint32_t remaining = 0;     // bytes still to move in the current receive or send
  // The socket's SO_RCVLOWAT as last set (1 is the system's default): the
  // bytes a receive waits for before the worker is woken.
  uint32_t receive_low_water = 1;
  uint32_t offset = 0;        // where in `buffer` the next bytes go or come from
  IoKind io_kind = IO_RECEIVE;
  RequestState stage = STAGE_HEADER;
  // Header at 0, payload from kHeaderSize.
  alignas(8) uint8_t buffer[kFrameBufferSize] = {};
  // Bytes received ahead of the request being served, in inbox[in_start,
  // in_end); replies built but not yet sent, in outbox[out_start, out_end).
  uint32_t in_start = 0;
  uint32_t in_end = 0;
  uint32_t out_start = 0;
  uint32_t out_end = 0;
  uint8_t inbox[kInboxSize] = {};
  uint8_t outbox[kOutboxSize] = {};

  uint8_t* payload() { return buffer + kHeaderSize; }
};

}  // namespace tervane

#endif  // TERVANE_SERVER_NET_CLIENT_CONTEXT_H_
