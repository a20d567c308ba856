#include "testing/test_client.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "shared/protocol/byte_order.h"
#include "shared/protocol/op_codes.h"
#include "testing/child_process.h"
#include "testing/loopback.h"

namespace tervane::testing {

TestClient::~TestClient() { Close(); }

bool TestClient::Connect(uint16_t port, int timeout_ms) {
  Close();
  for (const int64_t deadline = NowMs() + timeout_ms; (fd_ = ConnectLoopback(port)) < 0; ::usleep(20000)) {
    if (NowMs() >= deadline) return false;
  }
  return true;
}

void TestClient::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool TestClient::Reset() {
  if (fd_ < 0) return false;
  const linger abort_close{1, 0};
  const bool ok = ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &abort_close, sizeof abort_close) == 0;
  Close();
  return ok;
}

bool TestClient::SendBytes(const void* data, size_t len) { return fd_ >= 0 && SendAll(fd_, data, len); }

bool TestClient::SendRequest(uint16_t code, const uint8_t* payload, size_t len) {
  uint8_t header[kHeaderSize];
  EncodeFrameHeader(MakeRequestHeader(code, static_cast<uint32_t>(len), ++tag_), header);
  return SendBytes(header, sizeof header) && (len == 0 || SendBytes(payload, len));
}

bool TestClient::ReadExact(uint8_t* out, size_t len, int timeout_ms) {
  return fd_ >= 0 && RecvAll(fd_, out, len, [end = NowMs() + timeout_ms] { return NowMs() >= end; }) == Received::kAll;
}

bool TestClient::ReadReply(Reply* reply, int timeout_ms) {
  uint8_t header[kHeaderSize];
  if (!ReadExact(header, sizeof header, timeout_ms)) return false;
  reply->header = DecodeFrameHeader(header);
  if (reply->header.payload_length > kMaxPayload) return false;
  reply->payload.assign(reply->header.payload_length, 0);
  return ReadExact(reply->payload.data(), reply->payload.size(), timeout_ms);
}

bool TestClient::Exchange(uint16_t code, const std::vector<uint8_t>& payload, Reply* reply) {
  return SendRequest(code, payload.data(), payload.size()) && ReadReply(reply) && reply->header.code == code &&
         reply->header.request_tag == tag_ && reply->header.direction == kDirectionReply;
}

bool TestClient::WaitClosed(int timeout_ms) {
  const int64_t deadline = NowMs() + timeout_ms;
  return fd_ >= 0 && RecvAll(fd_, nullptr, SIZE_MAX, [&] { return NowMs() >= deadline; }) == Received::kClosed;
}

bool TestClient::StaysQuiet(int ms) {
  pollfd p{fd_, POLLIN, 0};
  return fd_ >= 0 && ::poll(&p, 1, ms) == 0;
}

uint32_t TestClient::OpenSession() { return Call(*this, OP_OPEN_SESSION, {}); }
uint32_t TestClient::Heartbeat() { return Call(*this, OP_HEARTBEAT, {}); }
uint32_t TestClient::CloseSession() { return Call(*this, OP_CLOSE_SESSION, {}); }
uint32_t TestClient::Register(std::string_view name, std::string_view password) {
  return Call(*this, OP_REGISTER_USER, TwoStringPayload(name, password));
}
uint32_t TestClient::Login(std::string_view name, std::string_view password) {
  return Call(*this, OP_LOGIN, TwoStringPayload(name, password));
}
uint32_t TestClient::CloseFile(uint32_t handle) { return Call(*this, OP_CLOSE_FILE, Bytes().U32(handle).U32(0)); }

uint32_t TestClient::CreateFile(std::string_view path, uint32_t access, uint32_t share, uint32_t disposition,
                                uint32_t* handle) {
  Reply r;
  const uint32_t result = Call(*this, OP_CREATE_FILE, CreatePayload(path, access, share, disposition), &r);
  if (handle != nullptr) *handle = result == 0 && r.payload.size() == 8 ? LoadU32(r.payload.data()) : 0;
  return result;
}

// Strings go out as given, zero added, whatever their length.
std::vector<uint8_t> PathPayload(std::string_view name) {
  return Bytes().U16(static_cast<uint16_t>(name.size() + 1)).U16(0).Str(name).Zero();
}

std::vector<uint8_t> SetAttributesPayload(uint32_t attributes, std::string_view name) {
  return Bytes().U32(attributes).Raw(PathPayload(name));
}

std::vector<uint8_t> TwoStringPayload(std::string_view first, std::string_view second) {
  return Bytes().U16(static_cast<uint16_t>(first.size())).U16(static_cast<uint16_t>(second.size()))
      .Str(first).Zero().Str(second).Zero();
}

std::vector<uint8_t> ListPayload(std::string_view name, uint32_t capacity) {
  return Bytes().U16(static_cast<uint16_t>(name.size())).U32(capacity).Str(name).Zero();
}

std::vector<uint8_t> CreatePayload(std::string_view path, uint32_t access, uint32_t share, uint32_t disposition) {
  return Bytes().U32(access).U32(share).U32(disposition).U32(0x80 /* FILE_ATTRIBUTE_NORMAL */).Raw(PathPayload(path));
}

std::vector<uint8_t> ReadPayload(uint32_t handle, uint64_t offset, uint32_t count) {
  return Bytes().U32(handle).U32(0).U64(offset).U32(count);
}

std::vector<uint8_t> WritePayload(uint32_t handle, uint64_t offset, std::string_view data) {
  return Bytes().Raw(ReadPayload(handle, offset, static_cast<uint32_t>(data.size()))).Str(data);
}

std::vector<uint8_t> SetSizePayload(uint32_t handle, uint64_t size) { return Bytes().U32(handle).U32(0).U64(size); }

uint32_t Call(TestClient& client, uint16_t code, const std::vector<uint8_t>& payload, Reply* reply) {
  Reply local;
  Reply* r = reply != nullptr ? reply : &local;
  return client.Exchange(code, payload, r) ? r->result() : kExchangeFailed;
}

bool ConnectAndLogIn(TestClient& client, uint16_t port, std::string_view user, std::string_view password) {
  return client.Connect(port) && client.OpenSession() == 0 && client.Login(user, password) == 0;
}

}  // namespace tervane::testing
