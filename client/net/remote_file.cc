#include "client/net/remote_file.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
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
uint32_t FileExchange(RemoteFile* file, uint16_t code, uint32_t payload_length,
                      size_t reply_capacity, uint32_t* reply_length) {
  std::lock_guard<std::recursive_mutex> hold(file->session->lock);
  return ExchangeInFrame(file->session, code, file->frame, payload_length, reply_capacity,
                         reply_length);
}

// One OP_READ_FILE or OP_WRITE_FILE piece; the caller holds the lock. For a
// read the reply's bytes go to `destination` (exactly `piece` bytes of room).
uint32_t TransferPiece(RemoteFile* file, uint16_t code, uint64_t offset, uint32_t piece,
                       const uint8_t* source, uint8_t* destination) {
  uint8_t* frame = file->frame;
  const uint32_t tag = GetTickCount();
  DataRequest fields;
  fields.handle = file->handle;
  fields.offset = offset;
  fields.count = piece;
  EncodeDataRequestFields(fields, frame + kHeaderSize);
  uint32_t payload = static_cast<uint32_t>(kDataRequestFixed);
  if (source != nullptr) {
    std::memcpy(frame + kDataPrefix, source, piece);
    payload += piece;
  }
  BuildRequestHeader(frame, code, payload, tag);
  uint32_t length = 0;
  uint32_t rc = SendAndReceiveHeader(file->session, frame, kHeaderSize + payload, tag, frame, &length);
  if (rc != 0) return rc;
  if (destination == nullptr) return ReceivePayload(file->session, length, nullptr, 0);
  rc = ReceivePayload(file->session, length, destination, piece);
  if (rc != 0) return rc;
  // The server answers a read past the end with 38 and no data; a short
  // success would leave part of the piece unfilled, so it is not one.
  return length == piece ? 0 : ERROR_HANDLE_EOF;
}

// The pieces of a read go out together, each answered into its own place
// in `destination`; the first piece that fails (in order) gives the result,
// and the replies to the pieces after it are taken and ignored.
uint32_t PipelinedRead(RemoteFile* file, uint64_t at, uint32_t count, uint8_t* destination) {
  uint32_t failed = 0;
  RequestPipeline pipeline(file->session);
  for (uint32_t done = 0; done < count && failed == 0;) {
    const uint32_t piece = std::min<uint32_t>(count - done, static_cast<uint32_t>(kMaxDataPiece));
    DataRequest fields;
    fields.handle = file->handle;
    fields.offset = at + done;
    fields.count = piece;
    uint8_t head[kDataRequestFixed];
    EncodeDataRequestFields(fields, head);
    uint8_t* into = destination + done;
    pipeline.Submit(OP_READ_FILE, head, sizeof head, nullptr, 0, piece,
                    [&failed, into, piece](uint32_t rc, const uint8_t* payload, uint32_t length) {
                      if (failed != 0) return;
                      if (rc != 0) {
                        failed = rc;
                        return;
                      }
                      std::memcpy(into, payload, length);  // never more than the piece
                      // A short success would leave part of the piece unfilled.
                      if (length != piece) failed = ERROR_HANDLE_EOF;
                    });
    done += piece;
  }
  pipeline.Drain();
  return failed;
}

uint32_t Transfer(RemoteFile* file, uint16_t code, const uint64_t* offset, uint32_t count,
                  const uint8_t* source, uint8_t* destination) {
  if (file == nullptr || file->session == nullptr || offset == nullptr) return ERROR_INVALID_PARAMETER;
  if (count == 0) return 0;
  if (source == nullptr && destination == nullptr) return ERROR_INVALID_PARAMETER;
  uint64_t at = *offset;
  uint32_t done = 0;
  // One hold for all pieces, so no other request comes between them.
  std::lock_guard<std::recursive_mutex> hold(file->session->lock);
  if (destination != nullptr) return PipelinedRead(file, at, count, destination);
  while (done < count) {
    const uint32_t piece = std::min<uint32_t>(count - done, static_cast<uint32_t>(kMaxDataPiece));
    const uint32_t rc = TransferPiece(file, code, at, piece, source ? source + done : nullptr,
                                      destination ? destination + done : nullptr);
    if (rc != 0) return rc;
    at += piece;
    done += piece;
  }
  return 0;
}

}  // namespace

