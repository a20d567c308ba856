// Test-only: a fake peer's directory listing, chunked the way the real
// server packs it: as many whole records as fit the capacity the request
// names, the position kept between requests, the last record flagged. Its
// Answer is called from a FakePeer script. Thread-safe.
#ifndef TERVANE_TESTING_FAKE_LISTING_H_
#define TERVANE_TESTING_FAKE_LISTING_H_

#include <cstdint>
#include <string>
#include <vector>

#include "shared/platform/mutex.h"
#include "testing/fake_peer.h"

namespace tervane::testing {

class FakeListing {
 public:
  struct Entry {
    std::string name;
    bool is_directory = false;
  };
  explicit FakeListing(std::vector<Entry> entries) : entries_(std::move(entries)) {}

  // `count` entries named "<prefix>NNNN" padded to `name_length` bytes.
  static std::vector<Entry> Numbered(size_t count, size_t name_length, const std::string& prefix = "f");

  // The reply to an OP_LIST_DIRECTORY request.
  FakePeer::Answer Answer(const FakePeer::Request& request);

  // Every reply payload sent so far, in order.
  std::vector<std::vector<uint8_t>> Chunks() const;

  // The bytes of one complete listing: all chunks of a pass back to back.
  std::vector<uint8_t> WholeListing(uint32_t capacity) const;

 private:
  std::vector<uint8_t> NextChunk(uint32_t capacity, size_t* next) const;

  const std::vector<Entry> entries_;
  mutable Mutex mu_;
  size_t next_ GUARDED_BY(mu_) = 0;
  std::vector<std::vector<uint8_t>> sent_ GUARDED_BY(mu_);
};

}  // namespace tervane::testing

#endif  // TERVANE_TESTING_FAKE_LISTING_H_
