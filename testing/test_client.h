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
  bool connected() const { return fd_ >= 0; }

  bool SendBytes(const void* data, size_t len);  // false when the connection failed
  // A request header (fresh tag), then `payload`.
  bool SendRequest(uint16_t code, const uint8_t* payload, size_t len);
  bool SendRequest(uint16_t code, const std::vector<uint8_t>& payload) {
    return SendRequest(code, payload.data(), payload.size());
  }
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
  uint32_t Ask(uint16_t code, const std::vector<uint8_t>& payload);

  int fd_ = -1;
  uint32_t tag_ = 0x1000;
};

}  // namespace tervane::testing

#endif  // TERVANE_TESTING_TEST_CLIENT_H_
