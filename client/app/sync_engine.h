// The backup run: delete today's weekday folder on the server, then upload
// every configured directory below it, file by file.
#ifndef TERVANE_CLIENT_APP_SYNC_ENGINE_H_
#define TERVANE_CLIENT_APP_SYNC_ENGINE_H_

#include <atomic>
#include <cstdint>
#include <ctime>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "shared/protocol/op_codes.h"

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
// Shown for every file or directory marker that could not be uploaded.
inline constexpr char kUploadFailedText[] = "上传失败";

// What one run works from; the run keeps its own copy, so the owner may
// change its settings while the run goes on.
struct SyncJob {
  uint32_t server_address = 0;  // IPv4, host byte order
  uint16_t port = kDefaultPort;
  std::vector<std::string> directories;  // absolute local paths, UTF-8, in list order
};

struct SyncReport {
  enum class Outcome {
    kCompleted,    // the walk ran through every configured directory
    kLoginFailed,  // connecting or logging in failed; nothing was deleted
    kBusy,         // another run held the run lock; nothing was done
  };
  Outcome outcome = Outcome::kCompleted;
  std::string day;                  // weekday folder of the run ("Sun".."Sat")
  uint32_t files_uploaded = 0;
  uint32_t markers_uploaded = 0;
  uint32_t failed_uploads = 0;      // files and markers reported with "上传失败"
  uint32_t unlisted_directories = 0;  // local directories that could not be opened
  bool stopped = false;             // RequestStop ended the walk early

  // 0 when everything was uploaded, 1 when some upload or local directory
  // failed, 2 when the run could not log in or did not run.
  int ExitCode() const;
};

// Runs backups over one ClientSession. SyncTask may be called from any
// thread; the run lock lets one run at a time own the session.
class SyncEngine {
 public:
  // The three objects must outlive the engine; none is owned.
  SyncEngine(ClientSession* session, StatusSink* status, SessionUi* ui);

  SyncEngine(const SyncEngine&) = delete;
  SyncEngine& operator=(const SyncEngine&) = delete;

  // One complete run on the calling thread: drops the session's connection,
  // ConnectAndLogin, deletes the weekday folder and uploads every
  // configured directory below it. The weekday is taken once, at the start.
  // When another run is in progress, shows kRunBusyText and returns kBusy
  // at once.
  SyncReport SyncTask(const SyncJob& job);

  // True while a run holds the run lock.
  bool running() const { return running_.load(); }

  // Makes the current run (if any) stop after the file it is sending; its
  // report then says `stopped`. The flag is cleared when the next run starts.
  void RequestStop() { stop_requested_.store(true); }

  // Replaces the clock that gives the run's weekday and its closing time
  // stamp (tests). Call only while no run is in progress.
  void SetClock(std::function<time_t()> clock);

  // Where the run's debug lines go (the dialog: debug output); none by
  // default. Call only while no run is in progress.
  void SetDebugOutput(std::function<void(const std::string&)> debug_output);

 private:
  // Uploads the tree below root/relative. 0; -1 when a directory cannot be
  // opened for listing; else an error code of the local walk. Holds the run.
  int UploadTree(const std::string& root, const std::string& relative, UploadQueue* queue,
                 SyncReport* report);
  // Counts and shows the outcome of one upload, in the order they were started.
  void Report(const UploadOutcome& outcome, SyncReport* report);
  void Status(const std::string& text);
  void Debug(const std::string& text);

  ClientSession* const session_;
  StatusSink* const status_;
  SessionUi* const ui_;
  std::function<time_t()> clock_;
  std::function<void(const std::string&)> debug_output_;

  std::mutex run_lock_;  // held for the whole of a run
  std::atomic<bool> running_{false};
  std::atomic<bool> stop_requested_{false};
  std::string day_;  // GUARDED_BY(run_lock_): the weekday folder of the current run
};

// Uploads the local file `local_path` (UTF-8) to its remote name below the
// weekday folder `day`, in 1 MiB pieces, then reports the space left to the
// server. With `create_only`, `local_path` is a directory followed by "|"
// and only that directory is created on the server. Returns 0 or the first
// failing step's code: 1 when the local file cannot be opened (nothing is
// sent), a read error's code when the file cannot be read to its end (the
// upload stops there), a mapping code of MapRemoteWireName, or the server's
// or connection's result. Files of any size are sent whole. Runs on the
// session's connection; one thread at a time per session.
uint32_t UploadFile(ClientSession* session, std::string_view day, const std::string& local_path,
                    bool create_only);

// Thread body for a background run: 4 when `engine` is null (nothing runs),
// otherwise runs SyncTask(job) and returns 1.
int SyncWorkerThread(SyncEngine* engine, SyncJob job);

// Local date and time as the run's closing line shows it:
// "YYYY-MM-DD HH:MM:SS".
std::string FormatLocalDateTime(time_t when);

}  // namespace tervane

#endif  // TERVANE_CLIENT_APP_SYNC_ENGINE_H_
