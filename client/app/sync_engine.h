// The backup run: delete today's weekday folder on the server, then upload
// every configured directory below it, file by file.
#ifndef TERVANE_CLIENT_APP_SYNC_ENGINE_H_
#define TERVANE_CLIENT_APP_SYNC_ENGINE_H_

#include <atomic>
#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "shared/platform/mutex.h"
#include "shared/protocol/op_codes.h"
#include "shared/protocol/result.h"

namespace tervane {

class ClientSession;
class SessionUi;
class StatusSink;
class UploadQueue;
struct UploadOutcome;

// Local files are read and sent in pieces of this size.
inline constexpr size_t kUploadPiece = 1048576;

// Shown when a run is asked for while another one is still going; the
// request is dropped.
inline constexpr char kRunBusyText[] = "备份任务正在执行，本次同步请求已忽略\n";
// Shown for every file or directory marker that could not be uploaded; the
// next line names the local path and the reason.
inline constexpr char kUploadFailedText[] = "上传失败";

// How long a run that may retry keeps trying to connect, in retry units
// (minutes): it waits 1, 2, 4, 8 ... units between tries, the last wait cut
// so that all of them add up to this.
inline constexpr uint32_t kRetryBudgetUnits = 30;
inline constexpr uint32_t kDefaultRetryUnitMs = 60000;

// What one run works from; the run keeps its own copy, so the owner may
// change its settings while the run goes on.
struct SyncJob {
  uint32_t server_address = 0;  // IPv4, host byte order
  uint16_t port = kDefaultPort;
  std::vector<std::string> directories;  // absolute local paths, UTF-8, in list order
  std::string user;  // the account; empty: the workstation's (AccountName)
  // Headless and automatic runs: a connect that fails (the server down or
  // busy, the connection closed before the session opened) is tried again
  // after 1, 2, 4 ... retry units, for kRetryBudgetUnits in all.
  bool retry = false;
  uint32_t retry_unit_ms = kDefaultRetryUnitMs;
  // A lock file that every process running on the same settings takes for
  // the whole run (RunLockPathFor); empty: only this engine's own lock.
  std::string run_lock_path;
};

// What a run did: its outcome and its counters. The summary line after
// "目录备份完毕[...]" is made from it (FormatRunSummary).
struct SyncReport {
  enum class Outcome {
    kCompleted,        // the walk ran through every configured directory that could be opened
    kLoginFailed,      // connecting or logging in failed; nothing was deleted
    kBusy,             // another run held the run lock; nothing was done
    kNothingToBackUp,  // no configured directory could be opened; nothing was deleted
    kConnectionLost,   // the connection failed during the run, which ended there
  };
  Outcome outcome = Outcome::kCompleted;
  std::string day;                  // weekday folder of the run ("Sun".."Sat")
  uint32_t files_uploaded = 0;
  uint64_t bytes_uploaded = 0;      // content bytes of the uploaded files
  uint32_t markers_uploaded = 0;
  uint32_t directories = 0;         // local directories walked, configured ones included
  uint32_t failed_uploads = 0;      // files and markers reported with "上传失败"
  uint32_t unlisted_directories = 0;  // local directories that could not be opened
  Result lost_code;                 // with kConnectionLost: the failure that ended the run
  int64_t seconds = 0;              // from the start of the run to its summary
  bool stopped = false;             // RequestStop ended the walk early

  // Uploads and local directories that failed.
  uint32_t failures() const { return failed_uploads + unlisted_directories; }

  // 0 when everything was uploaded; 1 when some upload or local directory
  // failed, none could be opened, or the run was stopped; 2 when the run
  // could not log in, lost its connection or did not run.
  int ExitCode() const;
};

// "已上传 12 个文件 (3456 字节), 4 个目录, 失败 0 个, 用时 2 秒".
std::string FormatRunSummary(const SyncReport& report);

// Runs backups over one ClientSession. SyncTask may be called from any
// thread; the run lock lets one run at a time own the session.
class SyncEngine {
 public:
  // The three objects must outlive the engine; none is owned.
  SyncEngine(ClientSession* session, StatusSink* status, SessionUi* ui);

  SyncEngine(const SyncEngine&) = delete;
  SyncEngine& operator=(const SyncEngine&) = delete;

