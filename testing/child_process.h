// Test-only: one program run as a child process, and every way tests treat
// it: signals, a bounded wait for its end, a look at its open descriptors
// and resident memory, runs to the end with the output captured. A child is
// ended by its own pid (never by name) and reaped, by the destructor if the
// test did not. Not thread-safe: one thread drives one child.
#ifndef TERVANE_TESTING_CHILD_PROCESS_H_
#define TERVANE_TESTING_CHILD_PROCESS_H_

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace tervane::testing {

struct ChildOptions {
  std::vector<std::string> argv;  // argv[0] is the program's path
  // Standard output, appended (/dev/null when empty), or `output_fd` when
  // >= 0 (the caller keeps and closes it); standard error, appended, or the
  // same as standard output when empty.
  std::string output_path{};  // {}: a designated initializer may leave it out
  int output_fd = -1;
  std::string error_path{};
  std::vector<std::string> environment{};  // "NAME=value", replacing an inherited NAME
  uint64_t file_size_limit = 0;            // RLIMIT_FSIZE in the child; 0 leaves it alone
};

class ChildProcess {
 public:
  ChildProcess() = default;
  ~ChildProcess();  // kills (SIGKILL) and reaps a child that still runs
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool Start(const ChildOptions& options);  // false when it could not be started
  bool running() const { return pid_ > 0; }

  bool Signal(int signal);  // false when there is no child
  // Waits at most `timeout_ms` for the end; true when it ended, its wait
  // status then in *status (if given).
  bool Wait(int timeout_ms, int* status = nullptr);
  // Waits as Wait, then kills a child still running: its exit code, or -1
  // when it was killed or died of a signal.
  int ExitCode(int timeout_ms);
  void Kill();  // SIGKILL, then reaps it

  int OpenDescriptors() const;  // entries of /proc/<pid>/fd, -1 when unreadable
  long ResidentKb() const;      // VmRSS in KiB, -1 when unreadable

 private:
  pid_t pid_ = -1;
};

// Runs a program to its end (killed after `timeout_ms`): its exit code, or
// -1 when it was killed or died of a signal. RunProgram reads its standard
// output and error back into *out and *err.
int RunToEnd(const ChildOptions& options, int timeout_ms);
int RunProgram(const std::vector<std::string>& argv, int timeout_ms, std::string* out, std::string* err);

// The build's binary directory ($TERVANE_BIN_DIR, set by ctest; empty when
// unset), and whether an executable `name` is in it.
std::string BinDir();
bool ProgramExists(const std::string& name);

int64_t NowMs();  // a monotonic clock

// The client program's headless backup (tervaneclt --sync) as a child
// against a server on 127.0.0.1, with a settings file of the test's naming.
// $TERVANE_BIN_DIR/tervaneclt when the dialog program was built, else
// tervaneclt_headless beside the tests (the same modes without the dialog);
// empty when neither is there.
std::string ClientBinary();

// The settings file: server 127.0.0.1, a start time, the directories in
// this order, and the account "sync" (USER).
bool WriteClientSettings(const std::string& path, const std::vector<std::string>& directories);

// One backup with `settings_path` against `port`, output to `output_path`;
// `reply_timeout_ms` 0 keeps the client's default; an unreachable server is
// tried again after 1, 2, 4 ... times `retry_unit_ms` (1: gives up at once).
ChildOptions ClientSyncOptions(const std::string& settings_path, uint16_t port, const std::string& output_path,
                               uint32_t reply_timeout_ms = 0, uint32_t retry_unit_ms = 1);

// Where "sync"'s run on weekday `day` keeps local file `local_path`:
// share/sync/<day><local_path>.
std::string ServerCopyPath(const std::string& share, const std::string& day, const std::string& local_path);
// The weekday folder the runs of "sync" wrote into ("" when none or several).
std::string OnlyWeekdayFolder(const std::string& share);

}  // namespace tervane::testing

#endif  // TERVANE_TESTING_CHILD_PROCESS_H_
