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
#include "shared/protocol/result_codes.h"

namespace tervane {
namespace {

int AsLogged(uint32_t result) { return static_cast<int>(result); }

// A name from the wire as a log line may show it: UTF-8, cut to the longest
// name an account can have, control characters as '?', so that no name can
// forge a line of its own. A name that does not convert shows its ASCII
// characters and '?' for every other byte.
struct LoggableName {
  explicit LoggableName(std::string_view wire) {
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
  char text[kUserNameField];
};

}  // namespace

HandlerReply RequestHandlers::Handle(RequestState stage, ClientContext& c) {
  // The header stage refused anything longer, so the payload is all in the
  // buffer; the bound is kept here too so that no handler can read past it.
  uint32_t len = std::min<uint32_t>(HeaderPayloadLength(c.buffer), kMaxPayload);
  switch (stage) {
    case STAGE_CREATE_FILE: return CreateFile(c, len);
    case STAGE_READ_FILE: return ReadFile(c, len);
    case STAGE_WRITE_FILE: return WriteFile(c, len);
    case STAGE_DELETE_FILE: return DeleteFile(c, len);
    case STAGE_GET_FILE_SIZE: return GetFileSize(c, len);
    case STAGE_GET_FILE_TIME: return GetFileTime(c, len);
    case STAGE_GET_FILE_ATTRIBUTES: return GetFileAttributes(c, len);
    case STAGE_SET_FILE_SIZE: return SetFileSize(c, len);
    case STAGE_SET_FILE_TIME: return SetFileTime(c, len);
    case STAGE_SET_FILE_ATTRIBUTES: return SetFileAttributes(c, len);
    case STAGE_CLOSE_FILE: return CloseFile(c, len);
    case STAGE_CREATE_DIRECTORY: return CreateDirectory(c, len);
    case STAGE_REMOVE_DIRECTORY: return RemoveDirectory(c, len);
    case STAGE_QUERY_DIRECTORY:
      ServerLog(LogKind::kRequest, "[查询目录] Result: %d\n", 0);
      return HandlerReply{};
    case STAGE_SET_SPARSE: return SetSparse(c, len);
    case STAGE_REGISTER_USER: return RegisterUser(c, len);
    case STAGE_LOGIN: return Login(c, len);
    case STAGE_GET_SPACE_INFO: return GetSpaceInfo(c, len);
    case STAGE_LIST_DIRECTORY: return ListDirectory(c, len);
    case STAGE_RENAME: return Rename(c, len);
    case STAGE_SET_SPACE_INFO: return SetSpaceInfo(c, len);
    default: return HandlerReply{ERROR_INVALID_PARAMETER, 0};
  }
}

HandlerReply RequestHandlers::CreateFile(ClientContext& c, uint32_t len) {
  HandlerReply r;
  uint8_t* p = c.payload();
  CreateFileRequest req;
  if (!DecodeCreateFileRequest(p, len, &req)) {
    r.result = ERROR_INVALID_PARAMETER;
  } else if (req.path.size() > OpenFileTable::kMaxPathLength) {
    r.result = ERROR_FILENAME_EXCED_RANGE;
  } else {
    StorePath path;
    bool has_file = false;
    r.result = accounts_.ResolveCreatePath(c.session.key, req.path, &path, &has_file).code();
    if (r.result == ERROR_SUCCESS && has_file) {
      uint32_t handle = 0;
      r.result = files_.Open(path, req.desired_access, req.share_mode, req.creation_disposition,
                             req.flags_and_attributes, &handle).code();
      if (r.result == ERROR_SUCCESS) {
        uint32_t added = c.session.open_files.Add(handle, req.path, files_);
        if (added != ERROR_SUCCESS) {
          static_cast<void>(files_.Close(handle));  // just opened: the close cannot fail
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
  ServerLog(RequestLineKind(r.result), "[打开文件] Result: %d\n", AsLogged(r.result));
  return r;
}

HandlerReply RequestHandlers::ReadFile(ClientContext& c, uint32_t len) {
  HandlerReply r;
  uint8_t* p = c.payload();
  DataRequest req;
  if (!DecodeReadRequest(p, len, &req) || req.count > kMaxReadCount) {
    r.result = ERROR_INVALID_PARAMETER;
  } else if (!c.session.open_files.Contains(req.handle)) {
    r.result = ERROR_INVALID_HANDLE;
  } else {
    // Straight from the file into the reply payload, over the request.
    r.result = files_.ReadAt(req.handle, p, req.offset, req.count).code();
    if (r.result == ERROR_SUCCESS) r.length = req.count;
  }
  ServerLog(RequestLineKind(r.result), "[读文件] Result: %d\n", AsLogged(r.result));
  return r;
}

HandlerReply RequestHandlers::WriteFile(ClientContext& c, uint32_t len) {
  HandlerReply r;
  DataRequest req;
  if (!DecodeWriteRequest(c.payload(), len, &req)) {
    r.result = ERROR_INVALID_PARAMETER;
  } else if (!c.session.open_files.Contains(req.handle)) {
    r.result = ERROR_INVALID_HANDLE;
  } else {
    r.result = files_.WriteAt(req.handle, req.data, req.offset, req.count).code();
  }
  ServerLog(RequestLineKind(r.result), "[写文件] Result: %d\n", AsLogged(r.result));
  return r;
}

// What a delete removed comes off the account's usage figures.
uint32_t RequestHandlers::ReduceUsage(uint32_t key, uint32_t bytes, uint32_t files) {
  uint32_t used = 0;
  uint32_t count = 0;
  uint32_t result = accounts_.GetUsage(key, &used, &count).code();
  if (result == ERROR_SUCCESS) result = accounts_.SetUsage(key, used - bytes, count - files).code();
  return result;
}

HandlerReply RequestHandlers::DeleteFile(ClientContext& c, uint32_t len) {
  HandlerReply r;
  std::string_view name;
  if (!DecodePathRequest(c.payload(), len, &name)) {
    r.result = ERROR_INVALID_PARAMETER;
  } else {
    StorePath path;
    r.result = accounts_.ComposeUserPath(c.session.key, name, &path).code();
    if (r.result == ERROR_SUCCESS) {
      uint32_t size = 0;
      r.result = DeleteFileTakingSize(files_, path, &size).code();
      if (r.result == ERROR_SUCCESS) r.result = ReduceUsage(c.session.key, size, 1);
    }
  }
  ServerLog(RequestLineKind(r.result), "[删除文件] Result: %d\n", AsLogged(r.result));
  return r;
}

HandlerReply RequestHandlers::GetFileSize(ClientContext& c, uint32_t len) {
  HandlerReply r;
  uint32_t handle = 0;
  if (!DecodeHandleRequest(c.payload(), len, &handle)) {
    r.result = ERROR_INVALID_PARAMETER;
  } else if (!c.session.open_files.Contains(handle)) {
    r.result = ERROR_INVALID_HANDLE;
  } else {
    uint64_t size = 0;
    r.result = files_.GetFileSize(handle, &size).code();
    if (r.result == ERROR_SUCCESS) {
      StoreU64(c.payload(), size);
      r.length = 8;
    }
  }
  ServerLog(RequestLineKind(r.result), "[得到文件大小] Result: %d\n", AsLogged(r.result));
  return r;
}

HandlerReply RequestHandlers::GetFileTime(ClientContext& c, uint32_t len) {
  HandlerReply r;
  uint32_t handle = 0;
  if (!DecodeHandleRequest(c.payload(), len, &handle)) {
    r.result = ERROR_INVALID_PARAMETER;
  } else if (!c.session.open_files.Contains(handle)) {
    r.result = ERROR_INVALID_HANDLE;
  } else {
    FileTimes times;
    r.result = files_.GetFileTime(handle, &times).code();
    if (r.result == ERROR_SUCCESS) r.length = static_cast<uint32_t>(EncodeFileTimesReply(times, c.payload(), kMaxPayload));
  }
  ServerLog(RequestLineKind(r.result), "[得到文件时间] Result: %d\n", AsLogged(r.result));
  return r;
}

HandlerReply RequestHandlers::GetFileAttributes(ClientContext& c, uint32_t len) {
  HandlerReply r;
  std::string_view name;
  if (!DecodePathRequest(c.payload(), len, &name)) {
    r.result = ERROR_INVALID_PARAMETER;
  } else {
    StorePath path;
    r.result = accounts_.ComposeUserPath(c.session.key, name, &path).code();
    uint32_t attributes = 0;
    if (r.result == ERROR_SUCCESS) r.result = GetFileAttributesAt(path, &attributes).code();
    if (r.result == ERROR_SUCCESS) {
      StoreU32(c.payload(), attributes);
      r.length = 4;
    }
  }
  ServerLog(RequestLineKind(r.result), "[得到文件属性] Result: %d\n", AsLogged(r.result));
  return r;
}

HandlerReply RequestHandlers::SetFileSize(ClientContext& c, uint32_t len) {
  HandlerReply r;
  uint32_t handle = 0;
  uint64_t size = 0;
  if (!DecodeSetFileSizeRequest(c.payload(), len, &handle, &size)) {
    r.result = ERROR_INVALID_PARAMETER;
  } else if (!c.session.open_files.Contains(handle)) {
    r.result = ERROR_INVALID_HANDLE;
  } else {
    r.result = files_.SetEndOfFileAt(handle, size).code();
  }
  ServerLog(RequestLineKind(r.result), "[设置文件大小] Result: %d\n", AsLogged(r.result));
  return r;
}

HandlerReply RequestHandlers::SetFileTime(ClientContext& c, uint32_t len) {
  HandlerReply r;
  uint32_t handle = 0;
  FileTimes times;
  if (!DecodeSetFileTimeRequest(c.payload(), len, &handle, &times)) {
    r.result = ERROR_INVALID_PARAMETER;
  } else if (!c.session.open_files.Contains(handle)) {
    r.result = ERROR_INVALID_HANDLE;
  } else {
    r.result = files_.SetFileTime(handle, times).code();
  }
  ServerLog(RequestLineKind(r.result), "[设置文件时间] Result: %d\n", AsLogged(r.result));
  return r;
}

HandlerReply RequestHandlers::SetFileAttributes(ClientContext& c, uint32_t len) {
  HandlerReply r;
  uint32_t attributes = 0;
  std::string_view name;
  if (!DecodeSetAttributesRequest(c.payload(), len, &attributes, &name)) {
    r.result = ERROR_INVALID_PARAMETER;
  } else {
    StorePath path;
    r.result = accounts_.ComposeUserPath(c.session.key, name, &path).code();
    if (r.result == ERROR_SUCCESS) r.result = SetFileAttributesAt(path, attributes).code();
  }
  ServerLog(RequestLineKind(r.result), "[设置文件属性] Result: %d\n", AsLogged(r.result));
  return r;
}

HandlerReply RequestHandlers::CloseFile(ClientContext& c, uint32_t len) {
  HandlerReply r;
  uint32_t handle = 0;
  if (!DecodeHandleRequest(c.payload(), len, &handle)) {
    r.result = ERROR_INVALID_PARAMETER;
  } else {
    // Only this connection's own handles are closed; any other value is
    // answered 0 as well and left alone.
    c.session.open_files.Close(handle, files_);
  }
  ServerLog(LogKind::kRequest, "[关闭文件] \n");
  return r;
}

HandlerReply RequestHandlers::CreateDirectory(ClientContext& c, uint32_t len) {
  HandlerReply r;
  std::string_view name;
  if (!DecodePathRequest(c.payload(), len, &name)) {
    r.result = ERROR_INVALID_PARAMETER;
  } else {
    StorePath path;
    r.result = accounts_.ComposeUserPath(c.session.key, name, &path, /*creates=*/true).code();
    if (r.result == ERROR_SUCCESS) r.result = CreateDirectoryPath(path).code();
  }
  ServerLog(RequestLineKind(r.result), "[创建目录] Result: %d\n", AsLogged(r.result));
  return r;
}

HandlerReply RequestHandlers::RemoveDirectory(ClientContext& c, uint32_t len) {
  HandlerReply r;
  std::string_view name;
  if (!DecodePathRequest(c.payload(), len, &name)) {
    r.result = ERROR_INVALID_PARAMETER;
  } else {
    StorePath path;
    r.result = accounts_.ComposeUserPath(c.session.key, name, &path).code();
    if (r.result == ERROR_SUCCESS) {
      uint32_t bytes = 0;
      uint32_t files = 0;
      r.result = ZOT_DeleteDirectoryTree(files_, path, &bytes, &files).code();
      if (r.result == ERROR_SUCCESS) r.result = ReduceUsage(c.session.key, bytes, files);
    }
  }
  ServerLog(RequestLineKind(r.result), "[移除目录] Result: %d\n", AsLogged(r.result));
  return r;
}

HandlerReply RequestHandlers::SetSparse(ClientContext& c, uint32_t len) {
  HandlerReply r;
  uint32_t handle = 0;
  if (!DecodeHandleRequest(c.payload(), len, &handle)) {
    r.result = ERROR_INVALID_PARAMETER;
  } else if (!c.session.open_files.Contains(handle)) {
    r.result = ERROR_INVALID_HANDLE;
  } else {
    r.result = files_.SetSparse(handle).code();
  }
  ServerLog(RequestLineKind(r.result), "[设置稀疏文件] \n");
  return r;
}

HandlerReply RequestHandlers::RegisterUser(ClientContext& c, uint32_t len) {
  HandlerReply r;
  std::string_view name;
  std::string_view password;
  if (!DecodeTwoStringRequest(c.payload(), len, &name, &password)) {
    r.result = ERROR_INVALID_PARAMETER;
  } else if (c.session.registered) {
    // One account per connection: a burst of registrations would rewrite
    // Config.cfg for each and keep every record for the server's life.
    r.result = ERROR_ACCESS_DENIED;
    ServerLog(LogKind::kFailure, "Registration refused: [%s] name [%s], one registration per connection\n",
              PeerText(c.session).text, LoggableName(name).text);
  } else {
    StorePath existing_home;
    r.result = accounts_.RegisterUser(name, password, &existing_home).code();
    c.session.registered = r.result == ERROR_SUCCESS;
    // A home left on disk is kept and the name refused; the operator learns
    // which directory stood in the way.
    if (existing_home.has_home()) {
      ServerLog(LogKind::kFailure, "[注册用户] 目录已存在:[%s] Result: %d\n", existing_home.full(), AsLogged(r.result));
    }
  }
  return r;
}

HandlerReply RequestHandlers::Login(ClientContext& c, uint32_t len) {
  HandlerReply r;
  std::string_view name;
  std::string_view password;
  if (!DecodeTwoStringRequest(c.payload(), len, &name, &password)) {
    r.result = ERROR_INVALID_PARAMETER;
  } else {
    r.result = accounts_.Login(name, password, c.session.key).code();
  }
  if (r.result == ERROR_SUCCESS) {
    c.session.logged_in = true;
  } else {
    // The dispatcher counts the failure and delays the next request.
    ServerLog(LogKind::kFailure, "Login failed: [%s] name [%s] Result: %d\n", PeerText(c.session).text,
              LoggableName(name).text, AsLogged(r.result));
  }
  return r;
}

HandlerReply RequestHandlers::GetSpaceInfo(ClientContext& c, uint32_t len) {
  HandlerReply r;
  uint32_t space_left = 0;
  uint32_t files_left = 0;
  if (!DecodeSpaceInfo(c.payload(), len, &space_left, &files_left)) {
    r.result = ERROR_INVALID_PARAMETER;
  } else {
    // The reply is the request's own 8 bytes, left in place.
    r.result = accounts_.GetSpaceInfo(c.session.key, &space_left, &files_left).code();
    if (r.result == ERROR_SUCCESS) r.length = 8;
  }
  return r;
}

HandlerReply RequestHandlers::ListDirectory(ClientContext& c, uint32_t len) {
  HandlerReply r;
  std::string_view wire_name;
  uint32_t capacity = 0;
  if (!DecodeListDirectoryRequest(c.payload(), len, &wire_name, &capacity)) {
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
  r.result = accounts_.ResolveListingPath(c.session.key, name, &directory, resume_name, &cursor).code();
  if (r.result != ERROR_SUCCESS) return r;
  uint32_t used = std::min<uint32_t>(capacity, kMaxPayload);
  r.result = BuildListing(directory, c.payload(), &used, resume_name, cursor.get()).code();
  if (r.result != ERROR_SUCCESS) return r;  // the resume stays; the stream goes
  r.length = used;
  // The listing is in the reply whatever follows. The account is bound (the
  // path resolved), so keeping the resume point cannot fail; a directory
  // removed meanwhile leaves the current directory where it was, which the
  // next request then meets.
  static_cast<void>(accounts_.SaveListingResume(c.session.key, directory, resume_name, std::move(cursor)));
  static_cast<void>(accounts_.ChangeCurrentDirectory(c.session.key, name));
  return r;
}

HandlerReply RequestHandlers::Rename(ClientContext& c, uint32_t len) {
  HandlerReply r;
  std::string_view old_name;
  std::string_view new_name;
  if (!DecodeTwoStringRequest(c.payload(), len, &old_name, &new_name)) {
    r.result = ERROR_INVALID_PARAMETER;
    return r;
  }
  StorePath from;
  StorePath to;
  r.result = accounts_.ComposeUserPath(c.session.key, old_name, &from).code();
  if (r.result == ERROR_SUCCESS) {
    r.result = accounts_.ComposeUserPath(c.session.key, new_name, &to, /*creates=*/true).code();
  }
  if (r.result == ERROR_SUCCESS && MoveFileAt(files_, from, to) != ERROR_SUCCESS) {
    // A link met on either side is refused as every request refuses it.
    bool link = PathExists(from) == ERROR_ACCESS_DENIED || PathExists(to) == ERROR_ACCESS_DENIED;
    r.result = link ? ERROR_ACCESS_DENIED : RESULT_RENAME_FAILED;
  }
  return r;
}

HandlerReply RequestHandlers::SetSpaceInfo(ClientContext& c, uint32_t len) {
  HandlerReply r;
  uint32_t space_left = 0;
  uint32_t files_left = 0;
  if (!DecodeSpaceInfo(c.payload(), len, &space_left, &files_left)) {
    r.result = ERROR_INVALID_PARAMETER;
  } else {
    r.result = accounts_.SetSpaceInfo(c.session.key, space_left, files_left).code();
  }
  return r;
}

}  // namespace tervane
