// Getting files back: restores files and whole directories of one weekday
// copy, to where they were or below another directory.
//
// Each file is written to a temporary name beside its destination
// (".tervane-restore-<pid>-<n>.tmp"), given the copy's modification time,
// flushed, and only then renamed to its real name, so an interrupted
// restore never leaves a partial file under a real name. An existing local
// file is kept unless overwriting was asked for; the no-replace rename
// keeps it also against a file that appears meanwhile.
#ifndef TERVANE_CLIENT_APP_RESTORE_RUN_H_
#define TERVANE_CLIENT_APP_RESTORE_RUN_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace tervane {

struct RemoteSession;
class StatusSink;

// Status texts of a restore.
inline constexpr char kRestoreFailedText[] = "恢复失败";

struct RestoreJob {
  std::string day;                 // the weekday copy: "Sun" .. "Sat"
  std::vector<std::string> paths;  // absolute local paths as backed up; "/" is the whole copy
  std::string target_dir;          // empty: back to each original path; else below it
  bool overwrite = false;          // replace existing local files
};

struct RestoreReport {
  uint32_t files = 0;        // restored
  uint64_t bytes = 0;        // of the restored files
  uint32_t directories = 0;  // created locally
  uint32_t skipped = 0;      // existing local files left alone
  uint32_t failed = 0;       // files, directories or paths that could not be restored
  bool connection_lost = false;  // the run ended early: the server went away
  bool stopped = false;          // the stop flag ended it early
  int64_t seconds = 0;

  // 0 every file restored; 1 some failed or were skipped (or the run was
  // stopped); 2 the connection was lost.
  int ExitCode() const;
};

// Called after every file with the report so far (on the run's thread).
using RestoreProgress = std::function<void(const RestoreReport&)>;

// Runs the restore on the calling thread over a logged-in session. Status
// lines (start of each path, each failure and skip with its path and
// reason, progress at most once a second, the summary) go to `status`
// (may be null). `stop`, when given and set, ends the run after the file in
// progress.
RestoreReport RunRestore(RemoteSession* session, const RestoreJob& job, StatusSink* status,
                         const std::atomic<bool>* stop = nullptr, const RestoreProgress& progress = nullptr);

// Where `local_path` is restored to: the path itself, or below `target_dir`.
std::string RestoreDestination(const std::string& target_dir, const std::string& local_path);

}  // namespace tervane

#endif  // TERVANE_CLIENT_APP_RESTORE_RUN_H_
