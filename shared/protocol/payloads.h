// Encoders and decoders of every request and reply payload. Offsets are from
// the first byte after the header.
//
// Encoders write into out[0..cap) and return the payload length, or 0 when it
// would not fit (nothing useful is then in `out`). Decoders take the bytes
// they were given and their length; they return false, reading nothing past
// `len`, when the payload is too short for its fixed fields or a string lacks
// its terminating zero. Decoded strings point into the given bytes and
// exclude the terminator; they run to the first zero byte, whatever a length
// field says.
#ifndef TERVANE_SHARED_PROTOCOL_PAYLOADS_H_
#define TERVANE_SHARED_PROTOCOL_PAYLOADS_H_

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace tervane {

// OP_CREATE_FILE: +0 access, +4 share mode, +8 disposition, +12 flags and
// attributes, +16 u16 path length with its zero, +18 u16 0, +20 path and zero.
struct CreateFileRequest {
  uint32_t desired_access = 0;
  uint32_t share_mode = 0;
  uint32_t creation_disposition = 0;
  uint32_t flags_and_attributes = 0;
  std::string_view path;
};
size_t EncodeCreateFileRequest(const CreateFileRequest& r, uint8_t* out, size_t cap);
bool DecodeCreateFileRequest(const uint8_t* p, size_t len, CreateFileRequest* r);

// OP_READ_FILE / OP_WRITE_FILE: +0 handle, +4 0, +8 u64 offset, +16 count;
// a write's data follows at +20.
struct DataRequest {
  uint32_t handle = 0;
  uint64_t offset = 0;
  uint32_t count = 0;
  const uint8_t* data = nullptr;  // decoded writes only: `count` bytes
};
// Writes the 20 fixed bytes (a write's data is the caller's to place at +20).
void EncodeDataRequestFields(const DataRequest& r, uint8_t* out);
bool DecodeReadRequest(const uint8_t* p, size_t len, DataRequest* r);
// Also refuses a count larger than the data that follows the fixed fields.
bool DecodeWriteRequest(const uint8_t* p, size_t len, DataRequest* r);

// OP_DELETE_FILE, OP_GET_FILE_ATTRIBUTES, OP_CREATE_DIRECTORY,
// OP_REMOVE_DIRECTORY: +0 u16 path length with its zero, +2 u16 0, +4 path and zero.
size_t EncodePathRequest(std::string_view path, uint8_t* out, size_t cap);
bool DecodePathRequest(const uint8_t* p, size_t len, std::string_view* path);

// OP_GET_FILE_SIZE, OP_GET_FILE_TIME, OP_CLOSE_FILE: +0 handle, +4 0 (8 bytes).
// OP_SET_SPARSE carries the handle alone (4 bytes).
size_t EncodeHandleRequest(uint32_t handle, uint8_t* out, size_t cap);
size_t EncodeSparseRequest(uint32_t handle, uint8_t* out, size_t cap);
bool DecodeHandleRequest(const uint8_t* p, size_t len, uint32_t* handle);  // needs 4 bytes

// OP_SET_FILE_SIZE: +0 handle, +4 0, +8 u64 new end of file (16 bytes).
size_t EncodeSetFileSizeRequest(uint32_t handle, uint64_t size, uint8_t* out, size_t cap);
bool DecodeSetFileSizeRequest(const uint8_t* p, size_t len, uint32_t* handle, uint64_t* size);

// OP_SET_FILE_TIME: +0 handle, +4 0, +8 creation, +16 last access, +24 last
// write (FILETIMEs; 0 leaves that time unchanged). Also the 24-byte reply of
// OP_GET_FILE_TIME holds the three times in that order.
struct FileTimes {
  uint64_t creation = 0;
  uint64_t last_access = 0;
  uint64_t last_write = 0;
};
size_t EncodeSetFileTimeRequest(uint32_t handle, const FileTimes& t, uint8_t* out, size_t cap);
bool DecodeSetFileTimeRequest(const uint8_t* p, size_t len, uint32_t* handle, FileTimes* t);
size_t EncodeFileTimesReply(const FileTimes& t, uint8_t* out, size_t cap);
bool DecodeFileTimesReply(const uint8_t* p, size_t len, FileTimes* t);

// OP_SET_FILE_ATTRIBUTES: +0 attributes, +4 u16 path length with its zero,
// +6 u16 0, +8 path and zero.
size_t EncodeSetAttributesRequest(uint32_t attributes, std::string_view path, uint8_t* out, size_t cap);
bool DecodeSetAttributesRequest(const uint8_t* p, size_t len, uint32_t* attributes, std::string_view* path);

// OP_REGISTER_USER, OP_LOGIN (name, password digest) and OP_RENAME (old
// name, new name): +0 u16 first length, +2 u16 second length (both without
// zero), +4 first and zero, then second and zero.
size_t EncodeTwoStringRequest(std::string_view first, std::string_view second, uint8_t* out, size_t cap);
bool DecodeTwoStringRequest(const uint8_t* p, size_t len, std::string_view* first, std::string_view* second);

// OP_GET_SPACE_INFO / OP_SET_SPACE_INFO and the space reply: +0 space left
// in bytes, +4 files left.
size_t EncodeSpaceInfo(uint32_t space_left, uint32_t files_left, uint8_t* out, size_t cap);
bool DecodeSpaceInfo(const uint8_t* p, size_t len, uint32_t* space_left, uint32_t* files_left);

// OP_LIST_DIRECTORY: +0 u16 name length without zero, +2 u32 largest reply
// payload the client accepts, +6 name and zero.
size_t EncodeListDirectoryRequest(std::string_view name, uint32_t capacity, uint8_t* out, size_t cap);
bool DecodeListDirectoryRequest(const uint8_t* p, size_t len, std::string_view* name, uint32_t* capacity);

// Fixed replies: OP_OPEN_SESSION (u32 tick), OP_CREATE_FILE (u32 handle, then
// the request's share-mode bytes), OP_GET_FILE_SIZE (u64),
// OP_GET_FILE_ATTRIBUTES (u32).
bool DecodeU32Reply(const uint8_t* p, size_t len, uint32_t* value);
bool DecodeU64Reply(const uint8_t* p, size_t len, uint64_t* value);

// Listing chunks: a ListingHeader (u32 record count, u32 byte length of the
// records) and that many ListingRecords (u16 name length L, u32 directory
// flag, u32 last-record flag, L name bytes and a zero).
struct ListingHeader {
  uint32_t count = 0;
  uint32_t records_length = 0;
};
struct ListingRecord {
  bool is_directory = false;
  bool is_last = false;
  std::string_view name;  // wire bytes (GB18030), without the zero
};
void EncodeListingHeader(const ListingHeader& h, uint8_t* out);
bool DecodeListingHeader(const uint8_t* p, size_t len, ListingHeader* h);
// Writes one record at out[0..cap); returns its size (L + 11) or 0 when it
// does not fit.
size_t EncodeListingRecord(const ListingRecord& r, uint8_t* out, size_t cap);
// Reads the record at p[0..len); *size receives L + 11. Refuses a record whose
// name runs past `len` or is not followed by its zero.
bool DecodeListingRecord(const uint8_t* p, size_t len, ListingRecord* r, size_t* size);

}  // namespace tervane

#endif  // TERVANE_SHARED_PROTOCOL_PAYLOADS_H_
