#include "testing/test_client.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "shared/protocol/op_codes.h"
#include "shared/protocol/payloads.h"

namespace tervane::testing {
namespace {

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

TestClient::~TestClient() { Close(); }

bool TestClient::Connect(uint16_t port, int timeout_ms) {
  Close();
  int64_t deadline = NowMs() + timeout_ms;
  do {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
      int one = 1;
      ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      fd_ = fd;
      return true;
    }
    ::close(fd);
    ::usleep(20000);
  } while (NowMs() < deadline);
  return false;
}

void TestClient::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool TestClient::Reset() {
  if (fd_ < 0) return false;
  linger abort_close{1, 0};
  bool ok = ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &abort_close, sizeof abort_close) == 0;
  Close();
  return ok;
}

bool TestClient::SendBytes(const void* data, size_t len) {
  if (fd_ < 0) return false;
  const uint8_t* p = static_cast<const uint8_t*>(data);
  while (len > 0) {
    ssize_t n = ::send(fd_, p, len, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

bool TestClient::SendRequest(uint16_t code, const uint8_t* payload, size_t len) {
  ++tag_;
  uint8_t header[kHeaderSize];
  EncodeFrameHeader(MakeRequestHeader(code, static_cast<uint32_t>(len), tag_), header);
  if (!SendBytes(header, sizeof header)) return false;
  return len == 0 || SendBytes(payload, len);
}

bool TestClient::ReadExact(uint8_t* out, size_t len, int timeout_ms) {
  if (fd_ < 0) return false;
  int64_t deadline = NowMs() + timeout_ms;
  while (len > 0) {
    int64_t left = deadline - NowMs();
    if (left <= 0) return false;
    pollfd p{fd_, POLLIN, 0};
    int r = ::poll(&p, 1, static_cast<int>(left));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    ssize_t n = ::recv(fd_, out, len, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    out += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

bool TestClient::ReadReply(Reply* reply, int timeout_ms) {
  uint8_t header[kHeaderSize];
  if (!ReadExact(header, sizeof header, timeout_ms)) return false;
  reply->header = DecodeFrameHeader(header);
  if (reply->header.payload_length > kMaxPayload) return false;
  reply->payload.assign(reply->header.payload_length, 0);
  return reply->payload.empty() || ReadExact(reply->payload.data(), reply->payload.size(), timeout_ms);
}

bool TestClient::Exchange(uint16_t code, const std::vector<uint8_t>& payload, Reply* reply) {
  if (!SendRequest(code, payload)) return false;
  if (!ReadReply(reply)) return false;
  return reply->header.code == code && reply->header.request_tag == tag_ &&
         reply->header.direction == kDirectionReply;
}

bool TestClient::WaitClosed(int timeout_ms) {
  if (fd_ < 0) return false;
  int64_t deadline = NowMs() + timeout_ms;
  for (;;) {
    int64_t left = deadline - NowMs();
    if (left <= 0) return false;
    pollfd p{fd_, POLLIN, 0};
    int r = ::poll(&p, 1, static_cast<int>(left));
    if (r < 0 && errno == EINTR) continue;
    if (r == 0) return false;
    if (r < 0) return false;
    uint8_t sink[4096];
    ssize_t n = ::recv(fd_, sink, sizeof sink, 0);
    if (n == 0) return true;
    if (n < 0 && errno != EINTR && errno != EAGAIN) return true;  // reset
  }
}

bool TestClient::StaysQuiet(int ms) {
  if (fd_ < 0) return false;
  pollfd p{fd_, POLLIN, 0};
  return ::poll(&p, 1, ms) == 0;
}

uint32_t TestClient::OpenSession() {
  Reply r;
  if (!Exchange(OP_OPEN_SESSION, {}, &r)) return kExchangeFailed;
  return r.result();
}

uint32_t TestClient::Heartbeat() {
  Reply r;
  if (!Exchange(OP_HEARTBEAT, {}, &r)) return kExchangeFailed;
  return r.result();
}

uint32_t TestClient::CloseSession() {
  Reply r;
  if (!Exchange(OP_CLOSE_SESSION, {}, &r)) return kExchangeFailed;
  return r.result();
}

uint32_t TestClient::Register(std::string_view name, std::string_view password) {
  std::vector<uint8_t> p(300);
  size_t n = EncodeTwoStringRequest(name, password, p.data(), p.size());
  if (n == 0) return kExchangeFailed;
  p.resize(n);
  Reply r;
  if (!Exchange(OP_REGISTER_USER, p, &r)) return kExchangeFailed;
  return r.result();
}

uint32_t TestClient::Login(std::string_view name, std::string_view password) {
  std::vector<uint8_t> p(300);
  size_t n = EncodeTwoStringRequest(name, password, p.data(), p.size());
  if (n == 0) return kExchangeFailed;
  p.resize(n);
  Reply r;
  if (!Exchange(OP_LOGIN, p, &r)) return kExchangeFailed;
  return r.result();
}

uint32_t TestClient::CreateFile(std::string_view path, uint32_t access, uint32_t share,
                                uint32_t disposition, uint32_t* handle) {
  std::vector<uint8_t> p(400);
  CreateFileRequest req;
  req.desired_access = access;
  req.share_mode = share;
  req.creation_disposition = disposition;
  req.flags_and_attributes = 0x80;  // FILE_ATTRIBUTE_NORMAL
  req.path = path;
  size_t n = EncodeCreateFileRequest(req, p.data(), p.size());
  if (n == 0) return kExchangeFailed;
  p.resize(n);
  Reply r;
  if (!Exchange(OP_CREATE_FILE, p, &r)) return kExchangeFailed;
  if (handle != nullptr) *handle = 0;
  if (r.result() == 0 && r.payload.size() == 8 && handle != nullptr) {
    *handle = static_cast<uint32_t>(r.payload[0]) | (static_cast<uint32_t>(r.payload[1]) << 8) |
              (static_cast<uint32_t>(r.payload[2]) << 16) | (static_cast<uint32_t>(r.payload[3]) << 24);
  }
  return r.result();
}

uint32_t TestClient::CloseFile(uint32_t handle) {
  std::vector<uint8_t> p(8);
  EncodeHandleRequest(handle, p.data(), p.size());
  Reply r;
  if (!Exchange(OP_CLOSE_FILE, p, &r)) return kExchangeFailed;
  return r.result();
}

}  // namespace tervane::testing
