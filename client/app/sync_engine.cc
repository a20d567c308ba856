#include "client/app/sync_engine.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <memory>
#include <new>

#include "client/app/client_session.h"
#include "client/app/local_walk.h"
#include "client/app/remote_path.h"
#include "client/app/session_ui.h"
#include "client/app/upload_queue.h"
#include "client/net/remote_file.h"
#include "client/net/remote_path_ops.h"
#include "client/net/remote_session.h"
#include "client/net/status_sink.h"
#include "shared/platform/win_error.h"

namespace tervane {
namespace {

// The Windows values a create request carries for an upload.
constexpr uint32_t kGenericWrite = 0x40000000;
constexpr uint32_t kOpenAlways = 4;
constexpr uint32_t kFileAttributeNormal = 0x80;

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof(text), format, args);
  va_end(args);
  return text;
}

// root + "/" + relative, without doubling a separator the root ends with.
std::string JoinLocal(const std::string& root, const std::string& relative) {
  if (relative.empty()) return root;
  if (!root.empty() && root.back() == '/') return root + relative;
  return root + "/" + relative;
}

// Closes a local file descriptor on every path.
class LocalFile {
 public:
  explicit LocalFile(int fd) : fd_(fd) {}
  ~LocalFile() {
    if (fd_ >= 0) ::close(fd_);
  }
  LocalFile(const LocalFile&) = delete;
  LocalFile& operator=(const LocalFile&) = delete;
  int fd() const { return fd_; }

 private:
  int fd_;
};

// Opens a regular file (following a symlink) for reading. A FIFO, socket or
// device is refused without blocking on it. -1 when it cannot be had.
int OpenRegularFile(const std::string& path, uint64_t* size) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return -1;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return -1;
  }
  // Reads then block as usual (O_NONBLOCK is the only flag of the open
  // that F_SETFL would change).
  ::fcntl(fd, F_SETFL, 0);
  *size = static_cast<uint64_t>(st.st_size);
  return fd;
}

// Reads exactly `len` bytes at `offset`. 0; ERROR_HANDLE_EOF when the file
// ended first (it shrank while we read it); else the read error's code.
uint32_t ReadExactly(int fd, uint64_t offset, uint8_t* buffer, size_t len) {
  size_t done = 0;
  while (done < len) {
    const ssize_t n = ::pread(fd, buffer + done, len - done, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return WinErrorFromErrno(errno);
    }
    if (n == 0) return ERROR_HANDLE_EOF;
    done += static_cast<size_t>(n);
  }
  return 0;
}

// Sends the file's content in pieces, then the space report.
uint32_t SendContent(ClientSession* session, RemoteFile* remote, int fd, uint64_t size) {
  uint64_t previous = 0;
  uint32_t result = KOVA_GetFileSize(remote, &previous);
  if (result != 0) return result;
  result = KOVA_SetFileSize(remote, &size);
  if (result != 0) return result;
  std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[kUploadPiece]);
  if (!buffer) return 1;
  for (uint64_t offset = 0; offset < size;) {
    const uint64_t left = size - offset;
    const uint32_t len = static_cast<uint32_t>(left < kUploadPiece ? left : kUploadPiece);
    // A piece that cannot be read stops the file here: sending the cleared
    // buffer instead would leave zeros in the copy and call it a success.
    result = ReadExactly(fd, offset, buffer.get(), len);
    if (result != 0) return result;
    result = KOVA_WriteFile(remote, &offset, len, buffer.get());
    if (result != 0) return result;
    offset += len;
  }
  // The space figures are informational; they keep the protocol's 32 bits.
  const uint32_t space = session->space_left() - static_cast<uint32_t>(size) + static_cast<uint32_t>(previous);
  return KOVA_SetSpaceInfo(session->connection(), space, session->files_left());
}

}  // namespace

int SyncReport::ExitCode() const {
  if (outcome != Outcome::kCompleted) return 2;
  if (failed_uploads != 0 || unlisted_directories != 0 || stopped) return 1;
  return 0;
}

std::string FormatLocalDateTime(time_t when) {
  tm local{};
  if (::localtime_r(&when, &local) == nullptr) return std::string();
  return Format("%04d-%02d-%02d %02d:%02d:%02d", local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                local.tm_hour, local.tm_min, local.tm_sec);
}

uint32_t UploadFile(ClientSession* session, std::string_view day, const std::string& local_path,
                    bool create_only) {
  if (session == nullptr || session->connection() == nullptr) return WSAENOTCONN;
  // Only a marker may end in the bar; a file of that name would be taken
  // for one.
  const bool has_bar = !local_path.empty() && local_path.back() == '|';
  if (has_bar != create_only) return ERROR_INVALID_NAME;
  std::string remote;
  uint32_t result = MapRemoteWireName(day, local_path, &remote);
  if (result != 0) return result;

  if (create_only) {
    RemoteFile* marker = nullptr;
    result = KOVA_CreateFile(session->connection(), remote, kGenericWrite, 0, kOpenAlways,
                             kFileAttributeNormal, &marker);
    // The server holds no handle for a marker; the record is released all
    // the same.
    if (result == 0) KOVA_CloseFile(marker);
    return result;
  }

  uint64_t size = 0;
  LocalFile local(OpenRegularFile(local_path, &size));
  if (local.fd() < 0) return 1;

  RemoteFile* remote_file = nullptr;
  result = KOVA_CreateFile(session->connection(), remote, kGenericWrite, 0, kOpenAlways,
                           kFileAttributeNormal, &remote_file);
  if (result != 0) return result;
  result = SendContent(session, remote_file, local.fd(), size);
  KOVA_CloseFile(remote_file);
  return result;
}

