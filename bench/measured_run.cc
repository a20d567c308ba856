#include "bench/measured_run.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "shared/platform/win_error.h"

namespace tervane::bench {
namespace {

int OpenOutput(const std::string& path) {
  if (path.empty()) return -1;
  return ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
}

double Seconds(const timeval& tv) { return static_cast<double>(tv.tv_sec) + tv.tv_usec / 1e6; }

// Waits for the child's exit or the time-out. A pidfd lets poll() wake at
// the exit without a polling loop that would steal time from the child;
// without one (an old kernel) the wait has no limit.
bool WaitForExit(pid_t pid, uint32_t timeout_ms) {
  if (timeout_ms == 0) return true;
#ifdef SYS_pidfd_open
  int fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  if (fd < 0) return true;
  pollfd pfd{fd, POLLIN, 0};
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  int ready = 0;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    ready = ::poll(&pfd, 1, static_cast<int>(left.count()));
    if (ready >= 0 || errno != EINTR) break;
  }
  ::close(fd);
  return ready > 0;
#else
  (void)pid;
  return true;
#endif
}

}  // namespace

uint32_t RunMeasured(const std::vector<std::string>& argv, const RunOptions& options, RunMeasurement* out) {
  *out = RunMeasurement();
  if (argv.empty()) return ERROR_INVALID_PARAMETER;
  int out_fd = OpenOutput(options.stdout_path);
  if (!options.stdout_path.empty() && out_fd < 0) return WinErrorFromErrno(errno);
  int err_fd = OpenOutput(options.stderr_path);
  if (!options.stderr_path.empty() && err_fd < 0) {
    uint32_t code = WinErrorFromErrno(errno);
    if (out_fd >= 0) ::close(out_fd);
    return code;
  }
  // The argument vector is built before the fork: the child only calls
  // what is safe between fork and exec.
  std::vector<char*> args;
  args.reserve(argv.size() + 1);
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);

  auto start = std::chrono::steady_clock::now();
  pid_t pid = ::fork();
  if (pid < 0) {
    uint32_t code = WinErrorFromErrno(errno);
    if (out_fd >= 0) ::close(out_fd);
    if (err_fd >= 0) ::close(err_fd);
    return code;
  }
  if (pid == 0) {
    if (out_fd >= 0) ::dup2(out_fd, STDOUT_FILENO);
    if (err_fd >= 0) ::dup2(err_fd, STDERR_FILENO);
    ::execvp(args[0], args.data());
    ::_exit(127);
  }
  if (out_fd >= 0) ::close(out_fd);
  if (err_fd >= 0) ::close(err_fd);

  if (!WaitForExit(pid, options.timeout_ms)) {
    out->timed_out = true;
    ::kill(pid, SIGKILL);
  }
  int status = 0;
  rusage usage{};
  pid_t waited;
  do {
    waited = ::wait4(pid, &status, 0, &usage);
  } while (waited < 0 && errno == EINTR);
  auto end = std::chrono::steady_clock::now();
  out->wall_seconds = std::chrono::duration<double>(end - start).count();
  if (waited != pid) return WinErrorFromErrno(errno);
  out->peak_rss_kib = static_cast<uint64_t>(usage.ru_maxrss);
  out->user_seconds = Seconds(usage.ru_utime);
  out->system_seconds = Seconds(usage.ru_stime);
  if (WIFEXITED(status)) {
    out->exited = true;
    out->exit_status = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    out->signal = WTERMSIG(status);
  }
  return 0;
}

}  // namespace tervane::bench
