#include "testing/test_server.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include <gtest/gtest.h>

#include "testing/loopback.h"

namespace tervane::testing {

constexpr char kReleased[] = "Server Close ClientSocket!";

int CountOf(const std::string& hay, const std::string& needle) {
  int count = 0;
  for (size_t at = hay.find(needle); at != std::string::npos; at = hay.find(needle, at + needle.size())) ++count;
  return count;
}

std::string TestServer::Binary() { return ProgramExists("tervanesvr") ? BinDir() + "/tervanesvr" : std::string(); }

TestServer::TestServer(const UserList& users) { WriteConfig(users); }

TestServer::~TestServer() {
  // A server that stops badly, or whose sanitizer spoke up, fails the test
  // that ran it even when the test did not stop it itself.
  EXPECT_TRUE(!process_.running() || Stop(5000) == 0) << "tervanesvr did not stop cleanly; stderr:\n" << Errors();
  for (const char* report : {"ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "WARNING: ThreadSanitizer",
                             "runtime error:"}) {
    EXPECT_EQ(Errors().find(report), std::string::npos) << Errors();
  }
  for (int fd : {notify_fd_, stalled_fd_}) {
    if (fd >= 0) ::close(fd);
  }
}

bool TestServer::WriteConfig(const UserList& users, const std::string& share_root) {
  share_ = share_root.empty() ? dir_.At("share/") : share_root;
  std::string text = "[SharePath]\r\n" + share_ + "\r\n";
  for (const auto& [user, password] : users) text += "[User]\r\n" + user + "\r\n" + password + "\r\n";
  return MakeDirs(share_) && testing::WriteFile(config_path(), text);
}

bool TestServer::Spawn(const std::vector<std::string>& args) {
  const std::string notify_path = dir_.At("notify");
  if (notify_fd_ < 0) {
    notify_fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{.sun_family = AF_UNIX, .sun_path = {}};
    std::strncpy(addr.sun_path, notify_path.c_str(), sizeof addr.sun_path - 1);
    if (::bind(notify_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return false;
  }
  notifications_.clear();
  ChildOptions options{.argv = {BinDir() + "/tervanesvr"}, .output_path = dir_.At("stdout.txt"),
                       .error_path = dir_.At("stderr.txt"), .environment = {"NOTIFY_SOCKET=" + notify_path},
                       .file_size_limit = file_size_limit_};
  options.argv.insert(options.argv.end(), args.begin(), args.end());
  // Each start's output alone.
  ::truncate(options.output_path.c_str(), 0);
  ::truncate(options.error_path.c_str(), 0);
  int stalled[2] = {-1, -1};
  if (stall_output_) {
    if (::pipe2(stalled, O_CLOEXEC) != 0) return false;
    ::fcntl(stalled[1], F_SETPIPE_SZ, 4096);
    options.output_fd = stalled[1];
    if (stalled_fd_ >= 0) ::close(stalled_fd_);
    stalled_fd_ = stalled[0];
  }
  const bool started = process_.Start(options);
  if (stalled[1] >= 0) ::close(stalled[1]);
  return started;
}

bool TestServer::Start(const std::vector<std::string>& extra_args) {
  if (process_.running()) return false;
  for (int attempt = 0; attempt < 3; ++attempt) {
    port_ = PickFreePort();
    std::vector<std::string> args = {"--config", config_path(), "--port", std::to_string(port_), "--listen",
                                     "127.0.0.1"};
    args.insert(args.end(), extra_args.begin(), extra_args.end());
    if (!Spawn(args)) return false;
    for (const int64_t deadline = NowMs() + 15000; NowMs() < deadline && process_.running();) {
      DrainNotifications(50);
      const auto ready = [](const std::string& n) { return n.find("READY=1") != std::string::npos; };
      if (std::ranges::any_of(notifications_, ready)) return true;
      process_.Wait(0);  // an early end: perhaps the port was taken meanwhile; try another
    }
    if (process_.running()) {
      Stop(2000);  // running but never ready
      return false;
    }
  }
  return false;
}

int TestServer::RunToExit(const std::vector<std::string>& args, int timeout_ms) {
  return process_.running() || !Spawn(args) ? -1 : WaitForExit(timeout_ms);
}

int TestServer::Stop(int timeout_ms) {
  process_.Signal(SIGCONT);  // a stopped server could not take the stop
  return process_.Signal(SIGTERM) ? WaitForExit(timeout_ms) : -1;
}

int TestServer::WaitForExit(int timeout_ms) {
  const int code = process_.ExitCode(timeout_ms);
  DrainNotifications(0);
  return code;
}

void TestServer::DrainNotifications(int wait_ms) {
  pollfd p{notify_fd_, POLLIN, 0};
  for (char buf[512]; notify_fd_ >= 0 && ::poll(&p, 1, wait_ms) == 1; wait_ms = 0) {
    const ssize_t n = ::recv(notify_fd_, buf, sizeof buf, 0);
    if (n <= 0) break;
    notifications_.emplace_back(buf, static_cast<size_t>(n));
  }
}

std::vector<std::string> TestServer::Notifications() {
  DrainNotifications(0);
  return notifications_;
}

std::string TestServer::Log() const { return dir_.ReadFile("stdout.txt"); }
std::string TestServer::Errors() const { return dir_.ReadFile("stderr.txt"); }
int TestServer::CountInLog(const std::string& text) const { return CountOf(Log(), text); }

bool TestServer::WaitForLog(const std::string& text, int count, int timeout_ms) const {
  for (const int64_t deadline = NowMs() + timeout_ms; CountInLog(text) < count; ::usleep(5000)) {
    if (NowMs() >= deadline) return false;
  }
  return true;
}

std::vector<std::string> TestServer::LogLines() const {
  std::vector<std::string> lines;
  const std::string text = Log();
  for (size_t start = 0, end; start < text.size(); start = end) {
    end = std::min(text.find('\n', start), text.size() - 1) + 1;
    lines.push_back(text.substr(start, end - start));
  }
  return lines;
}

bool TestServer::WaitForRelease(int seen, int timeout_ms) const { return WaitForLog(kReleased, seen + 1, timeout_ms); }

}  // namespace tervane::testing
