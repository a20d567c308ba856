#include "testing/test_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

extern char** environ;

namespace tervane::testing {
namespace {

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// A port nobody listens on right now: bind port 0, read it, let it go.
uint16_t PickFreePort() {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
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

std::string ServerBinary() {
  const char* dir = std::getenv("TERVANE_BIN_DIR");
  return std::string(dir != nullptr ? dir : "build/bin") + "/tervanesvr";
}

}  // namespace

int CountOf(const std::string& hay, const std::string& needle) {
  int count = 0;
  for (size_t at = hay.find(needle); at != std::string::npos; at = hay.find(needle, at + needle.size())) {
    ++count;
  }
  return count;
}

TestServer::TestServer(const UserList& users) {
  char name[] = "/tmp/tervane_svr_XXXXXX";
  dir_ = ::mkdtemp(name);
  std::filesystem::create_directories(share());
  std::ofstream cfg(config_path(), std::ios::binary);
  cfg << "[SharePath]\r\n" << share() << "\r\n";
  for (const auto& [user, password] : users) cfg << "[User]\r\n" << user << "\r\n" << password << "\r\n";
}

TestServer::~TestServer() {
  // A server that stops badly, or whose sanitizer spoke up, fails the test
  // that ran it even when the test did not stop it itself.
  if (pid_ > 0) {
    int status = Stop(5000);
    EXPECT_EQ(status, 0) << "tervanesvr did not stop cleanly; stderr:\n" << Errors();
  }
  EXPECT_EQ(Errors().find("Sanitizer"), std::string::npos) << Errors();
  if (notify_fd_ >= 0) ::close(notify_fd_);
  if (stalled_fd_ >= 0) ::close(stalled_fd_);
  std::error_code ec;
  std::filesystem::remove_all(dir_, ec);
}

bool TestServer::Spawn(const std::vector<std::string>& args) {
  if (notify_fd_ < 0) {
    notify_fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::string path = dir_ + "/notify";
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    if (::bind(notify_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return false;
  }
  notifications_.clear();

  std::vector<std::string> argv_text = {ServerBinary()};
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argv_text) argv.push_back(a.data());
  argv.push_back(nullptr);

  std::vector<std::string> env_text;
  for (char** e = environ; *e != nullptr; ++e) {
    if (std::strncmp(*e, "NOTIFY_SOCKET=", 14) != 0) env_text.emplace_back(*e);
  }
  env_text.push_back("NOTIFY_SOCKET=" + dir_ + "/notify");
  std::vector<char*> envp;
  for (auto& e : env_text) envp.push_back(e.data());
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  std::string out = dir_ + "/stdout.txt";
  std::string err = dir_ + "/stderr.txt";
  int stalled[2] = {-1, -1};
  if (stall_output_) {
    if (::pipe2(stalled, O_CLOEXEC) != 0) return false;
    ::fcntl(stalled[1], F_SETPIPE_SZ, 4096);
    posix_spawn_file_actions_adddup2(&actions, stalled[1], STDOUT_FILENO);
  } else {
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  }
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  pid_t pid = -1;
  int rc = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (stall_output_) {
    ::close(stalled[1]);
    if (stalled_fd_ >= 0) ::close(stalled_fd_);
    stalled_fd_ = stalled[0];
  }
  if (rc != 0) return false;
  pid_ = pid;
  return true;
}

bool TestServer::Start(const std::vector<std::string>& extra_args) {
  for (int attempt = 0; attempt < 3; ++attempt) {
    port_ = PickFreePort();
    std::vector<std::string> args = {"--config", config_path(), "--port", std::to_string(port_),
                                     "--listen", "127.0.0.1"};
    args.insert(args.end(), extra_args.begin(), extra_args.end());
    if (!Spawn(args)) return false;
    int64_t deadline = NowMs() + 15000;
    while (NowMs() < deadline) {
      DrainNotifications(50);
      for (const auto& n : notifications_) {
        if (n.find("READY=1") != std::string::npos) return true;
      }
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        break;  // failed to start (perhaps the port was taken meanwhile): try another port
      }
    }
    if (pid_ > 0) {
      Stop(2000);
      return false;
    }
  }
  return false;
}

int TestServer::RunToExit(const std::vector<std::string>& args, int timeout_ms) {
  if (!Spawn(args)) return -1;
  return WaitForExit(timeout_ms);
}

int TestServer::Stop(int timeout_ms) {
  if (pid_ <= 0) return -1;
  ::kill(pid_, SIGTERM);
  return WaitForExit(timeout_ms);
}

int TestServer::WaitForExit(int timeout_ms) {
  int64_t deadline = NowMs() + timeout_ms;
  while (NowMs() < deadline) {
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      DrainNotifications(0);
      return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    ::usleep(10000);
  }
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, nullptr, 0);
  pid_ = -1;
  return -1;
}

void TestServer::DrainNotifications(int wait_ms) {
  if (notify_fd_ < 0) return;
  pollfd p{notify_fd_, POLLIN, 0};
  while (::poll(&p, 1, wait_ms) == 1) {
    char buf[512];
    ssize_t n = ::recv(notify_fd_, buf, sizeof buf, 0);
    if (n <= 0) break;
    notifications_.emplace_back(buf, static_cast<size_t>(n));
    wait_ms = 0;
  }
}

std::vector<std::string> TestServer::Notifications() {
  DrainNotifications(0);
  return notifications_;
}

std::string TestServer::Log() const { return ReadWhole(dir_ + "/stdout.txt"); }
std::string TestServer::Errors() const { return ReadWhole(dir_ + "/stderr.txt"); }

bool TestServer::WaitForLog(const std::string& text, int count, int timeout_ms) const {
  int64_t deadline = NowMs() + timeout_ms;
  do {
    if (CountOf(Log(), text) >= count) return true;
    ::usleep(10000);
  } while (NowMs() < deadline);
  return CountOf(Log(), text) >= count;
}

std::vector<std::string> TestServer::LogLines() const {
  std::vector<std::string> lines;
  std::string text = Log();
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) {
      lines.push_back(text.substr(start));
      break;
    }
    lines.push_back(text.substr(start, end - start + 1));
    start = end + 1;
  }
  return lines;
}

}  // namespace tervane::testing
