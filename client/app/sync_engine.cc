#include "client/app/sync_engine.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <dirent.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <memory>
#include <new>

#include "client/app/account_name.h"
#include "client/app/client_session.h"
#include "client/app/local_file.h"
#include "client/app/local_walk.h"
#include "client/app/remote_path.h"
#include "client/app/result_words.h"
#include "client/app/run_lock.h"
#include "client/app/session_ui.h"
#include "client/app/upload_queue.h"
#include "client/net/remote_file.h"
#include "client/net/remote_path_ops.h"
#include "client/net/remote_session.h"
#include "client/net/status_sink.h"
#include "shared/platform/filetime.h"
#include "shared/platform/win_error.h"
#include "shared/protocol/open_flags.h"

namespace tervane {
namespace {

// The Windows values a create request carries for an upload.

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
  // Lines name local paths, which may be long: sized to fit, never cut.
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  const int needed = std::vsnprintf(nullptr, 0, format, args);
  va_end(args);
  std::string text(needed > 0 ? static_cast<size_t>(needed) : 0, '\0');
  if (needed > 0) std::vsnprintf(text.data(), text.size() + 1, format, again);
  va_end(again);
  return text;
}

// root + "/" + relative, without doubling a separator the root ends with.
std::string JoinLocal(const std::string& root, const std::string& relative) {
  if (relative.empty()) return root;
  if (!root.empty() && root.back() == '/') return root + relative;
  return root + "/" + relative;
}

// Sends the file's content in pieces, its modification time, then the space
// report.
Result SendContent(ClientSession* session, RemoteFile* remote, const LocalFile& local) {
  const uint64_t size = local.size();
  const uint64_t last_write = local.modified();
  uint64_t previous = 0;
  Result result = KOVA_GetFileSize(remote, &previous);
  if (!result.ok()) return result;
  result = KOVA_SetFileSize(remote, &size);
  if (!result.ok()) return result;
  std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[kUploadPiece]);
  if (!buffer) return 1;
  for (uint64_t offset = 0; offset < size;) {
    const uint64_t left = size - offset;
    const uint32_t len = static_cast<uint32_t>(left < kUploadPiece ? left : kUploadPiece);
    // A piece that cannot be read stops the file here: sending the cleared
    // buffer instead would leave zeros in the copy and call it a success.
    result = local.ReadAt(offset, buffer.get(), len);
    if (!result.ok()) return result;
    result = KOVA_WriteFile(remote, &offset, len, buffer.get());
    if (!result.ok()) return result;
    offset += len;
  }
  // Creation and last-access 0: the server leaves them as they are.
  const uint64_t unchanged = 0;
  result = KOVA_SetFileTime(remote, &unchanged, &unchanged, &last_write);
  if (!result.ok()) return result;
  // The space figures are informational; they keep the protocol's 32 bits.
  const uint32_t space = session->space_left() - static_cast<uint32_t>(size) + static_cast<uint32_t>(previous);
  return KOVA_SetSpaceInfo(session->connection(), space, session->files_left());
}

}  // namespace

int SyncReport::ExitCode() const {
  switch (outcome) {
    case Outcome::kCompleted:
      break;
    case Outcome::kNothingToBackUp:
      return 1;
    case Outcome::kLoginFailed:
    case Outcome::kBusy:
    case Outcome::kConnectionLost:
      return 2;
  }
  if (failures() != 0 || stopped) return 1;
  return 0;
}

std::string FormatRunSummary(const SyncReport& r) {
  return Format("已上传 %u 个文件 (%" PRIu64 " 字节), %u 个目录, 失败 %u 个, 用时 %" PRId64 " 秒", r.files_uploaded,
                r.bytes_uploaded, r.directories, r.failures(), r.seconds);
}

std::string FormatLocalDateTime(time_t when) {
  tm local{};
  if (::localtime_r(&when, &local) == nullptr) return std::string();
  return Format("%04d-%02d-%02d %02d:%02d:%02d", local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                local.tm_hour, local.tm_min, local.tm_sec);
}