  // One complete run on the calling thread: checks that the configured
  // directories can be opened, drops the session's connection, connects
  // (retrying as the job says) and logs in as the job's account, deletes the
  // weekday folder and uploads every configured directory below it. The
  // weekday is taken once, at the start. When another run is in progress
  // (this engine's, or another process's holding the job's lock file),
  // shows kRunBusyText and returns kBusy at once. A connection that fails
  // during the run ends it with one status line.
  SyncReport SyncTask(const SyncJob& job) EXCLUDES(run_lock_);

  // True while a run holds the run lock.
  bool running() const { return running_.load(); }

  // Makes the current run (if any) stop after the file it is sending, or at
  // once when it waits to retry a connect; its report then says `stopped`.
  // The flag is cleared when the next run starts.
  void RequestStop() EXCLUDES(stop_mutex_);

  // Replaces the clock that gives the run's weekday and its closing time
  // stamp (tests). Call only while no run is in progress.
  void SetClock(std::function<time_t()> clock);

  // Where the run's debug lines go (the dialog: debug output); none by
  // default. Call only while no run is in progress.
  void SetDebugOutput(std::function<void(const std::string&)> debug_output);

 private:
  // The run itself, once SyncTask holds the run lock.
  SyncReport RunLocked(const SyncJob& job) REQUIRES(run_lock_);
  // Uploads the tree below root/relative. 0; -1 when a directory cannot be
  // opened for listing; else an error code of the local walk. Holds the run.
  // Files go to `queue`, several in flight.
  int UploadTree(const std::string& root, const std::string& relative, UploadQueue* queue, SyncReport* report)
      REQUIRES(run_lock_);
  // Counts and shows the outcome of one upload, in the order the walk found
  // them; the first one lost with the connection ends the run.
  void Report(const UploadOutcome& outcome, SyncReport* report);
  // Connects, retrying as `job` says. 0 or the last connect's code.
  Result ConnectWithRetry(const SyncJob& job, const std::string& address, SyncReport* report) REQUIRES(run_lock_);
  // Waits `ms` unless a stop is asked for; false when it was.
  bool WaitUnlessStopped(uint64_t ms) EXCLUDES(stop_mutex_);
  void Status(const std::string& text);
  void Debug(const std::string& text);

  ClientSession* const session_;
  StatusSink* const status_;
  SessionUi* const ui_;
  std::function<time_t()> clock_;
  std::function<void(const std::string&)> debug_output_;

  Mutex run_lock_;  // held for the whole of a run
  std::atomic<bool> running_{false};
  // Read without the lock by the walk; set under it, so that a retry wait
  // cannot miss the wake-up.
  std::atomic<bool> stop_requested_{false};
  Mutex stop_mutex_;
  CondVar stop_cv_{&stop_mutex_};  // wakes a retry wait on RequestStop
  std::string day_ GUARDED_BY(run_lock_);  // the weekday folder of the current run
};

// Uploads the local file `local_path` (UTF-8) to its remote name below the
// weekday folder `day`: created, sized, written in 1 MiB pieces, given the
// local modification time as its last-write time, then the space left is
// reported to the server. With `create_only`, `local_path` is a directory
// followed by "|" and only that directory is created on the server.
// Returns 0 or the first failing step's code: the local open's code (2, 5
// ...; ERROR_NOT_SUPPORTED for what is not a regular file; nothing is sent),
// a read error's code when the file cannot be read to its end (the upload
// stops there), a mapping code of MapRemoteWireName (123 not UTF-8, 206 too
// long; nothing is sent), or the server's or connection's result. A remote
// file whose upload failed after its creation is closed and deleted, so no
// copy of the right size with the wrong content stays (unless the connection
// itself failed). *bytes_sent (when given) receives the size sent on
// success. Files of any size are sent whole. Runs on the session's
// connection; one thread at a time per session.
Result UploadFile(ClientSession* session, std::string_view day, const std::string& local_path, bool create_only,
                  uint64_t* bytes_sent = nullptr);

// Thread body for a background run: 4 when `engine` is null (nothing runs),
// otherwise runs SyncTask(job) and returns 1.
int SyncWorkerThread(SyncEngine* engine, SyncJob job);

// Local date and time as the run's closing line shows it:
// "YYYY-MM-DD HH:MM:SS".
std::string FormatLocalDateTime(time_t when);

}  // namespace tervane

#endif  // TERVANE_CLIENT_APP_SYNC_ENGINE_H_
