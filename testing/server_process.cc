#include "testing/server_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace tervane {
namespace {

uint16_t FreeLoopbackPort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  uint16_t port = 0;
  if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
    port = ntohs(addr.sin_port);
  }
  if (fd >= 0) close(fd);
  return port;
}

bool Accepts(uint16_t port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(port);
  const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  close(fd);
  return ok;
}

// Waits at most `ms` for the child to end; true when it did.
bool Reap(pid_t pid, int ms) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  do {
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  } while (std::chrono::steady_clock::now() < until);
  return false;
}

}  // namespace

std::string ServerProcess::Binary() {
  const char* dir = std::getenv("TERVANE_BIN_DIR");
  if (dir == nullptr) return {};
  const std::string path = std::string(dir) + "/tervanesvr";
  return access(path.c_str(), X_OK) == 0 ? path : std::string();
}

std::unique_ptr<ServerProcess> ServerProcess::Start(const std::vector<std::string>& extra_args,
                                                    std::string* why) {
  const std::string binary = Binary();
  if (binary.empty()) {
    *why = "tervanesvr has not been built";
    return nullptr;
  }
  std::unique_ptr<ServerProcess> server(new ServerProcess);
  char pattern[] = "/tmp/tervane-cnet-XXXXXX";
  if (mkdtemp(pattern) == nullptr) {
    *why = "cannot make a temporary directory";
    return nullptr;
  }
  server->directory_ = pattern;
  server->share_root_ = server->directory_ + "/share/";
  std::filesystem::create_directories(server->share_root_);
  const std::string config = server->directory_ + "/Config.cfg";
  {
    std::ofstream out(config, std::ios::binary);
    out << "[SharePath]\r\n" << server->share_root_ << "\r\n";
  }
  server->port_ = FreeLoopbackPort();
  const std::string port = std::to_string(server->port_);
  const std::string log = server->directory_ + "/server.log";

  std::vector<std::string> args = {binary, "--config", config, "--port", port, "--listen", "127.0.0.1"};
  args.insert(args.end(), extra_args.begin(), extra_args.end());
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  const pid_t pid = fork();
  if (pid == 0) {
    const int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd >= 0) {
      dup2(fd, 1);
      dup2(fd, 2);
    }
    execv(argv[0], argv.data());
    _exit(127);
  }
  if (pid < 0) {
    *why = "fork failed";
    return nullptr;
  }
  server->pid_ = pid;
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < until) {
    if (Accepts(server->port_)) return server;
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid) {
      server->pid_ = -1;
      *why = "tervanesvr ended at start: " + server->Output();
      return nullptr;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  *why = "tervanesvr did not accept within 10 s: " + server->Output();
  return nullptr;
}

ServerProcess::~ServerProcess() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    if (!Reap(pid_, 5000)) {
      kill(pid_, SIGKILL);
      Reap(pid_, 5000);
    }
  }
  if (!directory_.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(directory_, ignored);
  }
}

std::string ServerProcess::Output() const {
  std::ifstream in(directory_ + "/server.log", std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace tervane
