#include "testing/fake_listing.h"

#include "shared/protocol/byte_order.h"

namespace tervane::testing {

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
  Bytes records;
  uint32_t count = 0;
  size_t i = *next;
  size_t used = 8;
  for (; i < entries_.size(); ++i) {
    const Entry& e = entries_[i];
    if (used + e.name.size() + 11 > capacity) break;
    records.U16(static_cast<uint16_t>(e.name.size()))
        .U32(e.is_directory ? 1 : 0)
        .U32(i + 1 == entries_.size() ? 1 : 0)
        .Str(e.name)
        .Zero();
    used += e.name.size() + 11;
    ++count;
  }
  // A chunk with records moves on; one without keeps the position (the entry
  // that does not fit ends the listing for the client).
  *next = i == entries_.size() ? 0 : i;
  return Bytes().U32(count).U32(static_cast<uint32_t>(records.get().size())).Raw(records.get());
}

FakePeer::Answer FakeListing::Answer(const FakePeer::Request& request) {
  const uint32_t capacity = LoadU32(request.payload.data() + 2);
  MutexLock hold(&mu_);
  std::vector<uint8_t> chunk = NextChunk(capacity, &next_);
  sent_.push_back(chunk);
  return FakePeer::Answer{FakePeer::Reply(request, 0, chunk)};
}

std::vector<std::vector<uint8_t>> FakeListing::Chunks() const {
  MutexLock hold(&mu_);
  return sent_;
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
