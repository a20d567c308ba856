#include "testing/child_process.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <thread>

#include "testing/temp_dir.h"

namespace tervane::testing {

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::string BinDir() {
  const char* dir = std::getenv("TERVANE_BIN_DIR");
  return dir != nullptr ? dir : "";
}

bool ProgramExists(const std::string& name) {
  const std::string dir = BinDir();
  return !dir.empty() && ::access((dir + "/" + name).c_str(), X_OK) == 0;
}

ChildProcess::~ChildProcess() { Kill(); }

bool ChildProcess::Start(const ChildOptions& options) {
  if (pid_ > 0 || options.argv.empty()) return false;
  // Everything the child needs is prepared before the fork: after it, the
  // child only calls what is safe in a copy of a threaded process.
  std::vector<std::string> args = options.argv;
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> env_strings;
  for (char** e = environ; *e != nullptr; ++e) {
    const char* eq = std::strchr(*e, '=');
    const size_t name_length = eq != nullptr ? static_cast<size_t>(eq - *e) + 1 : std::strlen(*e);
    bool replaced = false;
    for (const std::string& mine : options.environment) replaced |= mine.compare(0, name_length, *e, name_length) == 0;
    if (!replaced) env_strings.emplace_back(*e);
  }
  env_strings.insert(env_strings.end(), options.environment.begin(), options.environment.end());
  std::vector<char*> envp;
  for (std::string& e : env_strings) envp.push_back(e.data());
  envp.push_back(nullptr);

  const int flags = O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC;
  const char* out_path = options.output_path.empty() ? "/dev/null" : options.output_path.c_str();
  const int out = options.output_fd >= 0 ? -1 : ::open(out_path, flags, 0600);
  const int out_fd = options.output_fd >= 0 ? options.output_fd : out;
  const int err = options.error_path.empty() ? -1 : ::open(options.error_path.c_str(), flags, 0600);
  const int err_fd = options.error_path.empty() ? out_fd : err;
  const int null_in = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  pid_t pid = -1;
  if (out_fd >= 0 && err_fd >= 0) {
    pid = ::fork();
    if (pid == 0) {
      if (null_in >= 0) ::dup2(null_in, 0);
      ::dup2(out_fd, 1);
      ::dup2(err_fd, 2);
      if (options.file_size_limit != 0) {
        rlimit limit{options.file_size_limit, options.file_size_limit};
        ::setrlimit(RLIMIT_FSIZE, &limit);
      }
      ::execve(argv[0], argv.data(), envp.data());
      ::_exit(127);
    }
  }
  for (int fd : {out, err, null_in}) {
    if (fd >= 0) ::close(fd);
  }
  if (pid <= 0) return false;
  pid_ = pid;
  return true;
}

bool ChildProcess::Signal(int signal) { return pid_ > 0 && ::kill(pid_, signal) == 0; }

bool ChildProcess::Wait(int timeout_ms, int* status) {
  if (pid_ <= 0) return true;
  const int64_t until = NowMs() + timeout_ms;
  for (;;) {
    int st = 0;
    const pid_t r = ::waitpid(pid_, &st, WNOHANG);
    if (r == pid_) {
      pid_ = -1;
      if (status != nullptr) *status = st;
      return true;
    }
    if (NowMs() >= until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

void ChildProcess::Kill() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);  // also ends a stopped child
  int st = 0;
  ::waitpid(pid_, &st, 0);
  pid_ = -1;
}

int ChildProcess::OpenDescriptors() const {
  if (pid_ <= 0) return -1;
  DIR* d = ::opendir(("/proc/" + std::to_string(pid_) + "/fd").c_str());
  if (d == nullptr) return -1;
  int n = 0;
  while (const dirent* e = ::readdir(d)) {
    if (e->d_name[0] != '.') ++n;
  }
  ::closedir(d);
  return n;
}

long ChildProcess::ResidentKb() const {
  if (pid_ <= 0) return -1;
  std::ifstream in("/proc/" + std::to_string(pid_) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

int RunToEnd(const ChildOptions& options, int timeout_ms) {
  ChildProcess child;
  if (!child.Start(options)) return -1;
  int status = 0;
  if (!child.Wait(timeout_ms, &status)) {
    child.Kill();
    return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int RunProgram(const std::vector<std::string>& argv, int timeout_ms, std::string* out, std::string* err) {
  TempDir dir;
  ChildOptions options;
  options.argv = argv;
  options.output_path = dir.At("out");
  options.error_path = dir.At("err");
  const int code = RunToEnd(options, timeout_ms);
  *out = dir.ReadFile("out");
  *err = dir.ReadFile("err");
  return code;
}

}  // namespace tervane::testing