uint32_t KOVA_CreateFile(RemoteSession* session, std::string_view path, uint32_t desired_access,
                         uint32_t share_mode, uint32_t creation_disposition,
                         uint32_t flags_and_attributes, RemoteFile** file) {
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
    std::lock_guard<std::recursive_mutex> hold(session->lock);
    const uint32_t rc = ExchangeInFrame(session, OP_CREATE_FILE, frame,
                                        static_cast<uint32_t>(payload), kSmallReplyRoom, &length);
    if (rc != 0) return rc;
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

uint32_t KOVA_ReadFile(RemoteFile* file, const uint64_t* offset, uint32_t count, void* destination) {
  if (count != 0 && destination == nullptr) return ERROR_INVALID_PARAMETER;
  return Transfer(file, OP_READ_FILE, offset, count, nullptr, static_cast<uint8_t*>(destination));
}

uint32_t KOVA_WriteFile(RemoteFile* file, const uint64_t* offset, uint32_t count, const void* source) {
  if (count != 0 && source == nullptr) return ERROR_INVALID_PARAMETER;
  return Transfer(file, OP_WRITE_FILE, offset, count, static_cast<const uint8_t*>(source), nullptr);
}

uint32_t KOVA_GetFileSize(RemoteFile* file, uint64_t* size) {
  if (file == nullptr || file->session == nullptr || size == nullptr) return ERROR_INVALID_PARAMETER;
  const size_t payload = EncodeHandleRequest(file->handle, file->frame + kHeaderSize, kFileReplyRoom);
  uint32_t length = 0;
  const uint32_t rc = FileExchange(file, OP_GET_FILE_SIZE, static_cast<uint32_t>(payload),
                                   kFileReplyRoom, &length);
  if (rc != 0) return rc;
  uint64_t value = 0;
  if (!DecodeU64Reply(file->frame + kHeaderSize, length, &value)) return ERROR_INVALID_DATA;
  *size = value;
  return 0;
}

uint32_t KOVA_GetFileTime(RemoteFile* file, uint64_t* creation, uint64_t* last_access,
                          uint64_t* last_write) {
  if (file == nullptr || file->session == nullptr) return ERROR_INVALID_PARAMETER;
  const size_t payload = EncodeHandleRequest(file->handle, file->frame + kHeaderSize, kFileReplyRoom);
  uint32_t length = 0;
  const uint32_t rc = FileExchange(file, OP_GET_FILE_TIME, static_cast<uint32_t>(payload),
                                   kFileReplyRoom, &length);
  if (rc != 0) return rc;
  FileTimes times;
  if (!DecodeFileTimesReply(file->frame + kHeaderSize, length, &times)) return ERROR_INVALID_DATA;
  if (creation != nullptr) *creation = times.creation;
  if (last_access != nullptr) *last_access = times.last_access;
  if (last_write != nullptr) *last_write = times.last_write;
  return 0;
}

uint32_t KOVA_SetFileSize(RemoteFile* file, const uint64_t* size) {
  if (file == nullptr || file->session == nullptr || size == nullptr) return ERROR_INVALID_PARAMETER;
  const size_t payload =
      EncodeSetFileSizeRequest(file->handle, *size, file->frame + kHeaderSize, kFileReplyRoom);
  uint32_t length = 0;
  return FileExchange(file, OP_SET_FILE_SIZE, static_cast<uint32_t>(payload), 0, &length);
}

uint32_t KOVA_SetFileTime(RemoteFile* file, const uint64_t* creation, const uint64_t* last_access,
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

uint32_t KOVA_CloseFile(RemoteFile* file) {
  if (file == nullptr) return ERROR_INVALID_PARAMETER;
  std::unique_ptr<RemoteFile> record(file);  // freed on every path
  RemoteSession* session = record->session;
  if (session == nullptr) return ERROR_INVALID_PARAMETER;
  std::lock_guard<std::recursive_mutex> hold(session->lock);
  const size_t payload = EncodeHandleRequest(record->handle, record->frame + kHeaderSize, kFileReplyRoom);
  uint32_t length = 0;
  const uint32_t rc = ExchangeInFrame(session, OP_CLOSE_FILE, record->frame,
                                      static_cast<uint32_t>(payload), 0, &length);
  record.reset();  // before the lock goes, as the record belongs to the exchange
  return rc;
}

}  // namespace tervane
