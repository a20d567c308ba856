#include "server/net/request_handlers.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "server/net/server_log.h"
#include "server/store/account_manager.h"
#include "server/store/file_ops.h"
#include "server/store/file_registry.h"
#include "server/store/listing.h"
#include "server/store/store_path.h"
#include "server/store/user_account.h"
#include "shared/platform/remote_name.h"
#include "shared/platform/text_codec.h"
#include "shared/platform/win_error.h"
#include "shared/protocol/byte_order.h"
#include "shared/protocol/frame_header.h"
#include "shared/protocol/payloads.h"
#include "shared/protocol/result.h"
#include "shared/protocol/result_codes.h"

namespace tervane {
namespace {

int AsLogged(Result result) { return static_cast<int>(result.code()); }
LogKind LineKind(Result result) { return RequestLineKind(result.code()); }

// A name from the wire as a log line may show it: UTF-8, cut to the longest
// name an account can have, control characters as '?', so that no name can
// forge a line of its own. A name that does not convert shows its ASCII
// characters and '?' for every other byte.
struct LoggableName {
  explicit LoggableName(std::string_view wire) {
    // A payload that did not decode leaves no name at all (and no bytes to
    // hand the converter, which would read from a null pointer).
    if (wire.empty()) return;
    wire = wire.substr(0, std::min(wire.size(), kMaxUserNameWire));
    size_t n = 0;
    bool converted = WireToUtf8(wire, text, sizeof text, &n) == ERROR_SUCCESS;
    if (!converted) {
      n = std::min(wire.size(), sizeof text - 1);
      std::memcpy(text, wire.data(), n);
    }
    text[n] = '\0';
    for (size_t i = 0; i < n; ++i) {
      unsigned char ch = static_cast<unsigned char>(text[i]);
      if (ch < 0x20 || ch == 0x7F || (!converted && ch >= 0x80)) text[i] = '?';
    }
  }
  char text[kUserNameField] = {};
};

}  // namespace

HandlerReply RequestHandlers::Handle(RequestState stage, Session& s, Frame frame) {
  uint8_t* p = frame.payload();
  const uint32_t len = frame.payload_length();
  switch (stage) {
    case STAGE_CREATE_FILE: return CreateFile(s, p, len);
    case STAGE_READ_FILE: return ReadFile(s, p, len);
    case STAGE_WRITE_FILE: return WriteFile(s, p, len);
    case STAGE_DELETE_FILE: return DeleteFile(s, p, len);
    case STAGE_GET_FILE_SIZE: return GetFileSize(s, p, len);
    case STAGE_GET_FILE_TIME: return GetFileTime(s, p, len);
    case STAGE_GET_FILE_ATTRIBUTES: return GetFileAttributes(s, p, len);
    case STAGE_SET_FILE_SIZE: return SetFileSize(s, p, len);
    case STAGE_SET_FILE_TIME: return SetFileTime(s, p, len);
    case STAGE_SET_FILE_ATTRIBUTES: return SetFileAttributes(s, p, len);
    case STAGE_CLOSE_FILE: return CloseFile(s, p, len);
    case STAGE_CREATE_DIRECTORY: return CreateDirectory(s, p, len);
    case STAGE_REMOVE_DIRECTORY: return RemoveDirectory(s, p, len);
    case STAGE_QUERY_DIRECTORY:
      ServerLog(LogKind::kRequest, "[查询目录] Result: %d\n", 0);
      return HandlerReply{};
    case STAGE_SET_SPARSE: return SetSparse(s, p, len);
    case STAGE_REGISTER_USER: return RegisterUser(s, p, len);
    case STAGE_LOGIN: return Login(s, p, len);
    case STAGE_GET_SPACE_INFO: return GetSpaceInfo(s, p, len);
    case STAGE_LIST_DIRECTORY: return ListDirectory(s, p, len);
    case STAGE_RENAME: return Rename(s, p, len);
    case STAGE_SET_SPACE_INFO: return SetSpaceInfo(s, p, len);
    default: return HandlerReply{ERROR_INVALID_PARAMETER, 0};
  }
}

HandlerReply RequestHandlers::CreateFile(Session& s, uint8_t* p, uint32_t len) {
  HandlerReply r;
  CreateFileRequest req;
  if (!DecodeCreateFileRequest(p, len, &req)) {
    r.result = ERROR_INVALID_PARAMETER;
  } else if (req.path.size() > OpenFileTable::kMaxPathLength) {
    r.result = ERROR_FILENAME_EXCED_RANGE;
  } else {
    StorePath path;
    bool has_file = false;
    r.result = accounts_.ResolveCreatePath(s.key, req.path, &path, &has_file);
    if (r.result.ok() && has_file) {
      uint32_t handle = 0;
      r.result = files_.Open(path, req.desired_access, req.share_mode, req.creation_disposition,
                             req.flags_and_attributes, &handle);
      if (r.result.ok()) {
        const Result added = s.open_files.Add(handle, req.path, files_);
        if (!added.ok()) {
          // Closing a handle opened a moment ago cannot fail; the refusal
          // is what the client learns.
          static_cast<void>(files_.Close(handle));
          r.result = added;
        } else {
          // The handle goes over the access field; the share-mode field
          // after it stays as the request had it.
          StoreU32(p, handle);
          r.length = 8;
        }
      }
    }
  }
  ServerLog(LineKind(r.result), "[打开文件] Result: %d\n", AsLogged(r.result));
  return r;
}

HandlerReply RequestHandlers::ReadFile(Session& s, uint8_t* p, uint32_t len) {
  HandlerReply r;
  DataRequest req;
  if (!DecodeReadRequest(p, len, &req) || req.count > kMaxReadCount) {
    r.result = ERROR_INVALID_PARAMETER;
  } else if (!s.open_files.Contains(req.handle)) {
    r.result = ERROR_INVALID_HANDLE;
  } else {
    // Straight from the file into the reply payload, over the request.
    r.result = files_.ReadAt(req.handle, p, req.offset, req.count);
    if (r.result.ok()) r.length = req.count;
  }
  ServerLog(LineKind(r.result), "[读文件] Result: %d\n", AsLogged(r.result));
  return r;
}

HandlerReply RequestHandlers::WriteFile(Session& s, uint8_t* p, uint32_t len) {
  HandlerReply r;
  DataRequest req;
  if (!DecodeWriteRequest(p, len, &req)) {
    r.result = ERROR_INVALID_PARAMETER;
  } else if (!s.open_files.Contains(req.handle)) {
    r.result = ERROR_INVALID_HANDLE;
  } else {
    r.result = files_.WriteAt(req.handle, req.data, req.offset, req.count);
  }
  ServerLog(LineKind(r.result), "[写文件] Result: %d\n", AsLogged(r.result));
  return r;
}

// What a delete removed comes off the account's usage figures.
Result RequestHandlers::ReduceUsage(uint32_t key, uint32_t bytes, uint32_t files) {
  uint32_t used = 0;
  uint32_t count = 0;
  Result result = accounts_.GetUsage(key, &used, &count);
  if (result.ok()) result = accounts_.SetUsage(key, used - bytes, count - files);
  return result;
}

HandlerReply RequestHandlers::DeleteFile(Session& s, uint8_t* p, uint32_t len) {
  HandlerReply r;
  std::string_view name;
  if (!DecodePathRequest(p, len, &name)) {
    r.result = ERROR_INVALID_PARAMETER;
  } else {
    StorePath path;
    r.result = accounts_.ComposeUserPath(s.key, name, &path);
    if (r.result.ok()) {
      uint32_t size = 0;
      r.result = DeleteFileTakingSize(files_, path, &size);
      if (r.result.ok()) r.result = ReduceUsage(s.key, size, 1);
    }
  }
  ServerLog(LineKind(r.result), "[删除文件] Result: %d\n", AsLogged(r.result));
  return r;
}

HandlerReply RequestHandlers::GetFileSize(Session& s, uint8_t* p, uint32_t len) {
  HandlerReply r;
  uint32_t handle = 0;
  if (!DecodeHandleRequest(p, len, &handle)) {
    r.result = ERROR_INVALID_PARAMETER;
  } else if (!s.open_files.Contains(handle)) {
    r.result = ERROR_INVALID_HANDLE;
  } else {
    uint64_t size = 0;
    r.result = files_.GetFileSize(handle, &size);
    if (r.result.ok()) {
      StoreU64(p, size);
      r.length = 8;
    }
  }
  ServerLog(LineKind(r.result), "[得到文件大小] Result: %d\n", AsLogged(r.result));
  return r;
}

HandlerReply RequestHandlers::GetFileTime(Session& s, uint8_t* p, uint32_t len) {
  HandlerReply r;
  uint32_t handle = 0;
  if (!DecodeHandleRequest(p, len, &handle)) {
    r.result = ERROR_INVALID_PARAMETER;
  } else if (!s.open_files.Contains(handle)) {
    r.result = ERROR_INVALID_HANDLE;
  } else {
    FileTimes times;
    r.result = files_.GetFileTime(handle, &times);
    if (r.result.ok()) r.length = static_cast<uint32_t>(EncodeFileTimesReply(times, p, kMaxPayload));
  }
  ServerLog(LineKind(r.result), "[得到文件时间] Result: %d\n", AsLogged(r.result));
  return r;
}

HandlerReply RequestHandlers::GetFileAttributes(Session& s, uint8_t* p, uint32_t len) {
  HandlerReply r;
  std::string_view name;
  if (!DecodePathRequest(p, len, &name)) {
    r.result = ERROR_INVALID_PARAMETER;
  } else {
    StorePath path;
    r.result = accounts_.ComposeUserPath(s.key, name, &path);
    uint32_t attributes = 0;
    if (r.result.ok()) r.result = GetFileAttributesAt(path, &attributes);
    if (r.result.ok()) {
      StoreU32(p, attributes);
      r.length = 4;
    }
  }
  ServerLog(LineKind(r.result), "[得到文件属性] Result: %d\n", AsLogged(r.result));
  return r;
}

HandlerReply RequestHandlers::SetFileSize(Session& s, uint8_t* p, uint32_t len) {
  HandlerReply r;
  uint32_t handle = 0;
  uint64_t size = 0;
  if (!DecodeSetFileSizeRequest(p, len, &handle, &size)) {
    r.result = ERROR_INVALID_PARAMETER;
  } else if (!s.open_files.Contains(handle)) {
    r.result = ERROR_INVALID_HANDLE;
  } else {
    r.result = files_.SetEndOfFileAt(handle, size);
  }
  ServerLog(LineKind(r.result), "[设置文件大小] Result: %d\n", AsLogged(r.result));
  return r;
}

HandlerReply RequestHandlers::SetFileTime(Session& s, uint8_t* p, uint32_t len) {
  HandlerReply r;
  uint32_t handle = 0;
  FileTimes times;
  if (!DecodeSetFileTimeRequest(p, len, &handle, &times)) {
    r.result = ERROR_INVALID_PARAMETER;
  } else if (!s.open_files.Contains(handle)) {
    r.result = ERROR_INVALID_HANDLE;
  } else {
    r.result = files_.SetFileTime(handle, times);
  }
  ServerLog(LineKind(r.result), "[设置文件时间] Result: %d\n", AsLogged(r.result));
  return r;
}

HandlerReply RequestHandlers::SetFileAttributes(Session& s, uint8_t* p, uint32_t len) {
  HandlerReply r;
  uint32_t attributes = 0;
  std::string_view name;
  if (!DecodeSetAttributesRequest(p, len, &attributes, &name)) {
    r.result = ERROR_INVALID_PARAMETER;
  } else {
    StorePath path;
    r.result = accounts_.ComposeUserPath(s.key, name, &path);
    if (r.result.ok()) r.result = SetFileAttributesAt(path, attributes);
  }
  ServerLog(LineKind(r.result), "[设置文件属性] Result: %d\n", AsLogged(r.result));
  return r;
}

HandlerReply RequestHandlers::CloseFile(Session& s, uint8_t* p, uint32_t len) {
  HandlerReply r;
  uint32_t handle = 0;
  if (!DecodeHandleRequest(p, len, &handle)) {
    r.result = ERROR_INVALID_PARAMETER;
  } else {
    // Only this connection's own handles are closed; any other value
    // (ERROR_FILE_NOT_FOUND from the table) is answered 0 as well and left
    // alone.
    static_cast<void>(s.open_files.Close(handle, files_));
  }
  ServerLog(LogKind::kRequest, "[关闭文件] \n");
  return r;
}

HandlerReply RequestHandlers::CreateDirectory(Session& s, uint8_t* p, uint32_t len) {
  HandlerReply r;
  std::string_view name;
  if (!DecodePathRequest(p, len, &name)) {
    r.result = ERROR_INVALID_PARAMETER;
  } else {
    StorePath path;
    r.result = accounts_.ComposeUserPath(s.key, name, &path, /*creates=*/true);
    if (r.result.ok()) r.result = CreateDirectoryPath(path);
  }
  ServerLog(LineKind(r.result), "[创建目录] Result: %d\n", AsLogged(r.result));
  return r;
}

HandlerReply RequestHandlers::RemoveDirectory(Session& s, uint8_t* p, uint32_t len) {
  HandlerReply r;
  std::string_view name;
  if (!DecodePathRequest(p, len, &name)) {
    r.result = ERROR_INVALID_PARAMETER;
  } else {
    StorePath path;
    r.result = accounts_.ComposeUserPath(s.key, name, &path);
    if (r.result.ok()) {
      uint32_t bytes = 0;
      uint32_t files = 0;
      r.result = ZOT_DeleteDirectoryTree(files_, path, &bytes, &files);
      if (r.result.ok()) r.result = ReduceUsage(s.key, bytes, files);
    }
  }
  ServerLog(LineKind(r.result), "[移除目录] Result: %d\n", AsLogged(r.result));
  return r;
}

HandlerReply RequestHandlers::SetSparse(Session& s, uint8_t* p, uint32_t len) {
  HandlerReply r;
  uint32_t handle = 0;
  if (!DecodeHandleRequest(p, len, &handle)) {
    r.result = ERROR_INVALID_PARAMETER;
  } else if (!s.open_files.Contains(handle)) {
    r.result = ERROR_INVALID_HANDLE;
  } else {
    r.result = files_.SetSparse(handle);
  }
  ServerLog(LineKind(r.result), "[设置稀疏文件] \n");
  return r;
}

HandlerReply RequestHandlers::RegisterUser(Session& s, uint8_t* p, uint32_t len) {
  HandlerReply r;
  std::string_view name;
  std::string_view password;
  if (!DecodeTwoStringRequest(p, len, &name, &password)) {
    r.result = ERROR_INVALID_PARAMETER;
  } else if (s.registered) {
    // One account per connection: a burst of registrations would rewrite
    // Config.cfg for each and keep every record for the server's life.
    r.result = ERROR_ACCESS_DENIED;
    ServerLog(LogKind::kFailure, "Registration refused: [%s] name [%s], one registration per connection\n",
              PeerText(s).text, LoggableName(name).text);
  } else {
    StorePath existing_home;
    r.result = accounts_.RegisterUser(name, password, &existing_home);
    s.registered = r.result.ok();
    // A home left on disk is kept and the name refused; the operator learns
    // which directory stood in the way.
    if (existing_home.has_home()) {
      ServerLog(LogKind::kFailure, "[注册用户] 目录已存在:[%s] Result: %d\n", existing_home.full(), AsLogged(r.result));
    }
  }
  return r;
}

HandlerReply RequestHandlers::Login(Session& s, uint8_t* p, uint32_t len) {
  HandlerReply r;
  std::string_view name;
  std::string_view password;
  if (!DecodeTwoStringRequest(p, len, &name, &password)) {
    r.result = ERROR_INVALID_PARAMETER;
  } else {
    r.result = accounts_.Login(name, password, s.key);
  }
  if (r.result.ok()) {
    s.logged_in = true;
  } else {
    // The dispatcher counts the failure and delays the next request.
    ServerLog(LogKind::kFailure, "Login failed: [%s] name [%s] Result: %d\n", PeerText(s).text,
              LoggableName(name).text, AsLogged(r.result));
  }
  return r;
}

HandlerReply RequestHandlers::GetSpaceInfo(Session& s, uint8_t* p, uint32_t len) {
  HandlerReply r;
  uint32_t space_left = 0;
  uint32_t files_left = 0;
  if (!DecodeSpaceInfo(p, len, &space_left, &files_left)) {
    r.result = ERROR_INVALID_PARAMETER;
  } else {
    // The reply is the request's own 8 bytes, left in place.
    r.result = accounts_.GetSpaceInfo(s.key, &space_left, &files_left);
    if (r.result.ok()) r.length = 8;
  }
  return r;
}

HandlerReply RequestHandlers::ListDirectory(Session& s, uint8_t* p, uint32_t len) {
  HandlerReply r;
  std::string_view wire_name;
  uint32_t capacity = 0;
  if (!DecodeListDirectoryRequest(p, len, &wire_name, &capacity)) {
    r.result = ERROR_INVALID_PARAMETER;
    return r;
  }
  if (wire_name.size() > kMaxPath - 1) {
    r.result = ERROR_FILENAME_EXCED_RANGE;
    return r;
  }
  // The listing is written over the request, name included, and the name is
  // still needed afterwards to move the current directory.
  char name_copy[kMaxPath];
  std::memcpy(name_copy, wire_name.data(), wire_name.size());
  std::string_view name(name_copy, wire_name.size());
  StorePath directory;
  char resume_name[kMaxPath] = {};
  // The account's open stream comes along, so a paged listing goes on where
  // the last chunk stopped.
  std::unique_ptr<ListingCursor> cursor;
  r.result = accounts_.ResolveListingPath(s.key, name, &directory, resume_name, &cursor);
  if (!r.result.ok()) return r;
  uint32_t used = std::min<uint32_t>(capacity, kMaxPayload);
  r.result = BuildListing(directory, p, &used, resume_name, cursor.get());
  if (!r.result.ok()) return r;  // the resume stays; the stream goes
  r.length = used;
  // Neither result is reported: the listing is what the client asked for,
  // and it is in the reply. (The account was found by this key a moment
  // ago and the resume name is never null, so the first cannot fail; the
  // second fails only when the directory just listed is gone, and then the
  // current directory stays where it was.)
  static_cast<void>(accounts_.SaveListingResume(s.key, directory, resume_name, std::move(cursor)));
  static_cast<void>(accounts_.ChangeCurrentDirectory(s.key, name));
  return r;
}

HandlerReply RequestHandlers::Rename(Session& s, uint8_t* p, uint32_t len) {
  HandlerReply r;
  std::string_view old_name;
  std::string_view new_name;
  if (!DecodeTwoStringRequest(p, len, &old_name, &new_name)) {
    r.result = ERROR_INVALID_PARAMETER;
    return r;
  }
  StorePath from;
  StorePath to;
  r.result = accounts_.ComposeUserPath(s.key, old_name, &from);
  if (r.result.ok()) r.result = accounts_.ComposeUserPath(s.key, new_name, &to, /*creates=*/true);
  if (r.result.ok() && MoveFileAt(files_, from, to) != ERROR_SUCCESS) {
    // A link met on either side is refused as every request refuses it.
    bool link = PathExists(from) == ERROR_ACCESS_DENIED || PathExists(to) == ERROR_ACCESS_DENIED;
    r.result = link ? ERROR_ACCESS_DENIED : RESULT_RENAME_FAILED;
  }
  return r;
}

HandlerReply RequestHandlers::SetSpaceInfo(Session& s, uint8_t* p, uint32_t len) {
  HandlerReply r;
  uint32_t space_left = 0;
  uint32_t files_left = 0;
  if (!DecodeSpaceInfo(p, len, &space_left, &files_left)) {
    r.result = ERROR_INVALID_PARAMETER;
  } else {
    r.result = accounts_.SetSpaceInfo(s.key, space_left, files_left);
  }
  return r;
}

}  // namespace tervane
