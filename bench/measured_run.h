// Runs one program as a child and measures it: the wall time from just
// before the fork to the moment its exit is seen, and the child's peak
// resident set (wait4's ru_maxrss, which counts the child itself, not its
// own children).
//
// Thread-compatible; the child is waited for by its own pid only.
#ifndef TERVANE_BENCH_MEASURED_RUN_H_
#define TERVANE_BENCH_MEASURED_RUN_H_

#include <cstdint>
#include <string>
#include <vector>

namespace tervane::bench {

struct RunOptions {
  std::string stdout_path;  // empty: the child inherits ours
  std::string stderr_path;  // empty: the child inherits ours
  uint32_t timeout_ms = 0;  // 0: no limit; else SIGKILL to the child once it passes
};

struct RunMeasurement {
  bool exited = false;      // ended by exit(); exit_status then holds its status
  int exit_status = -1;
  int signal = 0;           // the signal that ended it, when not `exited`
  bool timed_out = false;   // killed because timeout_ms passed
  double wall_seconds = 0;
  uint64_t peak_rss_kib = 0;
  double user_seconds = 0;
  double system_seconds = 0;

  bool succeeded() const { return exited && exit_status == 0 && !timed_out; }
};

// argv[0] is found through PATH. 0 when the child ran (whatever its own
// status), or the Windows code of what failed before it could: the fork, or
// an output file that could not be opened. A program that cannot be
// executed exits with status 127.
uint32_t RunMeasured(const std::vector<std::string>& argv, const RunOptions& options, RunMeasurement* out);

}  // namespace tervane::bench

#endif  // TERVANE_BENCH_MEASURED_RUN_H_
