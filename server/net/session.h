// What the server knows of one connection's client, apart from how its bytes
// move: the account key, where it connects from, whether it opened a session,
// its login state and the files it has open. The request handlers see only
// this and the frame; the socket and the transfer state stay in ClientContext.
//
// Not thread-safe: a Session belongs to one ClientContext slot. The worker
// serving the connection uses it without a lock; the ContextPool starts and
// ends it under its lock while no worker serves the slot. `key` is written
// only then, so the pool may read it under its lock at any time.
#ifndef TERVANE_SERVER_NET_SESSION_H_
#define TERVANE_SERVER_NET_SESSION_H_

#include <arpa/inet.h>

#include <cstdint>

#include "server/net/open_file_table.h"

namespace tervane {

struct Session {
  // The connection's key for the account manager, unique within the run and
  // never 0, so a released connection's key can never unbind a later one.
  // Also tells completions of an earlier connection of this slot apart.
  uint32_t key = 0;
  uint32_t peer_address = 0;  // IPv4, network byte order
  uint16_t peer_port = 0;
  bool open = false;  // between OP_OPEN_SESSION and OP_CLOSE_SESSION
  // The login guard: the time to log in counts from `accepted_at` (the
  // tick at accept), heartbeats or not; one registration per connection;
  // failed logins are counted.
  uint32_t accepted_at = 0;
  bool logged_in = false;
  bool registered = false;
  uint32_t failed_logins = 0;
  OpenFileTable open_files;
};

// The peer's address in dotted form, for log lines.
struct PeerText {
  explicit PeerText(const Session& s) {
    in_addr addr{};
    addr.s_addr = s.peer_address;
    if (inet_ntop(AF_INET, &addr, text, sizeof text) == nullptr) text[0] = '\0';
  }
  char text[INET_ADDRSTRLEN] = {};
};

}  // namespace tervane

#endif  // TERVANE_SERVER_NET_SESSION_H_
