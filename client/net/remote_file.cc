#include "client/net/remote_file.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "client/net/exchange.h"
#include "client/net/request_pipeline.h"
#include "shared/platform/tick.h"
#include "shared/platform/win_error.h"
#include "shared/protocol/payloads.h"

namespace tervane {
namespace {

constexpr size_t kDataPrefix = kHeaderSize + kDataRequestFixed;  // 48
constexpr size_t kFileReplyRoom = kFrameBufferSize - kHeaderSize;

bool HoldsZero(std::string_view s) { return s.find('\0') != std::string_view::npos; }

// A request on an open file: payload already at file->frame + 28.
Result FileExchange(RemoteFile* file, uint16_t code, uint32_t payload_length, size_t reply_capacity,
                    uint32_t* reply_length) {
  MutexLock hold(&file->session->lock);
  return ExchangeInFrame(file->session, code, file->frame, payload_length, reply_capacity, reply_length);
}

// One OP_WRITE_FILE piece of `piece` bytes from `source`.
Result WritePiece(RemoteFile* file, uint64_t offset, uint32_t piece, const uint8_t* source)
    REQUIRES(file->session->lock) {
  uint8_t* frame = file->frame;
  const uint32_t tag = GetTickCount();
  DataRequest fields;
  fields.handle = file->handle;
  fields.offset = offset;
  fields.count = piece;
  EncodeDataRequestFields(fields, frame + kHeaderSize);
  std::memcpy(frame + kDataPrefix, source, piece);
  const uint32_t payload = static_cast<uint32_t>(kDataRequestFixed) + piece;
  BuildRequestHeader(frame, OP_WRITE_FILE, payload, tag);
  uint32_t length = 0;
  const Result rc = SendAndReceiveHeader(file->session, frame, kHeaderSize + payload, tag, frame, &length);
  if (!rc.ok()) return rc;
  // A write's reply carries nothing; announced bytes put the stream out of step.
  return ReceivePayload(file->session, length, nullptr, 0);
}

// The pieces of a read go out together, each answered into its own place
// in `destination`; the first piece that fails (in order) gives the result,
// and the replies to the pieces after it are taken and ignored. The
// pipeline holds the session's lock across all of them.
Result PipelinedRead(RemoteFile* file, uint64_t at, uint32_t count, uint8_t* destination) {
  Result failed;
  RequestPipeline pipeline(file->session);
  for (uint32_t done = 0; done < count && failed.ok();) {
    const uint32_t piece = std::min<uint32_t>(count - done, static_cast<uint32_t>(kMaxDataPiece));
    DataRequest fields;
    fields.handle = file->handle;
    fields.offset = at + done;
    fields.count = piece;
    uint8_t head[kDataRequestFixed];
    EncodeDataRequestFields(fields, head);
    uint8_t* into = destination + done;
    // The handler records a failure in `failed`, which also stops the loop;
    // the result of Submit tells nothing more.
    static_cast<void>(pipeline.Submit(OP_READ_FILE, head, sizeof head, nullptr, 0, piece,
                                      [&failed, into, piece](Result rc, const uint8_t* payload, uint32_t length) {
                                        if (!failed.ok()) return;
                                        if (!rc.ok()) {
                                          failed = rc;
                                          return;
                                        }
                                        std::memcpy(into, payload, length);  // never more than the piece
                                        // A short success would leave part of the piece unfilled.
                                        if (length != piece) failed = ERROR_HANDLE_EOF;
                                      }));
    done += piece;
  }
  // A connection failure reached every handler, so `failed` has it already.
  static_cast<void>(pipeline.Drain());
  return failed;
}

// Writes the pieces one after the other under one hold of the lock, so no
// other request comes between them.
Result PieceWrite(RemoteFile* file, uint64_t at, uint32_t count, const uint8_t* source) {
  MutexLock hold(&file->session->lock);
  for (uint32_t done = 0; done < count;) {
    const uint32_t piece = std::min<uint32_t>(count - done, static_cast<uint32_t>(kMaxDataPiece));
    const Result rc = WritePiece(file, at + done, piece, source + done);
    if (!rc.ok()) return rc;
    done += piece;
  }
  return 0;
}

}  // namespace

Result KOVA_CreateFile(RemoteSession* session, std::string_view path, uint32_t desired_access,
                       uint32_t share_mode, uint32_t creation_disposition, uint32_t flags_and_attributes,
                       RemoteFile** file) {
  if (session == nullptr || file == nullptr) return ERROR_INVALID_PARAMETER;
  *file = nullptr;
  if (HoldsZero(path)) return ERROR_INVALID_NAME;

  uint8_t frame[kSmallFrameSize] = {};
  CreateFileRequest request;
  request.desired_access = desired_access;
  request.share_mode = share_mode;
  request.creation_disposition = creation_disposition;
  request.flags_and_attributes = flags_and_attributes;
  request.path = path;
  const size_t payload = EncodeCreateFileRequest(request, frame + kHeaderSize, kSmallReplyRoom);
  if (payload == 0 || path.size() >= sizeof(RemoteFile::path)) return ERROR_FILENAME_EXCED_RANGE;

  // The record is had before the request goes out, so that a failed
  // allocation cannot leave a handle open on the server.
  std::unique_ptr<RemoteFile> record(new (std::nothrow) RemoteFile);
  if (record == nullptr) return ERROR_INSUFFICIENT_BUFFER;

  uint32_t length = 0;
  {
    MutexLock hold(&session->lock);
    const Result rc =
        ExchangeInFrame(session, OP_CREATE_FILE, frame, static_cast<uint32_t>(payload), kSmallReplyRoom, &length);
    if (!rc.ok()) return rc;
  }
  // A directory-chain path ("...|") opens nothing and has no payload.
  uint32_t handle = 0;
  DecodeU32Reply(frame + kHeaderSize, length, &handle);
  record->session = session;
  record->handle = handle;
  std::memcpy(record->path, path.data(), path.size());
  record->path[path.size()] = '\0';
  *file = record.release();
  return 0;
}

Result KOVA_ReadFile(RemoteFile* file, const uint64_t* offset, uint32_t count, void* destination) {
  if (file == nullptr || file->session == nullptr || offset == nullptr) return ERROR_INVALID_PARAMETER;
  if (count == 0) return 0;
  if (destination == nullptr) return ERROR_INVALID_PARAMETER;
  return PipelinedRead(file, *offset, count, static_cast<uint8_t*>(destination));
}

Result KOVA_WriteFile(RemoteFile* file, const uint64_t* offset, uint32_t count, const void* source) {
  if (file == nullptr || file->session == nullptr || offset == nullptr) return ERROR_INVALID_PARAMETER;
  if (count == 0) return 0;
  if (source == nullptr) return ERROR_INVALID_PARAMETER;
  return PieceWrite(file, *offset, count, static_cast<const uint8_t*>(source));
}

Result KOVA_GetFileSize(RemoteFile* file, uint64_t* size) {
  if (file == nullptr || file->session == nullptr || size == nullptr) return ERROR_INVALID_PARAMETER;
  const size_t payload = EncodeHandleRequest(file->handle, file->frame + kHeaderSize, kFileReplyRoom);
  uint32_t length = 0;
  const Result rc = FileExchange(file, OP_GET_FILE_SIZE, static_cast<uint32_t>(payload), kFileReplyRoom, &length);
  if (!rc.ok()) return rc;
  uint64_t value = 0;
  if (!DecodeU64Reply(file->frame + kHeaderSize, length, &value)) return ERROR_INVALID_DATA;
  *size = value;
  return 0;
}

Result KOVA_GetFileTime(RemoteFile* file, uint64_t* creation, uint64_t* last_access,
                          uint64_t* last_write) {
  if (file == nullptr || file->session == nullptr) return ERROR_INVALID_PARAMETER;
  const size_t payload = EncodeHandleRequest(file->handle, file->frame + kHeaderSize, kFileReplyRoom);
  uint32_t length = 0;
  const Result rc = FileExchange(file, OP_GET_FILE_TIME, static_cast<uint32_t>(payload), kFileReplyRoom, &length);
  if (!rc.ok()) return rc;
  FileTimes times;
  if (!DecodeFileTimesReply(file->frame + kHeaderSize, length, &times)) return ERROR_INVALID_DATA;
  if (creation != nullptr) *creation = times.creation;
  if (last_access != nullptr) *last_access = times.last_access;
  if (last_write != nullptr) *last_write = times.last_write;
  return 0;
}

Result KOVA_SetFileSize(RemoteFile* file, const uint64_t* size) {
  if (file == nullptr || file->session == nullptr || size == nullptr) return ERROR_INVALID_PARAMETER;
  const size_t payload =
      EncodeSetFileSizeRequest(file->handle, *size, file->frame + kHeaderSize, kFileReplyRoom);
  uint32_t length = 0;
  return FileExchange(file, OP_SET_FILE_SIZE, static_cast<uint32_t>(payload), 0, &length);
}

Result KOVA_SetFileTime(RemoteFile* file, const uint64_t* creation, const uint64_t* last_access,
                          const uint64_t* last_write) {
  if (file == nullptr || file->session == nullptr) return ERROR_INVALID_PARAMETER;
  FileTimes times;
  times.creation = creation ? *creation : 0;
  times.last_access = last_access ? *last_access : 0;
  times.last_write = last_write ? *last_write : 0;
  const size_t payload =
      EncodeSetFileTimeRequest(file->handle, times, file->frame + kHeaderSize, kFileReplyRoom);
  uint32_t length = 0;
  return FileExchange(file, OP_SET_FILE_TIME, static_cast<uint32_t>(payload), 0, &length);
}

Result KOVA_CloseFile(RemoteFile* file) {
  if (file == nullptr) return ERROR_INVALID_PARAMETER;
  std::unique_ptr<RemoteFile> record(file);  // freed on every path
  RemoteSession* session = record->session;
  if (session == nullptr) return ERROR_INVALID_PARAMETER;
  MutexLock hold(&session->lock);
  const size_t payload = EncodeHandleRequest(record->handle, record->frame + kHeaderSize, kFileReplyRoom);
  uint32_t length = 0;
  const Result rc =
      ExchangeInFrame(session, OP_CLOSE_FILE, record->frame, static_cast<uint32_t>(payload), 0, &length);
  record.reset();  // before the lock goes, as the record belongs to the exchange
  return rc;
}

}  // namespace tervane
