#include "testing/loopback.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace tervane::testing {
namespace {

sockaddr_in Loopback(uint16_t port) {
  return {.sin_family = AF_INET, .sin_port = htons(port), .sin_addr = {htonl(INADDR_LOOPBACK)}, .sin_zero = {}};
}

}  // namespace

void NoDelay(int fd) {
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

int BindLoopback(uint16_t* port, int backlog, int buffer) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (buffer > 0) {
    ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
  }
  sockaddr_in addr = Loopback(0);
  socklen_t len = sizeof addr;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || (backlog > 0 && ::listen(fd, backlog) != 0) ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    ::close(fd);
    return -1;
  }
  *port = ntohs(addr.sin_port);
  return fd;
}

uint16_t PickFreePort() {
  uint16_t port = 0;
  const int fd = BindLoopback(&port);  // leaves port 0 when it fails
  if (fd >= 0) ::close(fd);
  return port;
}

int ConnectLoopback(uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const sockaddr_in addr = Loopback(port);
  if (fd >= 0 && ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0) {
    NoDelay(fd);
    return fd;
  }
  if (fd >= 0) ::close(fd);
  return -1;
}

bool SendAll(int fd, const void* data, size_t len) {
  for (const auto* p = static_cast<const uint8_t*>(data); len > 0;) {
    const ssize_t n = ::send(fd, p, len, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    p += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

Received RecvAll(int fd, uint8_t* out, size_t len, const std::function<bool()>& give_up) {
  static thread_local uint8_t sink[65536];
  while (len > 0) {
    if (give_up()) return Received::kGaveUp;
    pollfd p{fd, POLLIN, 0};
    const int ready = ::poll(&p, 1, 50);
    if (ready < 0 && errno != EINTR) return Received::kClosed;
    if (ready <= 0) continue;
    // Under MSG_TRUNC, TCP drops the bytes without copying them.
    const ssize_t n = out != nullptr ? ::recv(fd, out, len, 0)
                                     : ::recv(fd, sink, len < sizeof sink ? len : sizeof sink, MSG_TRUNC);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return Received::kClosed;
    if (out != nullptr) out += n;
    len -= static_cast<size_t>(n);
  }
  return Received::kAll;
}

}  // namespace tervane::testing
