// Request codes, the server's request states, and the protocol's size limits.
#ifndef TERVANE_SHARED_PROTOCOL_OP_CODES_H_
#define TERVANE_SHARED_PROTOCOL_OP_CODES_H_

#include <cstddef>
#include <cstdint>

namespace tervane {

// Session requests: header only, answered at once.
inline constexpr uint16_t OP_OPEN_SESSION = 0x100;
inline constexpr uint16_t OP_CLOSE_SESSION = 0x101;
inline constexpr uint16_t OP_HEARTBEAT = 0x309;
// Requests with a payload.
inline constexpr uint16_t OP_CREATE_FILE = 0x200;
inline constexpr uint16_t OP_READ_FILE = 0x201;
inline constexpr uint16_t OP_WRITE_FILE = 0x202;
inline constexpr uint16_t OP_DELETE_FILE = 0x203;
inline constexpr uint16_t OP_GET_FILE_SIZE = 0x204;
inline constexpr uint16_t OP_GET_FILE_TIME = 0x205;
inline constexpr uint16_t OP_GET_FILE_ATTRIBUTES = 0x206;
inline constexpr uint16_t OP_SET_FILE_SIZE = 0x207;
inline constexpr uint16_t OP_SET_FILE_TIME = 0x208;
inline constexpr uint16_t OP_SET_FILE_ATTRIBUTES = 0x209;
inline constexpr uint16_t OP_CLOSE_FILE = 0x20a;
inline constexpr uint16_t OP_SET_SPARSE = 0x20b;
inline constexpr uint16_t OP_CREATE_DIRECTORY = 0x300;
inline constexpr uint16_t OP_REMOVE_DIRECTORY = 0x301;
inline constexpr uint16_t OP_QUERY_DIRECTORY = 0x302;
inline constexpr uint16_t OP_REGISTER_USER = 0x303;
inline constexpr uint16_t OP_LOGIN = 0x304;
inline constexpr uint16_t OP_GET_SPACE_INFO = 0x305;
inline constexpr uint16_t OP_LIST_DIRECTORY = 0x306;
inline constexpr uint16_t OP_RENAME = 0x307;
inline constexpr uint16_t OP_SET_SPACE_INFO = 0x308;

// The server's number for a request in progress on a connection.
using RequestState = uint16_t;
inline constexpr RequestState STAGE_NOT_MAPPED = 0;  // session or unknown code
inline constexpr RequestState STAGE_HEADER = 1;
inline constexpr RequestState STAGE_CREATE_FILE = 2;
inline constexpr RequestState STAGE_READ_FILE = 3;
inline constexpr RequestState STAGE_WRITE_FILE = 4;
inline constexpr RequestState STAGE_DELETE_FILE = 5;
inline constexpr RequestState STAGE_GET_FILE_SIZE = 6;
inline constexpr RequestState STAGE_GET_FILE_TIME = 7;
inline constexpr RequestState STAGE_GET_FILE_ATTRIBUTES = 8;
inline constexpr RequestState STAGE_SET_FILE_SIZE = 9;
inline constexpr RequestState STAGE_SET_FILE_TIME = 10;
inline constexpr RequestState STAGE_SET_FILE_ATTRIBUTES = 11;
inline constexpr RequestState STAGE_CLOSE_FILE = 12;
inline constexpr RequestState STAGE_CREATE_DIRECTORY = 13;
inline constexpr RequestState STAGE_REMOVE_DIRECTORY = 14;
inline constexpr RequestState STAGE_QUERY_DIRECTORY = 15;
inline constexpr RequestState STAGE_SET_SPARSE = 16;
inline constexpr RequestState STAGE_REGISTER_USER = 17;
inline constexpr RequestState STAGE_LOGIN = 18;
inline constexpr RequestState STAGE_GET_SPACE_INFO = 19;
inline constexpr RequestState STAGE_LIST_DIRECTORY = 20;
inline constexpr RequestState STAGE_RENAME = 21;
inline constexpr RequestState STAGE_SET_SPACE_INFO = 22;
inline constexpr RequestState STAGE_REPLY = 32;

// The request state of a code with a payload; STAGE_NOT_MAPPED (0) for the
// session codes and every unknown code.
RequestState MapRequestCode(uint16_t code);

// Sizes fixed by the protocol.
inline constexpr size_t kHeaderSize = 28;
inline constexpr size_t kFrameBufferSize = 65792;                     // one frame, header included
inline constexpr size_t kMaxPayload = kFrameBufferSize - kHeaderSize;  // 65764
inline constexpr size_t kMaxDataPiece = 0x10000;                       // bytes per read or write request
inline constexpr size_t kDataRequestFixed = 20;                        // handle, 0, offset, count
inline constexpr size_t kPathRequestLimit = 300;                       // whole request carrying a name
inline constexpr size_t kListingCapacity = kPathRequestLimit - kHeaderSize;  // 272
inline constexpr size_t kListingHeaderSize = 8;
inline constexpr size_t kListingRecordFixed = 11;  // u16 length, u32 directory, u32 last, then name and zero
inline constexpr uint16_t kProtocolVersion = 0x0101;
inline constexpr uint8_t kDirectionRequest = 1;
inline constexpr uint8_t kDirectionReply = 2;
inline constexpr uint16_t kDefaultPort = 9527;

// The largest write request, header and data, fits one frame buffer.
static_assert(kHeaderSize + kDataRequestFixed + kMaxDataPiece <= kFrameBufferSize);

}  // namespace tervane

#endif  // TERVANE_SHARED_PROTOCOL_OP_CODES_H_
