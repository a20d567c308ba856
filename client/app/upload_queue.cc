#include "client/app/upload_queue.h"

#include <algorithm>
#include <utility>

#include "client/app/client_session.h"
#include "client/app/local_file.h"
#include "client/app/remote_path.h"
#include "client/net/exchange.h"
#include "shared/platform/win_error.h"
#include "shared/protocol/open_flags.h"
#include "shared/protocol/payloads.h"

namespace tervane {

// Where one upload stands. Its requests' handlers only record what came back;
// Advance moves it on from there.
struct UploadQueue::Upload {
  enum class Stage {
    kCreating,   // the create is out
    kSending,    // the pieces are going out
    kReporting,  // waiting for the previous size, for the space report
    kClosing,    // the close is out
    kCleaning,   // a failed file: close and delete are out
    kDone,
  };
  UploadOutcome outcome;
  std::string remote;  // wire name
  LocalFile local;
  Stage stage = Stage::kCreating;
  size_t pending = 0;  // requests of this upload not yet answered
  uint32_t handle = 0;
  uint64_t previous = 0;  // the remote file's size before this upload
  bool have_previous = false;
  uint64_t next_offset = 0;
  bool close_sent = false;
  bool holds_entry = false;  // counts against the server's open-file table
};

UploadQueue::UploadQueue(ClientSession* session, std::string_view day, Done done, size_t byte_limit)
    : session_(session), day_(day), done_(std::move(done)), pipeline_(session->connection(), byte_limit),
      piece_(kMaxDataPiece) {}

UploadQueue::~UploadQueue() { Finish(); }

void UploadQueue::ReleaseEntry(Upload* u) {
  if (u->holds_entry) {
    u->holds_entry = false;
    --open_entries_;
  }
}

void UploadQueue::Submit(Upload* u, uint16_t code, const uint8_t* head, size_t head_length,
                         const uint8_t* body, size_t body_length, size_t reply_capacity,
                         std::function<void(Upload*, const uint8_t*, uint32_t)> take,
                         bool counts_as_failure) {
  ++u->pending;
  ++submitted_;
  // A refused request reaches its handler, which records the failure; the
  // result of Submit tells nothing more.
  static_cast<void>(pipeline_.Submit(
      code, head, head_length, body, body_length, reply_capacity,
      [u, take = std::move(take), counts_as_failure](Result result, const uint8_t* payload, uint32_t length) {
        --u->pending;
        if (result.ok()) {
          if (take) take(u, payload, length);
        } else if (counts_as_failure && u->outcome.result.ok()) {
          u->outcome.result = result;
        }
      }));
}

void UploadQueue::Add(const std::string& local_path, bool marker) {
  // The open-file bound. The server serves requests in order, so a file's
  // entry is free for the next create as soon as its close has gone out.
  while (!marker && open_entries_ >= kPipelineOpenFileLimit && Step()) {
  }

  auto upload = std::make_unique<Upload>();
  Upload* u = upload.get();
  u->outcome.local_path = local_path;
  u->outcome.marker = marker;
  uploads_.push_back(std::move(upload));

  u->outcome.result = MapRemoteWireName(day_, local_path, &u->remote);
  if (u->outcome.result.ok() && !marker) {
    u->local = LocalFile(local_path);
    if (!u->local.valid()) u->outcome.result = u->local.error();
    u->outcome.bytes = u->local.size();
  }
  if (!u->outcome.result.ok()) {
    u->stage = Upload::Stage::kDone;
  } else {
    uint8_t head[kSmallReplyRoom];
    CreateFileRequest request;
    request.desired_access = GENERIC_WRITE;
    request.share_mode = 0;
    request.creation_disposition = OPEN_ALWAYS;
    request.flags_and_attributes = FILE_ATTRIBUTE_NORMAL;
    request.path = u->remote;
    const size_t length = EncodeCreateFileRequest(request, head, sizeof head);
    if (length == 0) {
      u->outcome.result = ERROR_FILENAME_EXCED_RANGE;
      u->stage = Upload::Stage::kDone;
    } else {
      // A directory-chain path opens nothing and its reply has no handle.
      if (!marker) {
        u->holds_entry = true;
        ++open_entries_;
      }
      Submit(u, OP_CREATE_FILE, head, length, nullptr, 0, kSmallReplyRoom,
             [](Upload* up, const uint8_t* p, uint32_t n) { DecodeU32Reply(p, n, &up->handle); });
    }
  }
  AdvanceAll();
}

void UploadQueue::AdvanceAll() {
  for (auto& u : uploads_) Advance(u.get());
  Retire();
}

bool UploadQueue::Step() {
  // A failure reaches the handlers and Advance reads it from the pipeline.
  if (pipeline_.outstanding() != 0) static_cast<void>(pipeline_.WaitForReply());
  const uint64_t before = submitted_;
  AdvanceAll();
  if (uploads_.empty() || pipeline_.outstanding() != 0 || submitted_ != before) return true;
  // Nothing is in flight and nothing moved: what is left cannot go on.
  for (auto& u : uploads_) {
    if (u->outcome.result.ok()) u->outcome.result = ERROR_INVALID_FUNCTION;
    ReleaseEntry(u.get());
    u->stage = Upload::Stage::kDone;
  }
  Retire();
  return false;
}

void UploadQueue::Finish() {
  AdvanceAll();
  while (!uploads_.empty() && Step()) {
  }
}

void UploadQueue::Retire() {
  while (!uploads_.empty() && uploads_.front()->stage == Upload::Stage::kDone) {
    if (done_) done_(uploads_.front()->outcome);
    uploads_.pop_front();
  }
}

void UploadQueue::Advance(Upload* u) {
  using Stage = Upload::Stage;
  if (u->stage == Stage::kDone) return;
  if (!pipeline_.failure().ok()) {
    // Every handler has been called with the failure by now.
    if (u->pending == 0) {
      if (u->outcome.result.ok() || u->outcome.result == pipeline_.failure()) {
        u->outcome.result = pipeline_.failure();
        u->outcome.connection_lost = true;
      }
      ReleaseEntry(u);
      u->stage = Stage::kDone;
    }
    return;
  }
  uint8_t head[kSmallReplyRoom];
  switch (u->stage) {
    case Stage::kCreating:
      if (u->pending != 0) return;
      if (!u->outcome.result.ok()) {  // nothing was opened
        ReleaseEntry(u);
        u->stage = Stage::kDone;
        return;
      }
      if (u->outcome.marker) {
        // The server holds no handle for a marker; its record is closed all
        // the same, as a single upload does.
        const size_t n = EncodeHandleRequest(u->handle, head, sizeof head);
        Submit(u, OP_CLOSE_FILE, head, n, nullptr, 0, 0, nullptr, false);
        u->close_sent = true;
        u->stage = Stage::kClosing;
        return;
      }
      {
        size_t n = EncodeHandleRequest(u->handle, head, sizeof head);
        Submit(u, OP_GET_FILE_SIZE, head, n, nullptr, 0, kSmallReplyRoom,
               [](Upload* up, const uint8_t* p, uint32_t len) {
                 if (DecodeU64Reply(p, len, &up->previous)) {
                   up->have_previous = true;
                 } else if (up->outcome.result.ok()) {
                   up->outcome.result = ERROR_INVALID_DATA;
                 }
               });
        n = EncodeSetFileSizeRequest(u->handle, u->outcome.bytes, head, sizeof head);
        Submit(u, OP_SET_FILE_SIZE, head, n, nullptr, 0, 0, nullptr);
      }
      u->stage = Stage::kSending;
      [[fallthrough]];
    case Stage::kSending:
      SendPieces(u);
      if (!pipeline_.failure().ok()) return;
      if (!u->outcome.result.ok()) {
        StartCleanup(u);
        return;
      }
      {
        // Creation and last-access 0: the server leaves them as they are.
        FileTimes times;
        times.last_write = u->local.modified();
        const size_t n = EncodeSetFileTimeRequest(u->handle, times, head, sizeof head);
        Submit(u, OP_SET_FILE_TIME, head, n, nullptr, 0, 0, nullptr);
      }
      u->local = LocalFile();  // every byte is read: the descriptor is not kept waiting
      u->stage = Stage::kReporting;
      [[fallthrough]];
    case Stage::kReporting: {
      if (!u->outcome.result.ok()) {
        StartCleanup(u);
        return;
      }
      if (!u->have_previous) return;
      // The space figures are informational; they keep the protocol's 32 bits.
      const uint32_t space = session_->space_left() - static_cast<uint32_t>(u->outcome.bytes) +
                             static_cast<uint32_t>(u->previous);
      size_t n = EncodeSpaceInfo(space, session_->files_left(), head, sizeof head);
      Submit(u, OP_SET_SPACE_INFO, head, n, nullptr, 0, 0, nullptr);
      n = EncodeHandleRequest(u->handle, head, sizeof head);
      Submit(u, OP_CLOSE_FILE, head, n, nullptr, 0, 0, nullptr, false);
      u->close_sent = true;
      ReleaseEntry(u);
      u->stage = Stage::kClosing;
      return;
    }
    case Stage::kClosing:
      if (u->pending != 0) return;
      if (!u->outcome.result.ok() && !u->outcome.marker) {
        StartCleanup(u);  // the space report failed; the close is out already
        return;
      }
      u->stage = Stage::kDone;
      return;
    case Stage::kCleaning:
      if (u->pending == 0) u->stage = Stage::kDone;
      return;
    case Stage::kDone:
      return;
  }
}

void UploadQueue::SendPieces(Upload* u) {
  const uint64_t size = u->outcome.bytes;
  while (u->next_offset < size && u->outcome.result.ok() && pipeline_.failure().ok()) {
    const uint32_t len = static_cast<uint32_t>(std::min<uint64_t>(size - u->next_offset, kMaxDataPiece));
    // A piece that cannot be read stops the file: sending anything in its
    // place would leave wrong bytes in the copy.
    const Result rc = u->local.ReadAt(u->next_offset, piece_.data(), len);
    if (!rc.ok()) {
      u->outcome.result = rc;
      return;
    }
    DataRequest fields;
    fields.handle = u->handle;
    fields.offset = u->next_offset;
    fields.count = len;
    uint8_t head[kDataRequestFixed];
    EncodeDataRequestFields(fields, head);
    u->next_offset += len;
    Submit(u, OP_WRITE_FILE, head, sizeof head, piece_.data(), len, 0, nullptr);
  }
}

void UploadQueue::StartCleanup(Upload* u) {
  // A copy that failed must not stay behind with the right size and the
  // wrong content: close it, then delete it. Neither result changes the
  // file's outcome.
  uint8_t head[kSmallReplyRoom];
  if (!u->close_sent) {
    const size_t n = EncodeHandleRequest(u->handle, head, sizeof head);
    Submit(u, OP_CLOSE_FILE, head, n, nullptr, 0, 0, nullptr, false);
    u->close_sent = true;
  }
  ReleaseEntry(u);
  u->local = LocalFile();
  const size_t n = EncodePathRequest(u->remote, head, sizeof head);
  if (n != 0) Submit(u, OP_DELETE_FILE, head, n, nullptr, 0, 0, nullptr, false);
  u->stage = Upload::Stage::kCleaning;
}

}  // namespace tervane
