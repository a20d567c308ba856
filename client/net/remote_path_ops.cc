#include "client/net/remote_path_ops.h"

#include "client/net/exchange.h"
#include "shared/platform/win_error.h"
#include "shared/protocol/payloads.h"

namespace tervane {
namespace {

bool HoldsZero(std::string_view s) { return s.find('\0') != std::string_view::npos; }

// One exchange in a 300-byte frame whose payload the caller has encoded at
// frame + 28; `payload` 0 from an encoder means the request did not fit.
Result SmallExchange(RemoteSession* session, uint16_t code, uint8_t* frame, size_t payload,
                     size_t reply_capacity, uint32_t* reply_length) {
  if (payload == 0) return ERROR_FILENAME_EXCED_RANGE;
  MutexLock hold(&session->lock);
  return ExchangeInFrame(session, code, frame, static_cast<uint32_t>(payload), reply_capacity,
                         reply_length);
}

// The requests that carry one path and get no payload back.
Result PathOnly(RemoteSession* session, uint16_t code, std::string_view path) {
  if (session == nullptr) return ERROR_INVALID_PARAMETER;
  if (HoldsZero(path)) return ERROR_INVALID_NAME;
  uint8_t frame[kSmallFrameSize] = {};
  const size_t payload = EncodePathRequest(path, frame + kHeaderSize, kSmallReplyRoom);
  uint32_t length = 0;
  return SmallExchange(session, code, frame, payload, 0, &length);
}

Result TwoStrings(RemoteSession* session, uint16_t code, std::string_view first,
                    std::string_view second) {
  if (session == nullptr) return ERROR_INVALID_PARAMETER;
  if (HoldsZero(first) || HoldsZero(second)) return ERROR_INVALID_NAME;
  uint8_t frame[kSmallFrameSize] = {};
  const size_t payload = EncodeTwoStringRequest(first, second, frame + kHeaderSize, kSmallReplyRoom);
  uint32_t length = 0;
  return SmallExchange(session, code, frame, payload, 0, &length);
}

}  // namespace

Result KOVA_DeleteFile(RemoteSession* session, std::string_view path) {
  return PathOnly(session, OP_DELETE_FILE, path);
}

Result KOVA_CreateDirectory(RemoteSession* session, std::string_view path) {
  return PathOnly(session, OP_CREATE_DIRECTORY, path);
}

Result KOVA_RemoveDirectory(RemoteSession* session, std::string_view path) {
  return PathOnly(session, OP_REMOVE_DIRECTORY, path);
}

Result KOVA_GetFileAttributes(RemoteSession* session, std::string_view path, uint32_t* attributes) {
  if (session == nullptr || attributes == nullptr) return ERROR_INVALID_PARAMETER;
  if (HoldsZero(path)) return ERROR_INVALID_NAME;
  uint8_t frame[kSmallFrameSize] = {};
  const size_t payload = EncodePathRequest(path, frame + kHeaderSize, kSmallReplyRoom);
  uint32_t length = 0;
  const Result rc = SmallExchange(session, OP_GET_FILE_ATTRIBUTES, frame, payload, kSmallReplyRoom, &length);
  if (!rc.ok()) return rc;
  uint32_t value = 0;
  if (!DecodeU32Reply(frame + kHeaderSize, length, &value)) return ERROR_INVALID_DATA;
  *attributes = value;
  return 0;
}

Result KOVA_SetFileAttributes(RemoteSession* session, std::string_view path, uint32_t attributes) {
  if (session == nullptr) return ERROR_INVALID_PARAMETER;
  if (HoldsZero(path)) return ERROR_INVALID_NAME;
  uint8_t frame[kSmallFrameSize] = {};
  const size_t payload = EncodeSetAttributesRequest(attributes, path, frame + kHeaderSize, kSmallReplyRoom);
  uint32_t length = 0;
  return SmallExchange(session, OP_SET_FILE_ATTRIBUTES, frame, payload, 0, &length);
}

Result KOVA_RegisterUser(RemoteSession* session, std::string_view user_name,
                           std::string_view password_digest) {
  return TwoStrings(session, OP_REGISTER_USER, user_name, password_digest);
}

Result KOVA_Login(RemoteSession* session, std::string_view user_name,
                    std::string_view password_digest) {
  return TwoStrings(session, OP_LOGIN, user_name, password_digest);
}

Result KOVA_Rename(RemoteSession* session, std::string_view old_name, std::string_view new_name) {
  return TwoStrings(session, OP_RENAME, old_name, new_name);
}

Result KOVA_GetSpaceInfo(RemoteSession* session, uint32_t* space_left, uint32_t* files_left) {
  if (session == nullptr || space_left == nullptr || files_left == nullptr) {
    return ERROR_INVALID_PARAMETER;
  }
  uint8_t frame[kSmallFrameSize] = {};
  // Eight zero bytes: a mapped request needs a payload, and the server sends
  // these same bytes back.
  const size_t payload = EncodeSpaceInfo(0, 0, frame + kHeaderSize, kSmallReplyRoom);
  uint32_t length = 0;
  const Result rc = SmallExchange(session, OP_GET_SPACE_INFO, frame, payload, kSmallReplyRoom, &length);
  if (!rc.ok()) return rc;
  uint32_t space = 0;
  uint32_t files = 0;
  if (!DecodeSpaceInfo(frame + kHeaderSize, length, &space, &files)) return ERROR_INVALID_DATA;
  *space_left = space;
  *files_left = files;
  return 0;
}

Result KOVA_SetSpaceInfo(RemoteSession* session, uint32_t space_left, uint32_t files_left) {
  if (session == nullptr) return ERROR_INVALID_PARAMETER;
  uint8_t frame[kSmallFrameSize] = {};
  const size_t payload = EncodeSpaceInfo(space_left, files_left, frame + kHeaderSize, kSmallReplyRoom);
  uint32_t length = 0;
  return SmallExchange(session, OP_SET_SPACE_INFO, frame, payload, 0, &length);
}

Result KOVA_Heartbeat(RemoteSession* session) {
  if (session == nullptr) return ERROR_INVALID_PARAMETER;
  uint8_t frame[kSmallFrameSize] = {};
  uint32_t length = 0;
  MutexLock hold(&session->lock);
  return ExchangeInFrame(session, OP_HEARTBEAT, frame, 0, 0, &length);
}

}  // namespace tervane
