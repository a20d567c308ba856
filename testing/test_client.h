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

class TestClient {
 public:
  TestClient() = default;
  ~TestClient();
  TestClient(const TestClient&) = delete;
  TestClient& operator=(const TestClient&) = delete;

  // Connects to 127.0.0.1:port. False after `timeout_ms` or on refusal.
  bool Connect(uint16_t port, int timeout_ms = 3000);
  void Close();
  // Closes with a reset (SO_LINGER 0) instead of an orderly end.
  bool Reset();
  bool connected() const { return fd_ >= 0; }

  // Writes all bytes; false when the connection failed.
  bool SendBytes(const void* data, size_t len);
  // Sends a request header (fresh tag) and `payload`.
  bool SendRequest(uint16_t code, const uint8_t* payload, size_t len);
  bool SendRequest(uint16_t code, const std::vector<uint8_t>& payload) {
    return SendRequest(code, payload.data(), payload.size());
  }
  // Reads one reply: the 28-byte header, then the payload it announces.
  bool ReadReply(Reply* reply, int timeout_ms = 10000);
  // SendRequest, ReadReply, and checks the reply echoes code and tag and is
  // marked as a reply. False on any mismatch or transport failure.
  bool Exchange(uint16_t code, const std::vector<uint8_t>& payload, Reply* reply);

  // True when the server closes the connection (end of stream or reset)
  // within `timeout_ms`; bytes that arrive first are discarded.
  bool WaitClosed(int timeout_ms);
  // True when nothing arrives and the connection stays open for `ms`.
  bool StaysQuiet(int ms);

  // Shortcuts for the common exchanges; each returns the reply's result, or
  // 0xFFFFFFFF when the exchange itself failed.
  uint32_t OpenSession();
  uint32_t Heartbeat();
  uint32_t CloseSession();
  uint32_t Register(std::string_view name, std::string_view password);
  uint32_t Login(std::string_view name, std::string_view password);
  // Opens `path` (relative to the home); *handle receives the server handle.
  uint32_t CreateFile(std::string_view path, uint32_t access, uint32_t share, uint32_t disposition,
                      uint32_t* handle);
  uint32_t CloseFile(uint32_t handle);

  uint32_t last_tag() const { return tag_; }

 private:
  bool ReadExact(uint8_t* out, size_t len, int timeout_ms);

  int fd_ = -1;
  uint32_t tag_ = 0x1000;
};

// What Exchange returns when no reply came.
inline constexpr uint32_t kExchangeFailed = 0xFFFFFFFFu;

}  // namespace tervane::testing

#endif  // TERVANE_TESTING_TEST_CLIENT_H_
