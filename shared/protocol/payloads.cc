#include "shared/protocol/payloads.h"

#include <cstring>

#include "shared/protocol/byte_order.h"
#include "shared/protocol/op_codes.h"

namespace tervane {
namespace {

// Copies `s` and its zero to out[at..); false when it does not fit in cap.
bool PutString(std::string_view s, uint8_t* out, size_t at, size_t cap) {
  if (at > cap || s.size() + 1 > cap - at) return false;
  std::memcpy(out + at, s.data(), s.size());
  out[at + s.size()] = 0;
  return true;
}

// The zero-terminated string at p[at..len); false when there is no zero.
bool GetString(const uint8_t* p, size_t len, size_t at, std::string_view* s, size_t* next = nullptr) {
  if (at >= len) return false;
  const void* zero = std::memchr(p + at, 0, len - at);
  if (zero == nullptr) return false;
  size_t n = static_cast<size_t>(static_cast<const uint8_t*>(zero) - (p + at));
  *s = std::string_view(reinterpret_cast<const char*>(p + at), n);
  if (next) *next = at + n + 1;
  return true;
}

}  // namespace

size_t EncodeCreateFileRequest(const CreateFileRequest& r, uint8_t* out, size_t cap) {
  if (cap < 20 || r.path.size() + 1 > 0xFFFF || !PutString(r.path, out, 20, cap)) return 0;
  StoreU32(out, r.desired_access);
  StoreU32(out + 4, r.share_mode);
  StoreU32(out + 8, r.creation_disposition);
  StoreU32(out + 12, r.flags_and_attributes);
  StoreU16(out + 16, static_cast<uint16_t>(r.path.size() + 1));
  StoreU16(out + 18, 0);
  return 20 + r.path.size() + 1;
}

bool DecodeCreateFileRequest(const uint8_t* p, size_t len, CreateFileRequest* r) {
  if (len < 20 || !GetString(p, len, 20, &r->path)) return false;
  r->desired_access = LoadU32(p);
  r->share_mode = LoadU32(p + 4);
  r->creation_disposition = LoadU32(p + 8);
  r->flags_and_attributes = LoadU32(p + 12);
  return true;
}

void EncodeDataRequestFields(const DataRequest& r, uint8_t* out) {
  StoreU32(out, r.handle);
  StoreU32(out + 4, 0);
  StoreU64(out + 8, r.offset);
  StoreU32(out + 16, r.count);
}

bool DecodeReadRequest(const uint8_t* p, size_t len, DataRequest* r) {
  if (len < kDataRequestFixed) return false;
  r->handle = LoadU32(p);
  r->offset = LoadU64(p + 8);
  r->count = LoadU32(p + 16);
  r->data = nullptr;
  return true;
}

bool DecodeWriteRequest(const uint8_t* p, size_t len, DataRequest* r) {
  if (!DecodeReadRequest(p, len, r)) return false;
  if (r->count > len - kDataRequestFixed) return false;
  r->data = p + kDataRequestFixed;
  return true;
}

size_t EncodePathRequest(std::string_view path, uint8_t* out, size_t cap) {
  if (cap < 4 || path.size() + 1 > 0xFFFF || !PutString(path, out, 4, cap)) return 0;
  StoreU16(out, static_cast<uint16_t>(path.size() + 1));
  StoreU16(out + 2, 0);
  return 4 + path.size() + 1;
}

bool DecodePathRequest(const uint8_t* p, size_t len, std::string_view* path) {
  return len >= 4 && GetString(p, len, 4, path);
}

size_t EncodeHandleRequest(uint32_t handle, uint8_t* out, size_t cap) {
  if (cap < 8) return 0;
  StoreU32(out, handle);
  StoreU32(out + 4, 0);
  return 8;
}

size_t EncodeSparseRequest(uint32_t handle, uint8_t* out, size_t cap) {
  if (cap < 4) return 0;
  StoreU32(out, handle);
  return 4;
}

bool DecodeHandleRequest(const uint8_t* p, size_t len, uint32_t* handle) {
  if (len < 4) return false;
  *handle = LoadU32(p);
  return true;
}

size_t EncodeSetFileSizeRequest(uint32_t handle, uint64_t size, uint8_t* out, size_t cap) {
  if (cap < 16) return 0;
  StoreU32(out, handle);
  StoreU32(out + 4, 0);
  StoreU64(out + 8, size);
  return 16;
}

bool DecodeSetFileSizeRequest(const uint8_t* p, size_t len, uint32_t* handle, uint64_t* size) {
  if (len < 16) return false;
  *handle = LoadU32(p);
  *size = LoadU64(p + 8);
  return true;
}

size_t EncodeSetFileTimeRequest(uint32_t handle, const FileTimes& t, uint8_t* out, size_t cap) {
  if (cap < 32) return 0;
  StoreU32(out, handle);
  StoreU32(out + 4, 0);
  EncodeFileTimesReply(t, out + 8, 24);
  return 32;
}

bool DecodeSetFileTimeRequest(const uint8_t* p, size_t len, uint32_t* handle, FileTimes* t) {
  if (len < 32) return false;
  *handle = LoadU32(p);
  return DecodeFileTimesReply(p + 8, 24, t);
}

size_t EncodeFileTimesReply(const FileTimes& t, uint8_t* out, size_t cap) {
  if (cap < 24) return 0;
  StoreU64(out, t.creation);
  StoreU64(out + 8, t.last_access);
  StoreU64(out + 16, t.last_write);
  return 24;
}

bool DecodeFileTimesReply(const uint8_t* p, size_t len, FileTimes* t) {
  if (len < 24) return false;
  t->creation = LoadU64(p);
  t->last_access = LoadU64(p + 8);
  t->last_write = LoadU64(p + 16);
  return true;
}

size_t EncodeSetAttributesRequest(uint32_t attributes, std::string_view path, uint8_t* out, size_t cap) {
  if (cap < 8 || path.size() + 1 > 0xFFFF || !PutString(path, out, 8, cap)) return 0;
  StoreU32(out, attributes);
  StoreU16(out + 4, static_cast<uint16_t>(path.size() + 1));
  StoreU16(out + 6, 0);
  return 8 + path.size() + 1;
}

bool DecodeSetAttributesRequest(const uint8_t* p, size_t len, uint32_t* attributes, std::string_view* path) {
  if (len < 8 || !GetString(p, len, 8, path)) return false;
  *attributes = LoadU32(p);
  return true;
}

size_t EncodeTwoStringRequest(std::string_view first, std::string_view second, uint8_t* out, size_t cap) {
  if (cap < 4 || first.size() > 0xFFFF || second.size() > 0xFFFF) return 0;
  if (!PutString(first, out, 4, cap) || !PutString(second, out, 4 + first.size() + 1, cap)) return 0;
  StoreU16(out, static_cast<uint16_t>(first.size()));
  StoreU16(out + 2, static_cast<uint16_t>(second.size()));
  return 4 + first.size() + 1 + second.size() + 1;
}

bool DecodeTwoStringRequest(const uint8_t* p, size_t len, std::string_view* first, std::string_view* second) {
  size_t next = 0;
  return len >= 4 && GetString(p, len, 4, first, &next) && GetString(p, len, next, second);
}

size_t EncodeSpaceInfo(uint32_t space_left, uint32_t files_left, uint8_t* out, size_t cap) {
  if (cap < 8) return 0;
  StoreU32(out, space_left);
  StoreU32(out + 4, files_left);
  return 8;
}

bool DecodeSpaceInfo(const uint8_t* p, size_t len, uint32_t* space_left, uint32_t* files_left) {
  if (len < 8) return false;
  *space_left = LoadU32(p);
  *files_left = LoadU32(p + 4);
  return true;
}

size_t EncodeListDirectoryRequest(std::string_view name, uint32_t capacity, uint8_t* out, size_t cap) {
  if (cap < 6 || name.size() > 0xFFFF || !PutString(name, out, 6, cap)) return 0;
  StoreU16(out, static_cast<uint16_t>(name.size()));
  StoreU32(out + 2, capacity);
  return 6 + name.size() + 1;
}

bool DecodeListDirectoryRequest(const uint8_t* p, size_t len, std::string_view* name, uint32_t* capacity) {
  if (len < 6 || !GetString(p, len, 6, name)) return false;
  *capacity = LoadU32(p + 2);
  return true;
}

bool DecodeU32Reply(const uint8_t* p, size_t len, uint32_t* value) {
  if (len < 4) return false;
  *value = LoadU32(p);
  return true;
}

bool DecodeU64Reply(const uint8_t* p, size_t len, uint64_t* value) {
  if (len < 8) return false;
  *value = LoadU64(p);
  return true;
}

void EncodeListingHeader(const ListingHeader& h, uint8_t* out) {
  StoreU32(out, h.count);
  StoreU32(out + 4, h.records_length);
}

bool DecodeListingHeader(const uint8_t* p, size_t len, ListingHeader* h) {
  if (len < kListingHeaderSize) return false;
  h->count = LoadU32(p);
  h->records_length = LoadU32(p + 4);
  return true;
}

size_t EncodeListingRecord(const ListingRecord& r, uint8_t* out, size_t cap) {
  size_t size = kListingRecordFixed + r.name.size();
  if (r.name.size() > 0xFFFF || size > cap) return 0;
  StoreU16(out, static_cast<uint16_t>(r.name.size()));
  StoreU32(out + 2, r.is_directory ? 1 : 0);
  StoreU32(out + 6, r.is_last ? 1 : 0);
  std::memcpy(out + 10, r.name.data(), r.name.size());
  out[10 + r.name.size()] = 0;
  return size;
}

bool DecodeListingRecord(const uint8_t* p, size_t len, ListingRecord* r, size_t* size) {
  if (len < kListingRecordFixed) return false;
  size_t name_len = LoadU16(p);
  if (name_len > len - kListingRecordFixed || p[10 + name_len] != 0) return false;
  r->is_directory = LoadU32(p + 2) != 0;
  r->is_last = LoadU32(p + 6) == 1;
  r->name = std::string_view(reinterpret_cast<const char*>(p + 10), name_len);
  *size = kListingRecordFixed + name_len;
  return true;
}

}  // namespace tervane
