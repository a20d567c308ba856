// One connection of the client to the server: the TCP socket, the protocol
// session opened on it, and the lock that keeps one exchange on the wire at a
// time.
//
// Every function returns the system's 32-bit result (a Result): 0 for success, a server
// result, 11 (ERROR_BAD_FORMAT) for a reply that answers another request, 13
// (ERROR_INVALID_DATA) when the server closes the connection inside a reply
// or announces more reply than the destination holds, or the Windows Sockets
// code of a failed socket call (WSAETIMEDOUT when a reply did not come within
// the session's reply time-out).
//
// A connection whose reply stream is no longer in step (a foreign tag, a
// socket failure, a closed peer, an oversize or late reply) is closed at once;
// every later exchange on it fails with WSAENOTCONN without touching the
// network. There is no reconnection inside the library.
#ifndef TERVANE_CLIENT_NET_REMOTE_SESSION_H_
#define TERVANE_CLIENT_NET_REMOTE_SESSION_H_

#include <cstddef>
#include <cstdint>

#include "shared/platform/mutex.h"
#include "shared/protocol/op_codes.h"
#include "shared/protocol/result.h"

namespace tervane {

// How long connecting may take before it fails with WSAETIMEDOUT.
inline constexpr uint32_t kConnectTimeoutMs = 10'000;
// How long a reply may stall before the exchange fails with WSAETIMEDOUT; a
// whole-tree delete on the server can take long.
inline constexpr uint32_t kDefaultReplyTimeoutMs = 10 * 60 * 1000;

// Created by KOVA_Connect, freed by KOVA_Disconnect. Thread-safe through
// `lock`: every exchange holds it from the first byte of its request to the
// last byte of its reply, a piecewise read or write and a listing across all
// their exchanges, a RequestPipeline for its whole life. The lock is not
// re-entrant: a thread that holds it (inside a pipeline's life) must not
// call the KOVA_* functions on the session.
struct RemoteSession {
  uint32_t server_session_value = 0;  // payload of the session-open reply; kept, never sent
  uint32_t server_address = 0;        // IPv4, network order, as parsed from the text
  Mutex lock;
  int socket GUARDED_BY(lock) = -1;  // -1 once the connection is closed
  uint32_t reply_timeout_ms GUARDED_BY(lock) = kDefaultReplyTimeoutMs;
};

// Opens a TCP connection to `address` (dotted IPv4 text) on `port` and the
// protocol session on it. On success *session receives a new record (free it
// with KOVA_Disconnect); on failure *session is set to nullptr, no socket is
// left open, and the result is the failing step's code.
Result KOVA_Connect(const char* address, RemoteSession** session, uint16_t port = kDefaultPort);

// Closes the protocol session (its result is ignored), the socket and frees
// the record. Always 0 (a plain value, not a Result: there is nothing to
// check); a null pointer does nothing. Waits for an exchange in
// progress on another thread to end; the caller must not use `session`
// afterwards on any thread.
uint32_t KOVA_Disconnect(RemoteSession* session) EXCLUDES(session->lock);

// Sets how long any one wait for reply bytes may last on this session
// (milliseconds, at least 1). Takes effect from the next exchange.
void KOVA_SetReplyTimeout(RemoteSession* session, uint32_t timeout_ms) EXCLUDES(session->lock);

// Closes the socket of `session` without freeing it, so that every later
// exchange fails with WSAENOTCONN. Called by the library whenever a reply is
// out of step; exposed for callers that must abandon a connection.
void KOVA_AbandonConnection(RemoteSession* session) EXCLUDES(session->lock);

// False once the connection of `session` has been closed (a socket failure,
// a closed peer, a reply out of step): a request's failure then means the
// connection is lost, not that the server refused it. False for null.
bool KOVA_IsConnected(RemoteSession* session) EXCLUDES(session->lock);

// Hands all `count` bytes to the socket. 0, or the Windows Sockets code of
// the failed send.
Result SendAll(int socket, const uint8_t* bytes, size_t count);

// Reads exactly `count` bytes. 0; 13 (ERROR_INVALID_DATA) when the peer
// closes first; WSAETIMEDOUT when the socket's receive time-out runs out;
// else the Windows Sockets code of the failed receive.
Result ReceiveAll(int socket, uint8_t* bytes, size_t count);

// The socket layer needs no start-up or clean-up on this platform; kept so
// that callers written for one can call them. Both return 0, a plain value
// like KOVA_Disconnect's.
uint32_t KOVA_NetStartup();
uint32_t KOVA_NetCleanup();

}  // namespace tervane

#endif  // TERVANE_CLIENT_NET_REMOTE_SESSION_H_