SyncEngine::SyncEngine(ClientSession* session, StatusSink* status, SessionUi* ui)
    : session_(session), status_(status), ui_(ui), clock_([] { return ::time(nullptr); }) {}

void SyncEngine::SetClock(std::function<time_t()> clock) { clock_ = std::move(clock); }

void SyncEngine::SetDebugOutput(std::function<void(const std::string&)> debug_output) {
  debug_output_ = std::move(debug_output);
}

void SyncEngine::Status(const std::string& text) {
  if (status_ != nullptr) status_->ShowStatus(text);
}

void SyncEngine::Debug(const std::string& text) {
  if (debug_output_) debug_output_(text);
}

SyncReport SyncEngine::SyncTask(const SyncJob& job) {
  SyncReport report;
  // A run owns the session from its first request to its last; a second
  // trigger meanwhile is dropped, not queued, since the running one is doing
  // the same work.
  std::unique_lock<std::mutex> run(run_lock_, std::try_to_lock);
  if (!run.owns_lock()) {
    Status(kRunBusyText);
    report.outcome = SyncReport::Outcome::kBusy;
    return report;
  }
  running_.store(true);
  stop_requested_.store(false);
  struct RunningReset {
    std::atomic<bool>* flag;
    ~RunningReset() { flag->store(false); }
  } reset{&running_};

  session_->Disconnect();
  if (!ConnectAndLogin(session_, job.server_address, job.port, ui_, status_)) {
    report.outcome = SyncReport::Outcome::kLoginFailed;
    return report;
  }

  // The weekday is taken once: a run that goes past midnight keeps filling
  // the folder it cleared.
  day_ = WeekdayOfLocalDate(clock_());
  report.day = day_;
  Debug("开始执行文件备份任务.......\n");
  Status(Format("向远程发送删除[%s]命令\n", day_.c_str()));
  const uint32_t removed = session_->Delete(day_, true);
  if (removed == 0) {
    Status(Format("远程删除[%s] 成功\n", day_.c_str()));
  } else {
    Status(Format("远程删除[%s]失败[Error:%d]\n", day_.c_str(), static_cast<int>(removed)));
  }
  Status(Format("向远程发送创建文件夹[%s]命令\n", day_.c_str()));

  {
    // Several files are in flight at once; their outcomes come in order.
    UploadQueue queue(session_, day_, [this, &report](const UploadOutcome& o) { Report(o, &report); });
    for (const std::string& directory : job.directories) {
      if (queue.connection_failure() != 0) break;
      if (stop_requested_.load()) {
        report.stopped = true;
        break;
      }
      Status("开始一个目录备份...\n");
      UploadTree(directory, std::string(), &queue, &report);
    }
    queue.Finish();
  }
  Status(Format("目录备份完毕[%s]", FormatLocalDateTime(clock_()).c_str()));
  return report;
}

void SyncEngine::Report(const UploadOutcome& outcome, SyncReport* report) {
  if (outcome.result != 0) {
    Status(kUploadFailedText);
    ++report->failed_uploads;
  } else if (outcome.marker) {
    ++report->markers_uploaded;
  } else {
    ++report->files_uploaded;
  }
}

int SyncEngine::UploadTree(const std::string& root, const std::string& relative, UploadQueue* queue,
                           SyncReport* report) {
  const bool sub = !relative.empty();
  const std::string here = JoinLocal(root, relative);

  // The entries are read first and the listing closed, so that a deep tree
  // holds one directory open at a time.
  std::vector<LocalEntry> entries;
  uint32_t read_error = 0;
  if (!ListLocalDirectory(here, &entries, &read_error)) {
    // Shown and counted here; the directories above go on with the rest
    // of their entries.
    Status(kUploadFailedText);
    ++report->unlisted_directories;
    return -1;
  }
  int result = static_cast<int>(read_error);

  bool no_files = true;
  for (const LocalEntry& entry : entries) {
    // A lost connection ends the walk: every later upload would fail too.
    if (queue->connection_failure() != 0) return result;
    if (stop_requested_.load()) {
      report->stopped = true;
      return result;
    }
    const std::string name = sub ? relative + "/" + entry.name : entry.name;
    switch (entry.kind) {
      case LocalEntryKind::kSkipped:
        continue;
      case LocalEntryKind::kUnreadable:
        // Gone since the listing: nothing of it can be sent.
        Status(kUploadFailedText);
        ++report->failed_uploads;
        continue;
      case LocalEntryKind::kDirectory: {
        const int r = UploadTree(root, name, queue, report);
        if (r != 0 && result == 0) result = r;
        continue;
      }
      case LocalEntryKind::kFile:
        break;
    }
    no_files = false;
    queue->Add(JoinLocal(root, name), false);
  }

  if (no_files && queue->connection_failure() == 0) {
    const std::string marker = here + "|";
    Debug(marker + "\n");
    queue->Add(marker, true);
  }
  return result;
}

int SyncWorkerThread(SyncEngine* engine, SyncJob job) {
  if (engine == nullptr) {
    std::fputs("工作人员无法工作\n", stderr);
    return 4;
  }
  engine->SyncTask(job);
  return 1;
}

}  // namespace tervane
