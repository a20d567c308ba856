// Test-only: a scripted stand-in for the server. It listens on 127.0.0.1 on
// a port of the system's choosing, accepts connections one after another,
// reads each request frame and sends back whatever the script answers, byte
// for byte, including replies the real server never sends. A script gives
// the answer's bytes (Script) or a result and reply payload (Answering).
//
// Thread-safe accessors; the script runs on the peer's own thread.
#ifndef TERVANE_TESTING_FAKE_PEER_H_
#define TERVANE_TESTING_FAKE_PEER_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <thread>
#include <vector>

#include "shared/platform/mutex.h"
#include "shared/protocol/frame_header.h"
#include "testing/test_client.h"
#include <string>

namespace tervane::testing {

class FakePeer {
 public:
  struct Request {
    std::vector<uint8_t> bytes;    // header and payload, as received
    FrameHeader header;
    std::vector<uint8_t> payload;  // a discarded write's: its fixed part only
    uint32_t discarded = 0;        // data bytes of a write dropped unread
    size_t connection = 0;         // 0 for the first accepted connection
  };
  struct Answer {
    std::vector<uint8_t> bytes;  // sent unchanged
    bool close_after = false;    // then close the connection
    bool stall = false;          // then say nothing more until the client goes
  };
  using Script = std::function<Answer(const Request&)>;
  struct Options {
    int socket_buffer = 0;            // non-zero: SO_SNDBUF / SO_RCVBUF of accepted connections
    bool discard_write_data = false;  // a write's data dropped in the kernel (tests moving gigabytes)
  };

  // Starts listening and serving at once; the destructor stops and joins
  // the thread (within about 100 ms).
  explicit FakePeer(Script script);
  FakePeer(Script script, Options options);
  ~FakePeer();
  FakePeer(const FakePeer&) = delete;
  FakePeer& operator=(const FakePeer&) = delete;

  // A Script from a handler that returns the result and fills the reply
  // payload (sent only with result 0); kCloseConnection closes instead.
  static constexpr uint32_t kCloseConnection = 0xFFFFFFFFu;
  using Handler = std::function<uint32_t(const Request& request, std::vector<uint8_t>* reply)>;
  static Script Answering(Handler handler);

  uint16_t port() const { return port_; }
  std::vector<Request> Requests() const;
  std::vector<uint16_t> Codes() const;  // request codes so far, in order
  size_t CountOf(uint16_t code) const;
  // Waits at most `timeout_ms` until the client closed the current connection.
  bool WaitForClientClose(int timeout_ms) const;

  // The reply to `request`: its header with direction 2, `result` and the
  // payload's length (ReplyAnnouncing: `announced`), then the payload.
  static std::vector<uint8_t> Reply(const Request& request, uint32_t result,
                                    const std::vector<uint8_t>& payload = {});
  static std::vector<uint8_t> ReplyAnnouncing(const Request& request, uint32_t result, uint32_t announced,
                                              const std::vector<uint8_t>& payload);
  // Session requests as the real server answers them (open: 4-byte tick 0x11223344).
  static Answer SessionAnswer(const Request& request);

 private:
  void Serve();
  void ServeConnection(int fd, size_t index);

  const Script script_;
  const Options options_;
  int listen_fd_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<bool> client_closed_{false};
  mutable Mutex mu_;
  std::vector<Request> requests_ GUARDED_BY(mu_);
  std::thread thread_;
};

// File descriptors this process has open (a failed connect leaves none behind).
size_t OpenDescriptorCount();
// True when `tag` was taken between the ticks `before` and `after`.
bool TagTakenBetween(uint32_t tag, uint32_t before, uint32_t after);

// A directory listing chunked the way the real server packs it: as many
// whole records as fit the capacity the request names, the position kept
// between requests, the last record flagged. Answer is called from a script.
class FakeListing {
 public:
  struct Entry {
    std::string name;
    bool is_directory = false;
  };
  explicit FakeListing(std::vector<Entry> entries) : entries_(std::move(entries)) {}

  // `count` entries named "<prefix>NNNN" padded to `name_length` bytes.
  static std::vector<Entry> Numbered(size_t count, size_t name_length, const std::string& prefix = "f");
  FakePeer::Answer Answer(const FakePeer::Request& request);  // to an OP_LIST_DIRECTORY request
  std::vector<uint8_t> WholeListing(uint32_t capacity) const;  // all chunks of one pass back to back

 private:
  std::vector<uint8_t> NextChunk(uint32_t capacity, size_t* next) const;

  const std::vector<Entry> entries_;
  mutable Mutex mu_;
  size_t next_ GUARDED_BY(mu_) = 0;
};

}  // namespace tervane::testing

#endif  // TERVANE_TESTING_FAKE_PEER_H_
