#include "bench/child_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ftw.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <thread>
#include <vector>

#include "shared/platform/win_error.h"

namespace tervane::bench {
namespace {

constexpr uint32_t kStartWaitMs = 15000;
constexpr uint32_t kNotAnswering = 1460;  // ERROR_TIMEOUT

bool CanConnect(uint16_t port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  ::close(fd);
  return ok;
}

int RemoveEntry(const char* path, const struct stat*, int type, FTW*) {
  int rc = type == FTW_DP ? ::rmdir(path) : ::unlink(path);
  return rc == 0 || errno == ENOENT ? 0 : errno;
}

}  // namespace

std::string DefaultServerBinary() {
  const char* dir = std::getenv("TERVANE_BIN_DIR");
  if (dir != nullptr && dir[0] != '\0') return std::string(dir) + "/tervanesvr";
  char self[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return "tervanesvr";
  std::string path(self, static_cast<size_t>(n));
  return path.substr(0, path.rfind('/') + 1) + "tervanesvr";
}

uint16_t PickFreePort() {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  uint16_t port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
    port = ntohs(addr.sin_port);
  }
  ::close(fd);
  return port;
}

uint32_t RemoveTree(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return errno == ENOENT ? 0 : WinErrorFromErrno(errno);
  int rc = ::nftw(path.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
  if (rc < 0) return WinErrorFromErrno(errno);
  return rc == 0 ? 0 : WinErrorFromErrno(rc);
}

ChildServer::ChildServer(std::string server_binary) : binary_(std::move(server_binary)) {}

ChildServer::~ChildServer() {
  Stop();
  if (!dir_.empty()) RemoveTree(dir_);
}

uint32_t ChildServer::Start(const std::string& scratch_parent) {
  if (running()) return ERROR_INVALID_FUNCTION;
  std::string pattern = scratch_parent + "/tervane-child-XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  if (::mkdtemp(name.data()) == nullptr) return WinErrorFromErrno(errno);
  dir_ = name.data();
  if (::mkdir(share().c_str(), 0755) != 0) return WinErrorFromErrno(errno);
  std::string config = dir_ + "/Config.cfg";
  {
    std::ofstream out(config, std::ios::binary);
    out << "[SharePath]\r\n" << share() << "\r\n";
    if (!out.flush()) return ERROR_WRITE_PROTECT;
  }
  port_ = PickFreePort();
  if (port_ == 0) return WSAEADDRINUSE;

  std::string port_text = std::to_string(port_);
  std::vector<std::string> argv = {binary_, "--config", config, "--listen", "127.0.0.1", "--port", port_text};
  std::vector<char*> args;
  for (std::string& a : argv) args.push_back(a.data());
  args.push_back(nullptr);
  int log = ::open(log_path().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (log < 0) return WinErrorFromErrno(errno);
  pid_t pid = ::fork();
  if (pid < 0) {
    uint32_t code = WinErrorFromErrno(errno);
    ::close(log);
    return code;
  }
  if (pid == 0) {
    ::dup2(log, STDOUT_FILENO);
    ::dup2(log, STDERR_FILENO);
    ::execv(args[0], args.data());
    ::_exit(127);
  }
  ::close(log);
  pid_ = pid;

  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStartWaitMs);
  while (std::chrono::steady_clock::now() < deadline) {
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return ERROR_INVALID_FUNCTION;  // it ended at start-up; the log says why
    }
    if (CanConnect(port_)) return 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  Stop();
  return kNotAnswering;
}

int ChildServer::Stop(int timeout_ms) {
  if (pid_ <= 0) return -1;
  ::kill(pid_, SIGTERM);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  int status = 0;
  bool ended = false;
  while (std::chrono::steady_clock::now() < deadline) {
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      ended = true;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (!ended) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, &status, 0);
  }
  pid_ = -1;
  return ended && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

uint64_t ChildServer::PeakRssKib() const {
  if (pid_ <= 0) return 0;
  std::ifstream in("/proc/" + std::to_string(pid_) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    unsigned long long kib = 0;
    if (std::sscanf(line.c_str(), "VmHWM: %llu kB", &kib) == 1) return kib;
  }
  return 0;
}

}  // namespace tervane::bench
