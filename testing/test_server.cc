#include "testing/test_server.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

#include <gtest/gtest.h>

#include "testing/free_port.h"
#include "testing/temp_dir.h"

namespace tervane::testing {
namespace {

constexpr char kReleased[] = "Server Close ClientSocket!";
// What a sanitizer writes when it finds a fault.
constexpr const char* kSanitizerReports[] = {"ERROR: AddressSanitizer", "ERROR: LeakSanitizer",
                                             "WARNING: ThreadSanitizer", "runtime error:"};

}  // namespace

int CountOf(const std::string& hay, const std::string& needle) {
  int count = 0;
  for (size_t at = hay.find(needle); at != std::string::npos; at = hay.find(needle, at + needle.size())) ++count;
  return count;
}

std::string TestServer::Binary() {
  return ProgramExists("tervanesvr") ? BinDir() + "/tervanesvr" : std::string();
}

TestServer::TestServer(const UserList& users) {
  char name[] = "/tmp/tervane-svr-XXXXXX";
  if (::mkdtemp(name) == nullptr) throw std::runtime_error("mkdtemp failed");
  dir_ = name;
  WriteConfig(users);
}

TestServer::~TestServer() {
  // A server that stops badly, or whose sanitizer spoke up, fails the test
  // that ran it even when the test did not stop it itself.
  if (process_.running()) {
    const int status = Stop(5000);
    EXPECT_EQ(status, 0) << "tervanesvr did not stop cleanly; stderr:\n" << Errors();
  }
  for (const char* report : kSanitizerReports) {
    EXPECT_EQ(Errors().find(report), std::string::npos) << Errors();
  }
  if (notify_fd_ >= 0) ::close(notify_fd_);
  if (stalled_fd_ >= 0) ::close(stalled_fd_);
  RemoveAll(dir_);
}

bool TestServer::WriteConfig(const UserList& users, const std::string& share_root) {
  share_ = share_root.empty() ? dir_ + "/share/" : share_root;
  if (!MakeDirs(share_)) return false;
  std::string text = "[SharePath]\r\n" + share_ + "\r\n";
  for (const auto& [user, password] : users) text += "[User]\r\n" + user + "\r\n" + password + "\r\n";
  return testing::WriteFile(config_path(), text);
}

bool TestServer::Spawn(const std::vector<std::string>& args) {
  const std::string notify_path = dir_ + "/notify";
  if (notify_fd_ < 0) {
    notify_fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, notify_path.c_str(), sizeof addr.sun_path - 1);
    if (::bind(notify_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return false;
  }
  notifications_.clear();

  ChildOptions options;
  options.argv = {BinDir() + "/tervanesvr"};
  options.argv.insert(options.argv.end(), args.begin(), args.end());
  options.environment = {"NOTIFY_SOCKET=" + notify_path};
  options.file_size_limit = file_size_limit_;
  // Each start's output alone.
  ::truncate((dir_ + "/stdout.txt").c_str(), 0);
  ::truncate((dir_ + "/stderr.txt").c_str(), 0);
  options.output_path = dir_ + "/stdout.txt";
  options.error_path = dir_ + "/stderr.txt";
  int stalled[2] = {-1, -1};
  if (stall_output_) {
    if (::pipe2(stalled, O_CLOEXEC) != 0) return false;
    ::fcntl(stalled[1], F_SETPIPE_SZ, 4096);
    options.output_fd = stalled[1];
  }
  const bool started = process_.Start(options);
  if (stall_output_) {
    ::close(stalled[1]);
    if (stalled_fd_ >= 0) ::close(stalled_fd_);
    stalled_fd_ = stalled[0];
  }
  return started;
}

bool TestServer::Start(const std::vector<std::string>& extra_args) {
  if (process_.running()) return false;
  for (int attempt = 0; attempt < 3; ++attempt) {
    port_ = PickFreePort();
    std::vector<std::string> args = {"--config", config_path(), "--port", std::to_string(port_),
                                     "--listen", "127.0.0.1"};
    args.insert(args.end(), extra_args.begin(), extra_args.end());
    if (!Spawn(args)) return false;
    const int64_t deadline = NowMs() + 15000;
    while (NowMs() < deadline && process_.running()) {
      DrainNotifications(50);
      for (const auto& n : notifications_) {
        if (n.find("READY=1") != std::string::npos) return true;
      }
      process_.Wait(0);  // an early end: perhaps the port was taken meanwhile; try another
    }
    if (process_.running()) {
      Stop(2000);
      return false;
    }
  }
  return false;
}

int TestServer::RunToExit(const std::vector<std::string>& args, int timeout_ms) {
  if (process_.running() || !Spawn(args)) return -1;
  return WaitForExit(timeout_ms);
}

int TestServer::Stop(int timeout_ms) {
  process_.Signal(SIGCONT);  // a stopped server could not take the stop
  if (!process_.Signal(SIGTERM)) return -1;
  return WaitForExit(timeout_ms);
}

bool TestServer::StopCleanly(std::string* problem, int timeout_ms) {
  problem->clear();
  if (!process_.running()) {
    *problem = "the server was not running";
    return false;
  }
  const int status = Stop(timeout_ms);
  if (status != 0) *problem = "the server exited with " + std::to_string(status) + " (-1: killed or a signal)";
  const std::string output = Log() + Errors();
  for (const char* report : kSanitizerReports) {
    if (output.find(report) != std::string::npos) {
      *problem += std::string(problem->empty() ? "" : "; ") + "its output holds \"" + report + "\"";
    }
  }
  return problem->empty();
}

int TestServer::WaitForExit(int timeout_ms) {
  int status = 0;
  if (!process_.Wait(timeout_ms, &status)) {
    process_.Kill();
    return -1;
  }
  DrainNotifications(0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void TestServer::DrainNotifications(int wait_ms) {
  if (notify_fd_ < 0) return;
  pollfd p{notify_fd_, POLLIN, 0};
  while (::poll(&p, 1, wait_ms) == 1) {
    char buf[512];
    const ssize_t n = ::recv(notify_fd_, buf, sizeof buf, 0);
    if (n <= 0) break;
    notifications_.emplace_back(buf, static_cast<size_t>(n));
    wait_ms = 0;
  }
}

std::vector<std::string> TestServer::Notifications() {
  DrainNotifications(0);
  return notifications_;
}

std::string TestServer::Log() const { return ReadFile(dir_ + "/stdout.txt"); }
std::string TestServer::Errors() const { return ReadFile(dir_ + "/stderr.txt"); }
int TestServer::CountInLog(const std::string& text) const { return CountOf(Log(), text); }

bool TestServer::WaitForLog(const std::string& text, int count, int timeout_ms) const {
  const int64_t deadline = NowMs() + timeout_ms;
  while (CountInLog(text) < count) {
    if (NowMs() >= deadline) return false;
    ::usleep(5000);
  }
  return true;
}

std::vector<std::string> TestServer::LogLines() const {
  std::vector<std::string> lines;
  const std::string text = Log();
  for (size_t start = 0; start < text.size();) {
    const size_t end = text.find('\n', start);
    const size_t next = end == std::string::npos ? text.size() : end + 1;
    lines.push_back(text.substr(start, next - start));
    start = next;
  }
  return lines;
}

int TestServer::Releases() const { return CountInLog(kReleased); }

bool TestServer::WaitForRelease(int seen, int timeout_ms) const { return WaitForLog(kReleased, seen + 1, timeout_ms); }

}  // namespace tervane::testing
