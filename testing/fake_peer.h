// A scripted stand-in for the server, for tests: it listens on 127.0.0.1 on a
// port of the system's choosing, accepts connections one after another, reads
// each request frame and sends back whatever the script answers, byte for
// byte — including replies the real server never sends.
#ifndef TERVANE_TESTING_FAKE_PEER_H_
#define TERVANE_TESTING_FAKE_PEER_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string_view>
#include <thread>
#include <vector>

#include "shared/protocol/frame_header.h"

namespace tervane {

// Little-endian byte strings for expected frames.
class Bytes {
 public:
  Bytes& U8(uint8_t v);
  Bytes& U16(uint16_t v);
  Bytes& U32(uint32_t v);
  Bytes& U64(uint64_t v);
  Bytes& Str(std::string_view s);  // the bytes, no terminator
  Bytes& Zero(size_t n = 1);
  Bytes& Raw(const std::vector<uint8_t>& v);
  const std::vector<uint8_t>& get() const { return bytes_; }
  operator std::vector<uint8_t>() const { return bytes_; }

 private:
  std::vector<uint8_t> bytes_;
};

// A request header as the client must build it.
std::vector<uint8_t> RequestHeaderBytes(uint16_t code, uint32_t payload_length, uint32_t tag);

// Number of file descriptors this process has open (to see that a failed
// connect leaves no socket behind).
size_t OpenDescriptorCount();

// True when `tag` was taken between the ticks `before` and `after`.
bool TagTakenBetween(uint32_t tag, uint32_t before, uint32_t after);

class FakePeer {
 public:
  struct Request {
    std::vector<uint8_t> bytes;  // header and payload, as received
    FrameHeader header;
    size_t connection = 0;  // 0 for the first accepted connection
    const uint8_t* payload() const { return bytes.data() + kHeaderSize; }
  };
  struct Answer {
    std::vector<uint8_t> bytes;  // sent unchanged
    bool close_after = false;    // then close the connection
    bool stall = false;          // then say nothing more until the client goes
  };
  using Script = std::function<Answer(const Request&)>;

  // Starts listening and serving at once. Thread-safe accessors. A non-zero
  // `socket_buffer` sets the send and receive buffers of the connections
  // it accepts (in bytes, as SO_SNDBUF / SO_RCVBUF take them).
  explicit FakePeer(Script script, int socket_buffer = 0);
  // Stops serving and joins the thread (within about 100 ms).
  ~FakePeer();
  FakePeer(const FakePeer&) = delete;
  FakePeer& operator=(const FakePeer&) = delete;

  uint16_t port() const { return port_; }
  std::vector<Request> Requests() const;
  size_t CountOf(uint16_t code) const;
  // Waits (at most `timeout_ms`) until the current connection has been
  // closed by the client; true when it was.
  bool WaitForClientClose(int timeout_ms) const;

  // The reply to `request`: its header with direction 2, `result` and the
  // payload's length, then the payload.
  static std::vector<uint8_t> Reply(const Request& request, uint32_t result,
                                    const std::vector<uint8_t>& payload = {});
  // Same, with a header whose payload_length says `announced` whatever the
  // payload holds.
  static std::vector<uint8_t> ReplyAnnouncing(const Request& request, uint32_t result,
                                              uint32_t announced,
                                              const std::vector<uint8_t>& payload);
  // Session requests as the real server answers them (open: 4-byte tick 0x11223344).
  static Answer SessionAnswer(const Request& request);

 private:
  void Serve();
  bool ServeConnection(int fd, size_t index);  // false when stopping

  Script script_;
  int listen_fd_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<bool> client_closed_{false};
  mutable std::mutex mu_;
  std::vector<Request> requests_;  // GUARDED_BY(mu_)
  std::thread thread_;
};

}  // namespace tervane

#endif  // TERVANE_TESTING_FAKE_PEER_H_
