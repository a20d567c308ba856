// Test-only: a raw blocking-socket client of the server, speaking the frames
// byte by byte so that tests can also send what a well-behaved client never
// would (split headers, oversize lengths, foreign handles). Loopback only;
// every wait is bounded. Not thread-safe: one thread per client.
#ifndef TERVANE_TESTING_TEST_CLIENT_H_
#define TERVANE_TESTING_TEST_CLIENT_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "shared/protocol/frame_header.h"
#include "shared/protocol/open_flags.h"

namespace tervane::testing {

struct Reply {
  FrameHeader header;
  std::vector<uint8_t> payload;
  uint32_t result() const { return header.result; }
};

inline constexpr uint32_t kExchangeFailed = 0xFFFFFFFFu;  // no reply came

class TestClient {
 public:
  TestClient() = default;
  ~TestClient();
  TestClient(const TestClient&) = delete;
  TestClient& operator=(const TestClient&) = delete;

  bool Connect(uint16_t port, int timeout_ms = 3000);  // 127.0.0.1:port, retried until the timeout
  void Close();
  bool Reset();  // closes with a reset (SO_LINGER 0)

  bool SendBytes(const void* data, size_t len);  // false when the connection failed
  // A request header (fresh tag), then `payload`.
  bool SendRequest(uint16_t code, const uint8_t* payload, size_t len);
  bool ReadReply(Reply* reply, int timeout_ms = 10000);  // the header, then the payload it announces
  // SendRequest and ReadReply; false on a transport failure or a reply that
  // does not echo code and tag or is not marked as a reply.
  bool Exchange(uint16_t code, const std::vector<uint8_t>& payload, Reply* reply);

  // True when the server closes the connection (end or reset) within
  // `timeout_ms`, bytes before that discarded; StaysQuiet: true when nothing
  // arrives and the connection stays open for `ms`.
  bool WaitClosed(int timeout_ms);
  bool StaysQuiet(int ms);

  // The common exchanges: the reply's result, or kExchangeFailed.
  uint32_t OpenSession();
  uint32_t Heartbeat();
  uint32_t CloseSession();
  uint32_t Register(std::string_view name, std::string_view password);
  uint32_t Login(std::string_view name, std::string_view password);
  // Opens `path` (relative to the home); *handle receives the server's handle (0 on failure).
  uint32_t CreateFile(std::string_view path, uint32_t access, uint32_t share, uint32_t disposition,
                      uint32_t* handle);
  uint32_t CloseFile(uint32_t handle);

 private:
  bool ReadExact(uint8_t* out, size_t len, int timeout_ms);

  int fd_ = -1;
  uint32_t tag_ = 0x1000;
};

// Request payloads built byte for byte (whatever a well-behaved client
// would refuse to send: "..", links, over-long names).
// OP_DELETE_FILE, OP_GET_FILE_ATTRIBUTES, OP_CREATE_DIRECTORY, OP_REMOVE_DIRECTORY.
std::vector<uint8_t> PathPayload(std::string_view name);
std::vector<uint8_t> SetAttributesPayload(uint32_t attributes, std::string_view name);
// OP_REGISTER_USER, OP_LOGIN, OP_RENAME.
std::vector<uint8_t> TwoStringPayload(std::string_view first, std::string_view second);
std::vector<uint8_t> ListPayload(std::string_view name, uint32_t capacity = 272);
std::vector<uint8_t> CreatePayload(std::string_view path, uint32_t access, uint32_t share, uint32_t disposition);
std::vector<uint8_t> ReadPayload(uint32_t handle, uint64_t offset, uint32_t count);
std::vector<uint8_t> WritePayload(uint32_t handle, uint64_t offset, std::string_view data);
std::vector<uint8_t> SetSizePayload(uint32_t handle, uint64_t size);

// Exchanges one request; the reply's result, or kExchangeFailed
// when the exchange itself failed. `reply` (if given) receives the reply.
uint32_t Call(TestClient& client, uint16_t code, const std::vector<uint8_t>& payload,
              Reply* reply = nullptr);

// Connects to 127.0.0.1:port, opens the session and logs in; true when all
// three succeed.
bool ConnectAndLogIn(TestClient& client, uint16_t port, std::string_view user,
                     std::string_view password);

// Little-endian byte strings for expected frames and scripted replies,
// written field by field independently of the codec under test.
class Bytes {
 public:
  Bytes& U8(uint8_t v) { return Le(v, 1); }
  Bytes& U16(uint16_t v) { return Le(v, 2); }
  Bytes& U32(uint32_t v) { return Le(v, 4); }
  Bytes& U64(uint64_t v) { return Le(v, 8); }
  Bytes& Str(std::string_view s) { return Raw(std::vector<uint8_t>(s.begin(), s.end())); }  // no terminator
  Bytes& Zero(size_t n = 1) { return Raw(std::vector<uint8_t>(n, 0)); }
  Bytes& Raw(const std::vector<uint8_t>& v) {
    bytes_.insert(bytes_.end(), v.begin(), v.end());
    return *this;
  }
  const std::vector<uint8_t>& get() const { return bytes_; }
  operator std::vector<uint8_t>() const { return bytes_; }

 private:
  Bytes& Le(uint64_t v, int size) {
    for (int i = 0; i < size; ++i) bytes_.push_back(static_cast<uint8_t>(v >> (8 * i)));
    return *this;
  }
  std::vector<uint8_t> bytes_;
};

// A request header as the client must build it.
inline std::vector<uint8_t> RequestHeaderBytes(uint16_t code, uint32_t payload_length, uint32_t tag) {
  return Bytes().Str("KOVA").U16(0x0101).U16(0).U8(1).U8(0).U16(code).U32(0).U32(payload_length).U32(tag).U32(0);
}

}  // namespace tervane::testing

#endif  // TERVANE_TESTING_TEST_CLIENT_H_
