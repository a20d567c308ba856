#include "testing/server_child.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "testing/temp_tree.h"

namespace tervane::robust {

uint16_t FreeLoopbackPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  uint16_t port = 0;
  if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
    port = ntohs(addr.sin_port);
  }
  if (fd >= 0) ::close(fd);
  return port;
}

ServerChild::ServerChild(std::string dir) : dir_(std::move(dir)) {}

ServerChild::~ServerChild() { process_.Kill(); }

std::string ServerChild::Binary() {
  const char* dir = std::getenv("TERVANE_BIN_DIR");
  if (dir == nullptr) return {};
  const std::string path = std::string(dir) + "/tervanesvr";
  return ::access(path.c_str(), X_OK) == 0 ? path : std::string();
}

bool ServerChild::WriteConfig(const UserList& users, const std::string& share_root) {
  const std::string root = share_root.empty() ? share() : share_root;
  if (!MakeDirs(root)) return false;
  std::string text = "[SharePath]\r\n" + root + "\r\n";
  for (const auto& [name, password] : users) text += "[User]\r\n" + name + "\r\n" + password + "\r\n";
  return WriteFile(config_path(), text);
}

bool ServerChild::Start(uint64_t file_size_limit, const std::vector<std::string>& extra_args) {
  const std::string binary = Binary();
  if (binary.empty() || process_.running()) return false;

  // The readiness socket: a datagram socket the server writes "READY=1" to.
  const std::string notify_path = dir_ + "/notify.sock";
  ::unlink(notify_path.c_str());
  const int notify = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (notify < 0 || notify_path.size() >= sizeof addr.sun_path) return false;
  std::memcpy(addr.sun_path, notify_path.c_str(), notify_path.size() + 1);
  if (::bind(notify, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(notify);
    return false;
  }

  port_ = FreeLoopbackPort();
  ChildOptions options;
  options.argv = {binary, "--config", config_path(), "--port", std::to_string(port_), "--listen", "127.0.0.1"};
  options.argv.insert(options.argv.end(), extra_args.begin(), extra_args.end());
  options.output_path = dir_ + "/server.log";
  options.environment = {"NOTIFY_SOCKET=" + notify_path};
  options.file_size_limit = file_size_limit;
  bool ready = process_.Start(options);
  if (ready) {
    ready = false;
    const int64_t until = NowMs() + 15000;
    while (!ready && NowMs() < until && process_.Wait(0) == false) {
      pollfd p{notify, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      char message[512];
      const ssize_t n = ::recv(notify, message, sizeof message - 1, 0);
      if (n > 0 && std::string(message, static_cast<size_t>(n)).find("READY=1") != std::string::npos) ready = true;
    }
  }
  ::close(notify);
  ::unlink(notify_path.c_str());
  if (!ready) process_.Kill();
  return ready;
}

bool ServerChild::StopCleanly(std::string* problem, int timeout_ms) {
  problem->clear();
  if (!process_.running()) {
    *problem = "the server was not running";
    return false;
  }
  process_.Signal(SIGCONT);  // a stopped server could not take the stop
  process_.Signal(SIGTERM);
  int status = 0;
  if (!process_.Wait(timeout_ms, &status)) {
    process_.Kill();
    *problem = "the server did not stop within " + std::to_string(timeout_ms) + " ms";
  } else if (WIFSIGNALED(status)) {
    *problem = "the server died of signal " + std::to_string(WTERMSIG(status));
  } else if (WEXITSTATUS(status) != 0) {
    *problem = "the server exited with " + std::to_string(WEXITSTATUS(status));
  }
  const std::string log = Log();
  for (const char* report : {"ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "WARNING: ThreadSanitizer",
                             "runtime error:"}) {
    if (log.find(report) != std::string::npos) *problem += std::string(problem->empty() ? "" : "; ") +
                                                         "its output holds \"" + report + "\"";
  }
  return problem->empty();
}

std::string ServerChild::Log() const { return ReadFile(dir_ + "/server.log"); }

int ServerChild::CountInLog(const std::string& text) const {
  const std::string log = Log();
  int n = 0;
  for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + text.size())) ++n;
  return n;
}

bool ServerChild::WaitForLog(const std::string& text, int count, int timeout_ms) const {
  const int64_t until = NowMs() + timeout_ms;
  do {
    if (CountInLog(text) >= count) return true;
    ::usleep(5000);
  } while (NowMs() < until);
  return CountInLog(text) >= count;
}

}  // namespace tervane::robust
