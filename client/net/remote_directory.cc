#include "client/net/remote_directory.h"

#include <cstring>
#include <limits>

#include "client/net/exchange.h"
#include "shared/platform/tick.h"
#include "shared/platform/win_error.h"
#include "shared/protocol/payloads.h"

namespace tervane {
namespace {

// Checks that the records of a chunk are exactly `count` whole records filling
// `length` bytes, and tells whether the last one closes the listing.
bool CheckChunkRecords(const uint8_t* records, size_t length, uint32_t count, bool* last) {
  size_t at = 0;
  ListingRecord record;
  for (uint32_t i = 0; i < count; ++i) {
    size_t size = 0;
    if (!DecodeListingRecord(records + at, length - at, &record, &size)) return false;
    at += size;
  }
  *last = record.is_last;
  return at == length;
}

}  // namespace

Result KOVA_SetCurDirectory(RemoteSession* session, std::string_view name, uint8_t* buffer, uint32_t* size) {
  if (session == nullptr || size == nullptr || (buffer == nullptr && *size != 0)) {
    return ERROR_INVALID_PARAMETER;
  }
  if (name.find('\0') != std::string_view::npos) return ERROR_INVALID_NAME;

  // The request stays intact in its own frame: every chunk is asked for by
  // sending it again unchanged, tag included.
  uint8_t request[kSmallFrameSize] = {};
  const size_t payload = EncodeListDirectoryRequest(name, static_cast<uint32_t>(kListingCapacity),
                                                    request + kHeaderSize, kSmallReplyRoom);
  if (payload == 0) return ERROR_FILENAME_EXCED_RANGE;
  const uint32_t tag = GetTickCount();
  BuildRequestHeader(request, OP_LIST_DIRECTORY, static_cast<uint32_t>(payload), tag);

  MutexLock hold(&session->lock);
  uint8_t reply[kSmallFrameSize];
  uint8_t* const chunk = reply + kHeaderSize;
  uint64_t total = 0;
  Result result;
  for (;;) {
    uint32_t length = 0;
    Result rc = SendAndReceiveHeader(session, request, kHeaderSize + payload, tag, reply, &length);
    if (!rc.ok()) return rc;
    // We asked for at most kListingCapacity bytes; more is refused unread.
    rc = ReceivePayload(session, length, chunk, kListingCapacity);
    if (!rc.ok()) return rc;
    ListingHeader header;
    if (!DecodeListingHeader(chunk, length, &header) ||
        header.records_length != length - kListingHeaderSize) {
      return ERROR_INVALID_DATA;
    }
    if (header.count == 0) {
      if (header.records_length != 0) return ERROR_INVALID_DATA;
      // An empty directory leaves the caller's size alone. A listing cut
      // short by an entry too large for a chunk still reports what it
      // collected, and a miss of the caller's buffer is not lost.
      if (total != 0) *size = static_cast<uint32_t>(total);
      return result;
    }
    bool last = false;
    if (!CheckChunkRecords(chunk + kListingHeaderSize, header.records_length, header.count, &last)) {
      return ERROR_INVALID_DATA;
    }
    // Once a chunk misses the buffer every later one would too: total only grows.
    if (result.ok() && total + length <= *size) {
      std::memcpy(buffer + total, chunk, length);
    } else {
      result = ERROR_OUTOFMEMORY;
    }
    total += length;
    if (total > std::numeric_limits<uint32_t>::max()) return ERROR_INVALID_DATA;
    if (last) {
      *size = static_cast<uint32_t>(total);
      return result;
    }
  }
}

}  // namespace tervane
