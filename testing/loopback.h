// Test-only: blocking TCP sockets on 127.0.0.1, shared by the raw client,
// the fake peer and the port picker. Every receive is bounded by the
// caller's give_up(), asked at least every 50 ms. Stateless, thread-safe.
#ifndef TERVANE_TESTING_LOOPBACK_H_
#define TERVANE_TESTING_LOOPBACK_H_

#include <cstddef>
#include <cstdint>
#include <functional>

namespace tervane::testing {

// A socket bound to 127.0.0.1:0 (*port receives the kernel's pick),
// listening with `backlog` when > 0; `buffer` > 0 sets SO_SNDBUF and
// SO_RCVBUF first (accepted sockets inherit them). -1 on failure.
int BindLoopback(uint16_t* port, int backlog = 0, int buffer = 0);
// A socket connected to 127.0.0.1:port with TCP_NODELAY, or -1.
int ConnectLoopback(uint16_t port);
// Sets TCP_NODELAY, as the server and the client do.
void NoDelay(int fd);

// Writes all bytes; false when the connection failed.
bool SendAll(int fd, const void* data, size_t len);
// Receives exactly `len` bytes into `out`, or drops them in the kernel when
// `out` is null (SIZE_MAX: everything until the end of the stream).
enum class Received { kAll, kClosed, kGaveUp };  // kClosed: end of stream or error
Received RecvAll(int fd, uint8_t* out, size_t len, const std::function<bool()>& give_up);

// A TCP port on 127.0.0.1 that nobody listened on a moment ago (another
// process may take it meanwhile: callers that start a server on it try
// again with a new one). 0 when none could be found.
uint16_t PickFreePort();

}  // namespace tervane::testing

#endif  // TERVANE_TESTING_LOOPBACK_H_
