#include "testing/fake_peer.h"

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstdio>

#include "shared/protocol/byte_order.h"
#include "shared/protocol/op_codes.h"

namespace tervane::testing {
namespace {

constexpr int kSliceMs = 50;

// Drops n received bytes; TCP discards them in the kernel under MSG_TRUNC.
bool DiscardExactly(int fd, size_t n, const std::atomic<bool>& stop, bool* closed) {
  static thread_local uint8_t sink[65536];
  while (n > 0) {
    if (stop) return false;
    pollfd pfd{fd, POLLIN, 0};
    const int ready = poll(&pfd, 1, kSliceMs);
    if (ready < 0 && errno != EINTR) return false;
    if (ready <= 0) continue;
    const ssize_t got = recv(fd, sink, n < sizeof sink ? n : sizeof sink, MSG_TRUNC);
    if (got <= 0) {
      if (got < 0 && errno == EINTR) continue;
      *closed = true;
      return false;
    }
    n -= static_cast<size_t>(got);
  }
  return true;
}

// Reads exactly n bytes, waking every slice to look at `stop`. False when
// the peer closed, failed, or we are stopping.
bool ReadExactly(int fd, uint8_t* p, size_t n, const std::atomic<bool>& stop, bool* closed) {
  size_t done = 0;
  while (done < n) {
    if (stop) return false;
    pollfd pfd{fd, POLLIN, 0};
    const int ready = poll(&pfd, 1, kSliceMs);
    if (ready < 0 && errno != EINTR) return false;
    if (ready <= 0) continue;
    const ssize_t got = recv(fd, p + done, n - done, 0);
    if (got <= 0) {
      if (got < 0 && errno == EINTR) continue;
      *closed = true;
      return false;
    }
    done += static_cast<size_t>(got);
  }
  return true;
}

bool WriteAll(int fd, const std::vector<uint8_t>& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

size_t OpenDescriptorCount() {
  size_t n = 0;
  for (int fd = 0; fd < 4096; ++fd) n += fcntl(fd, F_GETFD) != -1 ? 1 : 0;
  return n;
}

bool TagTakenBetween(uint32_t tag, uint32_t before, uint32_t after) {
  return static_cast<uint32_t>(tag - before) <= static_cast<uint32_t>(after - before);
}

FakePeer::FakePeer(Script script) : FakePeer(std::move(script), Options()) {}

FakePeer::FakePeer(Script script, Options options) : script_(std::move(script)), options_(options) {
  const int socket_buffer = options_.socket_buffer;
  listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  // Set before listening, so that accepted sockets inherit the sizes.
  if (listen_fd_ >= 0 && socket_buffer > 0) {
    setsockopt(listen_fd_, SOL_SOCKET, SO_SNDBUF, &socket_buffer, sizeof socket_buffer);
    setsockopt(listen_fd_, SOL_SOCKET, SO_RCVBUF, &socket_buffer, sizeof socket_buffer);
  }
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  socklen_t len = sizeof addr;
  if (listen_fd_ < 0 || bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      listen(listen_fd_, 4) != 0 ||
      getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    std::perror("fake peer: cannot listen on 127.0.0.1");
    std::abort();
  }
  port_ = ntohs(addr.sin_port);
  thread_ = std::thread([this] { Serve(); });
}

FakePeer::~FakePeer() {
  stop_ = true;
  thread_.join();
  close(listen_fd_);
}

void FakePeer::Serve() {
  size_t index = 0;
  while (!stop_) {
    pollfd pfd{listen_fd_, POLLIN, 0};
    if (poll(&pfd, 1, kSliceMs) <= 0) continue;
    const int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    const int one = 1;  // as the server does
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    client_closed_ = false;
    const bool go_on = ServeConnection(fd, index++);
    close(fd);
    if (!go_on) return;
  }
}

bool FakePeer::ServeConnection(int fd, size_t index) {
  for (;;) {
    Request request;
    request.connection = index;
    request.bytes.resize(kHeaderSize);
    bool closed = false;
    if (!ReadExactly(fd, request.bytes.data(), kHeaderSize, stop_, &closed)) {
      client_closed_ = closed;
      return !stop_;
    }
    request.header = DecodeFrameHeader(request.bytes.data());
    // Session requests and unknown codes carry no payload, as the server reads them.
    if (MapRequestCode(request.header.code) != STAGE_NOT_MAPPED) {
      const uint32_t length = request.header.payload_length;
      if (length > kMaxPayload) return !stop_;  // a client fault: no test sends more
      const bool discard = options_.discard_write_data && request.header.code == OP_WRITE_FILE &&
                           length > kDataRequestFixed;
      const size_t kept = discard ? kDataRequestFixed : length;
      request.payload.resize(kept);
      if (!ReadExactly(fd, request.payload.data(), kept, stop_, &closed)) {
        client_closed_ = closed;
        return !stop_;
      }
      if (discard) {
        request.discarded = length - static_cast<uint32_t>(kDataRequestFixed);
        if (!DiscardExactly(fd, request.discarded, stop_, &closed)) {
          client_closed_ = closed;
          return !stop_;
        }
      }
      request.bytes.insert(request.bytes.end(), request.payload.begin(), request.payload.end());
    }
    {
      MutexLock hold(&mu_);
      requests_.push_back(request);
    }
    const Answer answer = script_(request);
    if (!WriteAll(fd, answer.bytes)) return !stop_;
    if (answer.close_after) return !stop_;
    if (answer.stall) {
      // Swallow whatever comes until the client closes or we stop.
      uint8_t sink[4096];
      while (!stop_) {
        pollfd pfd{fd, POLLIN, 0};
        if (poll(&pfd, 1, kSliceMs) <= 0) continue;
        if (recv(fd, sink, sizeof sink, 0) <= 0) {
          client_closed_ = true;
          break;
        }
      }
      return !stop_;
    }
  }
}

FakePeer::Script FakePeer::Answering(Handler handler) {
  return [handler = std::move(handler)](const Request& request) {
    std::vector<uint8_t> reply;
    const uint32_t result = handler(request, &reply);
    if (result == kCloseConnection) return Answer{{}, true, false};
    return Answer{Reply(request, result, result == 0 ? reply : std::vector<uint8_t>())};
  };
}

std::vector<uint16_t> FakePeer::Codes() const {
  MutexLock hold(&mu_);
  std::vector<uint16_t> codes;
  for (const Request& r : requests_) codes.push_back(r.header.code);
  return codes;
}

std::vector<FakePeer::Request> FakePeer::Requests() const {
  MutexLock hold(&mu_);
  return requests_;
}

size_t FakePeer::CountOf(uint16_t code) const {
  MutexLock hold(&mu_);
  size_t n = 0;
  for (const Request& r : requests_) n += r.header.code == code ? 1 : 0;
  return n;
}

bool FakePeer::WaitForClientClose(int timeout_ms) const {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (std::chrono::steady_clock::now() < until) {
    if (client_closed_) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return client_closed_;
}

std::vector<uint8_t> FakePeer::Reply(const Request& request, uint32_t result,
                                     const std::vector<uint8_t>& payload) {
  return ReplyAnnouncing(request, result, static_cast<uint32_t>(payload.size()), payload);
}

std::vector<uint8_t> FakePeer::ReplyAnnouncing(const Request& request, uint32_t result,
                                               uint32_t announced,
                                               const std::vector<uint8_t>& payload) {
  std::vector<uint8_t> out(kHeaderSize + payload.size());
  std::copy_n(request.bytes.begin(), kHeaderSize, out.begin());
  std::copy(payload.begin(), payload.end(), out.begin() + kHeaderSize);
  out[kOffDirection] = kDirectionReply;
  StoreU32(out.data() + kOffResult, result);
  StoreU32(out.data() + kOffPayloadLength, announced);
  return out;
}

FakePeer::Answer FakePeer::SessionAnswer(const Request& request) {
  if (request.header.code == OP_OPEN_SESSION) {
    return {Reply(request, 0, Bytes().U32(0x11223344)), false, false};
  }
  return {Reply(request, 0), false, false};
}

}  // namespace tervane::testing
