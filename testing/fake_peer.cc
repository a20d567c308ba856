#include "testing/fake_peer.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "shared/protocol/byte_order.h"
#include "shared/protocol/op_codes.h"
#include "testing/child_process.h"
#include "testing/loopback.h"
#include "testing/temp_dir.h"

namespace tervane::testing {

size_t OpenDescriptorCount() { return ListDir("/proc/self/fd").size() - 1; }  // less the listing's own

bool TagTakenBetween(uint32_t tag, uint32_t before, uint32_t after) {
  return static_cast<uint32_t>(tag - before) <= static_cast<uint32_t>(after - before);
}

FakePeer::FakePeer(Script script) : FakePeer(std::move(script), Options()) {}

FakePeer::FakePeer(Script script, Options options) : script_(std::move(script)), options_(options) {
  listen_fd_ = BindLoopback(&port_, 4, options_.socket_buffer);
  if (listen_fd_ < 0) {
    std::perror("fake peer: cannot listen on 127.0.0.1");
    std::abort();
  }
  thread_ = std::thread([this] { Serve(); });
}

FakePeer::~FakePeer() {
  stop_ = true;
  thread_.join();
  ::close(listen_fd_);
}

void FakePeer::Serve() {
  for (size_t index = 0; !stop_;) {
    pollfd pfd{listen_fd_, POLLIN, 0};
    const int fd = ::poll(&pfd, 1, 50) == 1 ? ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC) : -1;
    if (fd < 0) continue;
    NoDelay(fd);
    client_closed_ = false;
    ServeConnection(fd, index++);
    ::close(fd);
  }
}

void FakePeer::ServeConnection(int fd, size_t index) {
  const auto stopping = [this] { return stop_.load(); };
  Received got = Received::kAll;
  for (;;) {
    Request request;
    request.connection = index;
    request.bytes.resize(kHeaderSize);
    if ((got = RecvAll(fd, request.bytes.data(), kHeaderSize, stopping)) != Received::kAll) break;
    request.header = DecodeFrameHeader(request.bytes.data());
    // Session requests and unknown codes carry no payload, as the server reads them.
    if (MapRequestCode(request.header.code) != STAGE_NOT_MAPPED) {
      const uint32_t length = request.header.payload_length;
      if (length > kMaxPayload) break;  // a client fault: no test sends more
      const bool discard =
          options_.discard_write_data && request.header.code == OP_WRITE_FILE && length > kDataRequestFixed;
      request.payload.resize(discard ? kDataRequestFixed : length);
      request.discarded = length - static_cast<uint32_t>(request.payload.size());
      if ((got = RecvAll(fd, request.payload.data(), request.payload.size(), stopping)) != Received::kAll ||
          (got = RecvAll(fd, nullptr, request.discarded, stopping)) != Received::kAll) {
        break;
      }
      request.bytes.insert(request.bytes.end(), request.payload.begin(), request.payload.end());
    }
    {
      MutexLock hold(&mu_);
      requests_.push_back(request);
    }
    const Answer answer = script_(request);
    if (!SendAll(fd, answer.bytes.data(), answer.bytes.size()) || answer.close_after) break;
    if (answer.stall) {  // swallow whatever comes until the client closes or we stop
      got = RecvAll(fd, nullptr, SIZE_MAX, stopping);
      break;
    }
  }
  client_closed_ = got == Received::kClosed;
}

FakePeer::Script FakePeer::Answering(Handler handler) {
  return [handler = std::move(handler)](const Request& request) {
    std::vector<uint8_t> reply;
    const uint32_t result = handler(request, &reply);
    if (result == kCloseConnection) return Answer{{}, true, false};
    return Answer{Reply(request, result, result == 0 ? reply : std::vector<uint8_t>())};
  };
}

std::vector<FakePeer::Request> FakePeer::Requests() const {
  MutexLock hold(&mu_);
  return requests_;
}

std::vector<uint16_t> FakePeer::Codes() const {
  std::vector<uint16_t> codes;
  for (const Request& r : Requests()) codes.push_back(r.header.code);
  return codes;
}

size_t FakePeer::CountOf(uint16_t code) const { return static_cast<size_t>(std::ranges::count(Codes(), code)); }

bool FakePeer::WaitForClientClose(int timeout_ms) const {
  for (const int64_t until = NowMs() + timeout_ms; !client_closed_ && NowMs() < until;) ::usleep(10000);
  return client_closed_;
}

std::vector<uint8_t> FakePeer::Reply(const Request& request, uint32_t result, const std::vector<uint8_t>& payload) {
  return ReplyAnnouncing(request, result, static_cast<uint32_t>(payload.size()), payload);
}

std::vector<uint8_t> FakePeer::ReplyAnnouncing(const Request& request, uint32_t result, uint32_t announced,
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
  return {Reply(request, 0, request.header.code == OP_OPEN_SESSION ? Bytes().U32(0x11223344) : Bytes())};
}

std::vector<FakeListing::Entry> FakeListing::Numbered(size_t count, size_t name_length,
                                                          const std::string& prefix) {
  std::vector<Entry> out;
  for (size_t i = 0; i < count; ++i) {
    std::string name = prefix + std::to_string(i);
    name.resize(std::max(name_length, name.size()), '_');
    out.push_back({name, i % 5 == 0});
  }
  return out;
}

std::vector<uint8_t> FakeListing::NextChunk(uint32_t capacity, size_t* next) const {
  // Records first, written independently of the codec under test.
  // A record is its name and 11 bytes; the chunk's two counts take 8.
  Bytes records;
  size_t i = *next;
  for (; i < entries_.size(); ++i) {
    const Entry& e = entries_[i];
    if (8 + records.get().size() + e.name.size() + 11 > capacity) break;
    records.U16(static_cast<uint16_t>(e.name.size())).U32(e.is_directory).U32(i + 1 == entries_.size());
    records.Str(e.name).Zero();
  }
  const auto count = static_cast<uint32_t>(i - *next);
  // A chunk with records moves on; one without keeps the position (the entry
  // that does not fit ends the listing for the client).
  *next = i == entries_.size() ? 0 : i;
  return Bytes().U32(count).U32(static_cast<uint32_t>(records.get().size())).Raw(records.get());
}

FakePeer::Answer FakeListing::Answer(const FakePeer::Request& request) {
  const uint32_t capacity = LoadU32(request.payload.data() + 2);
  MutexLock hold(&mu_);
  return FakePeer::Answer{FakePeer::Reply(request, 0, NextChunk(capacity, &next_))};
}

std::vector<uint8_t> FakeListing::WholeListing(uint32_t capacity) const {
  std::vector<uint8_t> out;
  size_t next = 0;
  do {
    const std::vector<uint8_t> chunk = NextChunk(capacity, &next);
    if (LoadU32(chunk.data()) == 0) break;
    out.insert(out.end(), chunk.begin(), chunk.end());
  } while (next != 0);
  return out;
}

}  // namespace tervane::testing
