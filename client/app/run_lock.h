// The run lock between processes: the dialog and a headless run on the same
// settings file never back up at the same time. It is an advisory lock
// (flock) on a file beside the settings file, so a process that dies leaves
// nothing that blocks the next run.
#ifndef TERVANE_CLIENT_APP_RUN_LOCK_H_
#define TERVANE_CLIENT_APP_RUN_LOCK_H_

#include <string>

namespace tervane {

// The lock file of the runs on `settings_path`: the settings file's path
// followed by ".lock".
std::string RunLockPathFor(const std::string& settings_path);

// Not thread-safe: the run that took it owns it. Held from a successful
// TryLock until destruction.
class RunLockFile {
 public:
  enum class State {
    kHeld,         // this object holds the lock
    kBusy,         // another process (or object) holds it
    kUnavailable,  // the lock file cannot be opened or created
  };

  RunLockFile() = default;
  ~RunLockFile();
  RunLockFile(const RunLockFile&) = delete;
  RunLockFile& operator=(const RunLockFile&) = delete;

  // Tries once, without waiting.
  State TryLock(const std::string& path);

 private:
  int fd_ = -1;
};

}  // namespace tervane

#endif  // TERVANE_CLIENT_APP_RUN_LOCK_H_