Result UploadFile(ClientSession* session, std::string_view day, const std::string& local_path, bool create_only,
                  uint64_t* bytes_sent) {
  if (session == nullptr || session->connection() == nullptr) return WSAENOTCONN;
  // Only a marker may end in the bar; a file of that name would be taken
  // for one.
  const bool has_bar = !local_path.empty() && local_path.back() == '|';
  if (has_bar != create_only) return ERROR_INVALID_NAME;
  std::string remote;
  Result result = MapRemoteWireName(day, local_path, &remote);
  if (!result.ok()) return result;

  if (create_only) {
    RemoteFile* marker = nullptr;
    result = KOVA_CreateFile(session->connection(), remote, GENERIC_WRITE, 0, OPEN_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, &marker);
    // The server holds no handle for a marker; the record is released all
    // the same, and the close's result tells nothing about the marker.
    if (result.ok()) static_cast<void>(KOVA_CloseFile(marker));
    return result;
  }

  const LocalFile local(local_path);
  if (!local.valid()) return local.error();

  RemoteFile* remote_file = nullptr;
  result = KOVA_CreateFile(session->connection(), remote, GENERIC_WRITE, 0, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, &remote_file);
  if (!result.ok()) return result;
  result = SendContent(session, remote_file, local);
  // Every step before it was answered, so the copy is as complete as its
  // result says; the close's own result changes nothing (the pipelined
  // uploads do not count it either).
  static_cast<void>(KOVA_CloseFile(remote_file));
  if (!result.ok()) {
    // A copy of the right size with missing content would pass for a good
    // one. The name is relative to the home, which is the current remote
    // directory throughout a run. Over a lost connection nothing can be done;
    // the upload's own failure is the one reported either way.
    if (KOVA_IsConnected(session->connection())) static_cast<void>(KOVA_DeleteFile(session->connection(), remote));
    return result;
  }
  if (bytes_sent != nullptr) *bytes_sent = local.size();
  return 0;
}

SyncEngine::SyncEngine(ClientSession* session, StatusSink* status, SessionUi* ui)
    : session_(session), status_(status), ui_(ui), clock_([] { return ::time(nullptr); }) {}

void SyncEngine::SetClock(std::function<time_t()> clock) { clock_ = std::move(clock); }

void SyncEngine::SetDebugOutput(std::function<void(const std::string&)> debug_output) {
  debug_output_ = std::move(debug_output);
}

void SyncEngine::RequestStop() {
  {
    MutexLock hold(&stop_mutex_);
    stop_requested_.store(true);
  }
  stop_cv_.SignalAll();
}

bool SyncEngine::WaitUnlessStopped(uint64_t ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  MutexLock hold(&stop_mutex_);
  while (!stop_requested_.load()) {
    if (!stop_cv_.WaitUntil(deadline)) return !stop_requested_.load();
  }
  return false;
}

void SyncEngine::Status(const std::string& text) {
  if (status_ != nullptr) status_->ShowStatus(text);
}

void SyncEngine::Debug(const std::string& text) {
  if (debug_output_) debug_output_(text);
}

Result SyncEngine::ConnectWithRetry(const SyncJob& job, const std::string& address, SyncReport* report) {
  uint32_t waited = 0;  // retry units
  uint32_t next = 1;
  for (;;) {
    const Result connected = session_->Connect(address, job.port);
    if (connected.ok() || !job.retry || waited >= kRetryBudgetUnits) return connected;
    const uint32_t wait = std::min(next, kRetryBudgetUnits - waited);
    Status(Format("连接文件服务器失败[%s]: %s，%u 分钟后重试\n", address.c_str(), DescribeResult(connected).c_str(),
                  wait));
    if (!WaitUnlessStopped(static_cast<uint64_t>(wait) * job.retry_unit_ms)) {
      report->stopped = true;
      return connected;
    }
    waited += wait;
    next *= 2;
  }
}

SyncReport SyncEngine::SyncTask(const SyncJob& job) {
  // A run owns the session from its first request to its last; a second
  // trigger meanwhile is dropped, not queued, since the running one is doing
  // the same work. The lock file does the same between processes.
  bool busy = true;
  SyncReport report;
  if (run_lock_.TryLock()) {
    {
      RunLockFile file_lock;  // released before the run lock
      RunLockFile::State state = RunLockFile::State::kUnavailable;
      if (!job.run_lock_path.empty()) state = file_lock.TryLock(job.run_lock_path);
      if (state == RunLockFile::State::kUnavailable && !job.run_lock_path.empty()) {
        Debug("run lock unavailable: " + job.run_lock_path + "\n");
      }
      busy = state == RunLockFile::State::kBusy;
      if (!busy) report = RunLocked(job);
    }
    run_lock_.Unlock();
  }
  if (busy) {
    Status(kRunBusyText);
    report.outcome = SyncReport::Outcome::kBusy;
  }
  return report;
}

