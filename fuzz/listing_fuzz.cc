#include "fuzz/fuzz_targets.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "client/net/list_task.h"
#include "client/net/remote_directory.h"
#include "client/net/remote_session.h"
#include "fuzz/fuzz_support.h"
#include "shared/platform/win_error.h"
#include "shared/protocol/byte_order.h"
#include "shared/protocol/frame_header.h"
#include "shared/protocol/payloads.h"
#include "shared/protocol/result_codes.h"
#include "testing/test_recorders.h"

namespace tervane::fuzz {
namespace {

// All the bytes or the peer's close; no signals.
bool ReadExactly(int fd, uint8_t* out, size_t n) { return ::recv(fd, out, n, MSG_WAITALL) == static_cast<ssize_t>(n); }
bool WriteExactly(int fd, const uint8_t* in, size_t n) { return ::send(fd, in, n, MSG_NOSIGNAL) == ssize_t(n); }

// The server's side: one reply of the stream per request received.
void Answer(int fd, const uint8_t* stream, size_t size) {
  size_t at = 0;
  uint8_t request[kPathRequestLimit];
  while (at < size) {
    if (!ReadExactly(fd, request, kHeaderSize)) break;
    const uint32_t length = HeaderPayloadLength(request);
    if (length > sizeof request - kHeaderSize || !ReadExactly(fd, request + kHeaderSize, length)) break;
    uint8_t header[kHeaderSize] = {};
    const size_t header_bytes = std::min(size - at, kHeaderSize);
    std::memcpy(header, stream + at, header_bytes);
    at += header_bytes;
    if (HeaderRequestTag(header) == 0) StoreU32(header + kOffRequestTag, HeaderRequestTag(request));
    // 14 is the client's own "does not fit", which no server sends.
    if (HeaderResult(header) == ERROR_OUTOFMEMORY) StoreU32(header + kOffResult, RESULT_NO_SUCH_DIRECTORY);
    if (!WriteExactly(fd, header, header_bytes)) break;
    const size_t payload = std::min<size_t>(HeaderPayloadLength(header), size - at);
    if (!WriteExactly(fd, stream + at, payload)) break;
    at += payload;
  }
  ::shutdown(fd, SHUT_WR);
  // Drain until the client goes, so that its last request is never refused.
  uint8_t sink[512];
  while (::read(fd, sink, sizeof sink) > 0) {
  }
}

// Whole chunks of whole records, none after the record flagged as the last.
void CheckCollected(const uint8_t* buffer, uint32_t size) {
  size_t at = 0;
  bool last = false;
  while (at < size) {
    Check(!last, "chunks follow the record flagged as the last");
    ListingHeader header;
    Check(DecodeListingHeader(buffer + at, size - at, &header), "a collected chunk lacks its header");
    at += kListingHeaderSize;
    Check(header.count > 0 && header.records_length <= size - at, "a collected chunk is empty or cut");
    const size_t end = at + header.records_length;
    for (uint32_t i = 0; i < header.count; ++i) {
      ListingRecord record;
      size_t record_size = 0;
      Check(DecodeListingRecord(buffer + at, end - at, &record, &record_size), "a collected record is cut");
      at += record_size;
      last = record.is_last;
    }
    Check(at == end, "a collected chunk's records do not fill its length");
  }
}

}  // namespace

int FuzzClientListing(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const bool via_task = (data[0] & 1) != 0;
  const uint32_t capacity = LoadU16(data + 1);
  data += 3;
  size -= 3;
  int fds[2];
  Check(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0, "no socket pair");
  std::thread peer(Answer, fds[1], data, size);
  auto session = std::make_unique<RemoteSession>();
  {
    MutexLock hold(&session->lock);
    session->socket = fds[0];
  }

  if (via_task) {
    testing::RecordingStatus status;
    std::vector<uint8_t> listing;
    auto task = std::make_unique<ListTask>();
    task->directory_name = "docs";
    task->status = &status;
    task->session = session.get();
    task->listing = &listing;
    Check(RunListTask(std::move(task)) == 0, "the listing helper returned non-zero");
    if (!listing.empty()) CheckCollected(listing.data(), static_cast<uint32_t>(listing.size()));
  } else {
    // Exactly the size given: a write past it is a heap overflow.
    std::unique_ptr<uint8_t[]> buffer(capacity != 0 ? new uint8_t[capacity]() : nullptr);
    uint32_t reported = capacity;
    const Result result = KOVA_SetCurDirectory(session.get(), "docs", buffer.get(), &reported);
    if (result == 0) {
      Check(reported <= capacity, "a successful listing reports more than the buffer holds");
      if (reported != capacity || (capacity >= 4 && LoadU32(buffer.get()) != 0)) {
        CheckCollected(buffer.get(), reported);
      }
    } else if (result == ERROR_OUTOFMEMORY) {
      Check(reported > capacity, "a listing that did not fit reports a size that fits");
    }
  }

  // The library closes a connection that fell out of step; close it here otherwise.
  KOVA_AbandonConnection(session.get());
  peer.join();
  ::close(fds[1]);
  return 0;
}

}  // namespace tervane::fuzz
