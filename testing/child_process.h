// Test-only: one program run as a child process, and every way tests treat
// it: signals (stop, continue, kill), a bounded wait for its end, a look at
// its open descriptors and resident memory, and runs to the end with the
// output captured. A child is always ended by its own pid (never by name)
// and reaped: by the destructor if the test did not.
//
// Not thread-safe: one thread drives one child.
#ifndef TERVANE_TESTING_CHILD_PROCESS_H_
#define TERVANE_TESTING_CHILD_PROCESS_H_

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace tervane::testing {

struct ChildOptions {
  std::vector<std::string> argv;  // argv[0] is the program's path
  // Standard output, appended; /dev/null when empty. `output_fd` >= 0 is
  // used instead (the caller keeps it and closes it).
  std::string output_path;
  int output_fd = -1;
  // Standard error, appended; the same as standard output when empty.
  std::string error_path;
  // "NAME=value" entries set in the environment the child inherits
  // (replacing a variable of the same name).
  std::vector<std::string> environment;
  // Set with setrlimit in the child before exec; 0 leaves the limit alone.
  uint64_t file_size_limit = 0;
};

class ChildProcess {
 public:
  ChildProcess() = default;
  // Kills (SIGKILL) and reaps a child that still runs.
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Starts the program; false when it could not be started.
  bool Start(const ChildOptions& options);
  pid_t pid() const { return pid_; }
  bool running() const { return pid_ > 0; }

  // Sends `signal` to the child; false when there is none.
  bool Signal(int signal);
  // Waits at most `timeout_ms` for the child to end. True when it ended;
  // *status (if given) receives its wait status.
  bool Wait(int timeout_ms, int* status = nullptr);
  // SIGKILL, then reaps it.
  void Kill();

  // Open descriptors of the child (/proc/<pid>/fd), -1 when unreadable.
  int OpenDescriptors() const;
  // VmRSS of the child in KiB (/proc/<pid>/status), -1 when unreadable.
  long ResidentKb() const;

 private:
  pid_t pid_ = -1;
};

// Runs a program to its end (at most `timeout_ms`, then it is killed).
// Returns its exit code, or -1 when it was killed or died of a signal.
int RunToEnd(const ChildOptions& options, int timeout_ms);
// The same with `argv`, its standard output and error read back into *out
// and *err.
int RunProgram(const std::vector<std::string>& argv, int timeout_ms, std::string* out, std::string* err);

// The build's binary directory ($TERVANE_BIN_DIR, set by ctest; empty when
// unset), and whether an executable `name` is in it.
std::string BinDir();
bool ProgramExists(const std::string& name);

// Milliseconds of a monotonic clock.
int64_t NowMs();

}  // namespace tervane::testing

#endif  // TERVANE_TESTING_CHILD_PROCESS_H_
