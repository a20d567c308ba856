#include "testing/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "client/app/client_session.h"
#include "testing/temp_dir.h"

namespace tervane::testing {

int64_t NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

std::string BinDir() {
  const char* dir = std::getenv("TERVANE_BIN_DIR");
  return dir != nullptr ? dir : "";
}

bool ProgramExists(const std::string& name) {
  return !BinDir().empty() && ::access((BinDir() + "/" + name).c_str(), X_OK) == 0;
}

ChildProcess::~ChildProcess() { Kill(); }

bool ChildProcess::Start(const ChildOptions& options) {
  if (pid_ > 0 || options.argv.empty()) return false;
  // Everything the child needs is prepared before the fork: after it, the
  // child only calls what is safe in a copy of a threaded process.
  std::vector<std::string> args = options.argv, env = options.environment;
  for (char** e = environ; *e != nullptr; ++e) {
    const size_t name_length = std::strcspn(*e, "=") + 1;
    const auto same_name = [&](const std::string& mine) { return mine.compare(0, name_length, *e, name_length) == 0; };
    if (std::ranges::none_of(options.environment, same_name)) env.emplace_back(*e);
  }
  std::vector<char*> argv(args.size() + 1), envp(env.size() + 1);  // each ends in a null
  std::ranges::transform(args, argv.begin(), [](std::string& a) { return a.data(); });
  std::ranges::transform(env, envp.begin(), [](std::string& e) { return e.data(); });

  const int flags = O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC;
  const char* out_path = options.output_path.empty() ? "/dev/null" : options.output_path.c_str();
  const int out = options.output_fd >= 0 ? -1 : ::open(out_path, flags, 0600);
  const int out_fd = options.output_fd >= 0 ? options.output_fd : out;
  const int err = options.error_path.empty() ? -1 : ::open(options.error_path.c_str(), flags, 0600);
  const int err_fd = options.error_path.empty() ? out_fd : err;
  const int null_in = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  const pid_t pid = out_fd >= 0 && err_fd >= 0 ? ::fork() : -1;
  if (pid == 0) {
    ::dup2(null_in, 0);
    ::dup2(out_fd, 1);
    ::dup2(err_fd, 2);
    const rlimit limit{options.file_size_limit, options.file_size_limit};
    if (options.file_size_limit != 0) ::setrlimit(RLIMIT_FSIZE, &limit);
    ::execve(argv[0], argv.data(), envp.data());
    ::_exit(127);
  }
  for (int fd : {out, err, null_in}) {
    if (fd >= 0) ::close(fd);
  }
  if (pid > 0) pid_ = pid;
  return pid > 0;
}

bool ChildProcess::Signal(int signal) { return pid_ > 0 && ::kill(pid_, signal) == 0; }

bool ChildProcess::Wait(int timeout_ms, int* status) {
  // waitpid fills *status only when it reaps the child.
  for (const int64_t until = NowMs() + timeout_ms; pid_ > 0 && ::waitpid(pid_, status, WNOHANG) != pid_;
       ::usleep(5000)) {
    if (NowMs() >= until) return false;
  }
  pid_ = -1;
  return true;
}

void ChildProcess::Kill() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);  // also ends a stopped child
  ::waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

int ChildProcess::OpenDescriptors() const {
  const std::string dir = "/proc/" + std::to_string(pid_) + "/fd";
  return pid_ > 0 && Exists(dir) ? static_cast<int>(ListDir(dir).size()) : -1;
}

long ChildProcess::ResidentKb() const {
  const std::string status = pid_ > 0 ? ReadFile("/proc/" + std::to_string(pid_) + "/status") : "";
  const size_t at = status.find("\nVmRSS:");
  return at == std::string::npos ? -1 : std::atol(status.c_str() + at + 7);
}

int ChildProcess::ExitCode(int timeout_ms) {
  int status = 0;
  if (Wait(timeout_ms, &status)) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  Kill();
  return -1;
}

int RunToEnd(const ChildOptions& options, int timeout_ms) {
  ChildProcess child;
  return child.Start(options) ? child.ExitCode(timeout_ms) : -1;
}

int RunProgram(const std::vector<std::string>& argv, int timeout_ms, std::string* out, std::string* err) {
  TempDir dir;
  const int code = RunToEnd({.argv = argv, .output_path = dir.At("out"), .error_path = dir.At("err")}, timeout_ms);
  *out = dir.ReadFile("out");
  *err = dir.ReadFile("err");
  return code;
}

std::string ClientBinary() {
  for (const char* name : {"tervaneclt", "../tests/tervaneclt_headless"}) {
    if (ProgramExists(name)) return BinDir() + "/" + name;
  }
  return {};
}

bool WriteClientSettings(const std::string& path, const std::vector<std::string>& directories) {
  std::string text = "[BK_CFG_INIF]\nIP=127.0.0.1\nBEGIN_TM=2026-01-01 03:00:00\nBK_DIRS=";
  for (const std::string& d : directories) text += d + "|";
  // One account for every run of these tests, whatever the host's name.
  return WriteFile(path, text + "\nUSER=" + kSyncUserName + "\n");
}

ChildOptions ClientSyncOptions(const std::string& settings_path, uint16_t port, const std::string& output_path,
                               uint32_t reply_timeout_ms, uint32_t retry_unit_ms) {
  ChildOptions options{.argv = {ClientBinary(), "--sync", "--settings", settings_path, "--port", std::to_string(port),
                                "--retry-unit-ms", std::to_string(retry_unit_ms)},
                       .output_path = output_path};
  if (reply_timeout_ms != 0) {
    options.argv.insert(options.argv.end(), {"--reply-timeout-ms", std::to_string(reply_timeout_ms)});
  }
  return options;
}

std::string ServerCopyPath(const std::string& share, const std::string& day, const std::string& local_path) {
  return share + kSyncUserName + "/" + day + local_path;
}

std::string OnlyWeekdayFolder(const std::string& share) {
  const std::vector<std::string> days = ListDir(share + kSyncUserName);
  return days.size() == 1 ? days[0] : std::string();
}

}  // namespace tervane::testing