SyncReport SyncEngine::RunLocked(const SyncJob& job) {
  SyncReport report;
  running_.store(true);
  stop_requested_.store(false);
  struct RunningReset {
    std::atomic<bool>* flag;
    ~RunningReset() { flag->store(false); }
  } reset{&running_};
  const auto started = std::chrono::steady_clock::now();

  // The weekday is taken once: a run that goes past midnight keeps filling
  // the folder it cleared.
  day_ = WeekdayOfLocalDate(clock_());
  report.day = day_;

  // A directory that is not there (an unmounted disk, a renamed folder)
  // must not cost the copy the server holds of it: with none left, nothing
  // is deleted.
  std::vector<std::string> present;
  for (const std::string& directory : job.directories) {
    DIR* dir = ::opendir(directory.c_str());
    if (dir != nullptr) {
      ::closedir(dir);
      present.push_back(directory);
      continue;
    }
    const uint32_t code = WinErrorFromErrno(errno, ErrnoTarget::kDirectory);
    Status(Format("待备份的目录无法打开: %s: %s\n", directory.c_str(), DescribeResult(code).c_str()));
    ++report.unlisted_directories;
  }
  if (present.empty()) {
    Status(Format("没有可以打开的待备份目录，远程[%s]未删除\n", day_.c_str()));
    report.outcome = SyncReport::Outcome::kNothingToBackUp;
    return report;
  }

  session_->Disconnect();
  const std::string address = FormatIpv4(job.server_address);
  const Result connected = ConnectWithRetry(job, address, &report);
  if (!connected.ok()) {
    if (!report.stopped) ReportConnectFailure(ui_, address, connected);
    report.outcome = SyncReport::Outcome::kLoginFailed;
    return report;
  }
  if (!LogIn(session_, AccountName(job.user), ui_, status_).ok()) {
    report.outcome = SyncReport::Outcome::kLoginFailed;
    return report;
  }

  Debug("开始执行文件备份任务.......\n");
  Status(Format("向远程发送删除[%s]命令\n", day_.c_str()));
  const Result removed = session_->Delete(day_, true);
  if (removed.ok()) {
    Status(Format("远程删除[%s] 成功\n", day_.c_str()));
  } else if (!KOVA_IsConnected(session_->connection())) {
    Status(Format("与服务器的连接中断，备份中止: 远程删除[%s]: %s\n", day_.c_str(), DescribeResult(removed).c_str()));
    report.outcome = SyncReport::Outcome::kConnectionLost;
    report.lost_code = removed;
    return report;
  } else {
    Status(Format("远程删除[%s]失败[Error:%d]\n", day_.c_str(), static_cast<int>(removed.code())));
  }
  Status(Format("向远程发送创建文件夹[%s]命令\n", day_.c_str()));

  {
    // Several files are in flight at once; their outcomes come in order.
    UploadQueue queue(session_, day_, [this, &report](const UploadOutcome& o) { Report(o, &report); });
    for (const std::string& directory : present) {
      if (!queue.connection_failure().ok()) break;
      if (stop_requested_.load()) {
        report.stopped = true;
        break;
      }
      Status("开始一个目录备份...\n");
      UploadTree(directory, std::string(), &queue, &report);
    }
    queue.Finish();
  }
  if (report.outcome == SyncReport::Outcome::kConnectionLost) return report;
  report.seconds =
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - started).count();
  Status(Format("目录备份完毕[%s]", FormatLocalDateTime(clock_()).c_str()));
  Status(FormatRunSummary(report));
  return report;
}

void SyncEngine::Report(const UploadOutcome& outcome, SyncReport* report) {
  // The run has ended with its one line; what was in flight is not counted.
  if (report->outcome == SyncReport::Outcome::kConnectionLost) return;
  const std::string& path = outcome.local_path;
  const std::string shown = outcome.marker ? path.substr(0, path.size() - 1) : path;
  if (outcome.result.ok()) {
    ++(outcome.marker ? report->markers_uploaded : report->files_uploaded);
    report->bytes_uploaded += outcome.marker ? 0 : outcome.bytes;
    return;
  }
  if (outcome.connection_lost) {
    // One line for the run, not one per file that is left.
    Status(Format("与服务器的连接中断，备份中止: %s: %s\n", shown.c_str(), DescribeResult(outcome.result).c_str()));
    report->outcome = SyncReport::Outcome::kConnectionLost;
    report->lost_code = outcome.result;
    return;
  }
  Status(kUploadFailedText);
  Status(Format("  %s: %s\n", shown.c_str(), DescribeResult(outcome.result).c_str()));
  ++report->failed_uploads;
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
    Status(Format("  %s: %s\n", here.c_str(), DescribeResult(read_error).c_str()));
    ++report->unlisted_directories;
    return -1;
  }
  ++report->directories;
  int result = static_cast<int>(read_error);

  bool no_files = true;
  for (const LocalEntry& entry : entries) {
    // A lost connection ends the walk: every later upload would fail too.
    if (!queue->connection_failure().ok()) return result;
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
        Status(Format("  %s: %s\n", JoinLocal(root, name).c_str(), DescribeResult(ERROR_FILE_NOT_FOUND).c_str()));
        ++report->failed_uploads;
        continue;
      case LocalEntryKind::kDirectory: {
        const int r = UploadTree(root, name, queue, report);
        if (!queue->connection_failure().ok()) return r;
        if (r != 0 && result == 0) result = r;
        continue;
      }
      case LocalEntryKind::kFile:
        break;
    }
    no_files = false;
    queue->Add(JoinLocal(root, name), false);
  }

  if (no_files && queue->connection_failure().ok()) {
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
