#include "client/net/remote_session.h"

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <new>

#include "client/net/exchange.h"
#include "shared/platform/win_error.h"
#include "shared/protocol/payloads.h"

namespace tervane {
namespace {

// The session-close reply is waited for no longer than this, so that a dead
// server cannot hold up a disconnect for the whole reply time-out.
constexpr uint32_t kCloseReplyTimeoutMs = 10'000;

Result SetIoTimeouts(int fd, uint32_t timeout_ms) {
  timeval tv{};
  tv.tv_sec = static_cast<time_t>(timeout_ms / 1000);
  tv.tv_usec = static_cast<suseconds_t>((timeout_ms % 1000) * 1000);
  if (setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0 ||
      setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) != 0) {
    return SocketError(errno);
  }
  return 0;
}

// Connects `fd` to `addr`, giving up after kConnectTimeoutMs; leaves the
// socket blocking.
Result ConnectWithTimeout(int fd, const sockaddr_in& addr) {
  const int flags = fcntl(fd, F_GETFL, 0);
  if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return SocketError(errno);
  if (connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    if (errno != EINPROGRESS) return SocketError(errno);
    pollfd pfd{fd, POLLOUT, 0};
    int ready;
    do {
      ready = poll(&pfd, 1, static_cast<int>(kConnectTimeoutMs));
    } while (ready < 0 && errno == EINTR);
    if (ready < 0) return SocketError(errno);
    if (ready == 0) return WSAETIMEDOUT;
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return SocketError(errno);
    if (err != 0) return SocketError(err);
  }
  if (fcntl(fd, F_SETFL, flags) != 0) return SocketError(errno);
  return 0;
}

// OP_OPEN_SESSION on a connection nobody else knows yet.
Result OpenSession(RemoteSession* session) {
  uint8_t frame[kSmallFrameSize] = {};
  uint32_t length = 0;
  // Nobody else knows the session yet; the lock costs nothing and keeps
  // every exchange under it.
  MutexLock hold(&session->lock);
  const Result rc = ExchangeInFrame(session, OP_OPEN_SESSION, frame, 0, kSmallReplyRoom, &length);
  if (!rc.ok()) return rc;
  // The value is only kept; a shorter payload leaves it 0.
  uint32_t value = 0;
  DecodeU32Reply(frame + kHeaderSize, length, &value);
  session->server_session_value = value;
  return 0;
}

}  // namespace

Result SendAll(int socket, const uint8_t* bytes, size_t count) {
  size_t done = 0;
  while (done < count) {
    const ssize_t n = send(socket, bytes + done, count - done, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return SocketError(errno);
    }
    done += static_cast<size_t>(n);
  }
  return 0;
}

Result ReceiveAll(int socket, uint8_t* bytes, size_t count) {
  size_t done = 0;
  while (done < count) {
    const ssize_t n = recv(socket, bytes + done, count - done, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return SocketError(errno);
    }
    if (n == 0) return ERROR_INVALID_DATA;
    done += static_cast<size_t>(n);
  }
  return 0;
}

uint32_t KOVA_NetStartup() { return 0; }
uint32_t KOVA_NetCleanup() { return 0; }

Result KOVA_Connect(const char* address, RemoteSession** session, uint16_t port) {
  if (session == nullptr) return ERROR_INVALID_PARAMETER;
  *session = nullptr;
  if (address == nullptr) return ERROR_INVALID_PARAMETER;

  // Like the original platform, the text is not checked here: an unparsable
  // one becomes the "none" address and the connect fails.
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = inet_addr(address);

  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return SocketError(errno);

  auto fail = [fd](Result rc) {
    close(fd);
    return rc;
  };
  Result rc = ConnectWithTimeout(fd, addr);
  if (!rc.ok()) return fail(rc);
  const int one = 1;
  if (setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) != 0) return fail(SocketError(errno));
  // Opening the session is part of connecting and has its time-out.
  rc = SetIoTimeouts(fd, kConnectTimeoutMs);
  if (!rc.ok()) return fail(rc);

  RemoteSession* s = new (std::nothrow) RemoteSession;
  if (s == nullptr) return fail(ERROR_NOT_ENOUGH_MEMORY);
  {
    MutexLock hold(&s->lock);
    s->socket = fd;
  }
  s->server_address = addr.sin_addr.s_addr;
  rc = OpenSession(s);
  if (rc.ok()) rc = SetIoTimeouts(fd, kDefaultReplyTimeoutMs);
  if (!rc.ok()) {
    // The exchange may already have closed the socket.
    KOVA_AbandonConnection(s);
    delete s;
    return rc;
  }
  *session = s;
  return 0;
}

uint32_t KOVA_Disconnect(RemoteSession* session) {
  if (session == nullptr) return 0;
  {
    // Held across the close exchange, as any exchange holds it; it also
    // lets an exchange still running on another thread end before the
    // record goes.
    MutexLock hold(&session->lock);
    if (session->socket >= 0) {
      // Both results are dropped: the connection is closed whatever the
      // server answers, and a disconnect always succeeds.
      static_cast<void>(
          SetIoTimeouts(session->socket, std::min(session->reply_timeout_ms, kCloseReplyTimeoutMs)));
      uint8_t frame[kSmallFrameSize] = {};
      uint32_t length = 0;
      static_cast<void>(ExchangeInFrame(session, OP_CLOSE_SESSION, frame, 0, kSmallReplyRoom, &length));
      AbandonConnectionLocked(session);
    }
  }
  delete session;
  return 0;
}

void KOVA_SetReplyTimeout(RemoteSession* session, uint32_t timeout_ms) {
  if (session == nullptr) return;
  MutexLock hold(&session->lock);
  session->reply_timeout_ms = std::max<uint32_t>(timeout_ms, 1);
  if (session->socket >= 0 && !SetIoTimeouts(session->socket, session->reply_timeout_ms).ok()) {
    // A socket that cannot keep the promised time-out is not used again.
    AbandonConnectionLocked(session);
  }
}

bool KOVA_IsConnected(RemoteSession* session) {
  if (session == nullptr) return false;
  MutexLock hold(&session->lock);
  return session->socket >= 0;
}

void KOVA_AbandonConnection(RemoteSession* session) {
  if (session == nullptr) return;
  MutexLock hold(&session->lock);
  AbandonConnectionLocked(session);
}

}  // namespace tervane
