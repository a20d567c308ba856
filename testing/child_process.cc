#include "testing/child_process.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

namespace tervane::robust {

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
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
  std::vector<std::string> env_strings = options.environment;
  std::vector<char*> envp;
  for (char** e = environ; *e != nullptr; ++e) envp.push_back(*e);
  for (std::string& e : env_strings) envp.push_back(e.data());
  envp.push_back(nullptr);
  const std::string output = options.output_path.empty() ? "/dev/null" : options.output_path;
  const int out = ::open(output.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (out < 0) return false;
  const int null_in = ::open("/dev/null", O_RDONLY | O_CLOEXEC);

  const pid_t pid = ::fork();
  if (pid == 0) {
    if (null_in >= 0) ::dup2(null_in, 0);
    ::dup2(out, 1);
    ::dup2(out, 2);
    if (options.file_size_limit != 0) {
      rlimit limit{options.file_size_limit, options.file_size_limit};
      ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    ::execve(argv[0], argv.data(), envp.data());
    ::_exit(127);
  }
  ::close(out);
  if (null_in >= 0) ::close(null_in);
  if (pid < 0) return false;
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

}  // namespace tervane::robust
