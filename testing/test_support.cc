#include "testing/test_support.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "shared/protocol/frame_header.h"
#include "shared/protocol/op_codes.h"

extern char** environ;

namespace tervane::testing {
namespace {

using Clock = std::chrono::steady_clock;

int ElapsedMs(Clock::time_point start) {
  return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

void RemoveTree(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return;
  if (S_ISDIR(st.st_mode)) {
    if (DIR* d = ::opendir(path.c_str())) {
      std::vector<std::string> names;
      while (const dirent* e = ::readdir(d)) {
        const std::string n = e->d_name;
        if (n != "." && n != "..") names.push_back(n);
      }
      ::closedir(d);
      for (const auto& n : names) RemoveTree(path + "/" + n);
    }
    ::rmdir(path.c_str());
  } else {
    ::unlink(path.c_str());
  }
}

void ReadTreeInto(const std::string& root, const std::string& prefix, Tree* tree) {
  DIR* d = ::opendir((root + "/" + prefix).c_str());
  if (d == nullptr) return;
  std::vector<std::string> names;
  while (const dirent* e = ::readdir(d)) {
    const std::string n = e->d_name;
    if (n != "." && n != "..") names.push_back(n);
  }
  ::closedir(d);
  for (const auto& n : names) {
    const std::string rel = prefix + n;
    struct stat st {};
    if (::lstat((root + "/" + rel).c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      (*tree)[rel + "/"] = "";
      ReadTreeInto(root, rel + "/", tree);
    } else if (S_ISREG(st.st_mode)) {
      (*tree)[rel] = ReadFileBytes(root + "/" + rel);
    } else {
      (*tree)[rel] = "<link>";
    }
  }
}

bool ReadExactly(int fd, uint8_t* p, size_t n) {
  while (n > 0) {
    const ssize_t r = ::recv(fd, p, n, 0);
    if (r <= 0) return false;
    p += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}

// Drops n received bytes; TCP discards them in the kernel under MSG_TRUNC.
bool DiscardExactly(int fd, size_t n) {
  static thread_local uint8_t sink[65536];
  while (n > 0) {
    const ssize_t r = ::recv(fd, sink, n < sizeof(sink) ? n : sizeof(sink), MSG_TRUNC);
    if (r <= 0) return false;
    n -= static_cast<size_t>(r);
  }
  return true;
}

bool WriteExactly(int fd, const uint8_t* p, size_t n) {
  while (n > 0) {
    const ssize_t r = ::send(fd, p, n, MSG_NOSIGNAL);
    if (r <= 0) return false;
    p += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}

bool CanConnect(uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
  ::close(fd);
  return ok;
}

// Waits for `pid` at most `timeout_ms`; returns its wait status or -1.
int WaitFor(pid_t pid, int timeout_ms, bool* exited) {
  const auto start = Clock::now();
  for (;;) {
    int status = 0;
    const pid_t r = ::waitpid(pid, &status, WNOHANG);
    if (r == pid) {
      *exited = true;
      return status;
    }
    if (r < 0) {
      *exited = true;
      return -1;
    }
    if (ElapsedMs(start) >= timeout_ms) {
      *exited = false;
      return -1;
    }
    ::usleep(10000);
  }
}

}  // namespace

TempDir::TempDir() {
  char tmpl[] = "/tmp/tervane-capp-XXXXXX";
  if (::mkdtemp(tmpl) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = tmpl;
}

TempDir::~TempDir() { RemoveTree(path_); }

void MakeDirs(const std::string& path) {
  for (size_t i = 1; i <= path.size(); ++i) {
    if (i == path.size() || path[i] == '/') ::mkdir(path.substr(0, i).c_str(), 0755);
  }
}

void WriteFile(const std::string& path, const std::string& content) {
  const size_t slash = path.rfind('/');
  if (slash != std::string::npos && slash > 0) MakeDirs(path.substr(0, slash));
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

std::string ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string PatternBytes(size_t size, uint32_t seed) {
  std::string out(size, '\0');
  uint32_t x = seed * 2654435761u + 1;
  for (size_t i = 0; i < size; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    out[i] = static_cast<char>(x);
  }
  return out;
}

Tree ReadTree(const std::string& root) {
  Tree tree;
  ReadTreeInto(root, "", &tree);
  return tree;
}

std::string BinDir() {
  const char* dir = std::getenv("TERVANE_BIN_DIR");
  return dir != nullptr ? dir : "";
}

bool ProgramExists(const std::string& name) {
  const std::string dir = BinDir();
  return !dir.empty() && ::access((dir + "/" + name).c_str(), X_OK) == 0;
}

uint16_t PickFreePort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof(addr);
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    if (fd >= 0) ::close(fd);
    return 0;
  }
  ::close(fd);
  return ntohs(addr.sin_port);
}

int RunProgram(const std::vector<std::string>& argv, int timeout_ms, std::string* out, std::string* err) {
  int out_pipe[2], err_pipe[2];
  if (::pipe2(out_pipe, O_CLOEXEC) != 0) return -1;
  if (::pipe2(err_pipe, O_CLOEXEC) != 0) {
    ::close(out_pipe[0]);
    ::close(out_pipe[1]);
    return -1;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err_pipe[1], 2);
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  const int spawned = ::posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(out_pipe[1]);
  ::close(err_pipe[1]);
  if (spawned != 0) {
    ::close(out_pipe[0]);
    ::close(err_pipe[0]);
    return -1;
  }
  out->clear();
  err->clear();
  const auto start = Clock::now();
  bool out_open = true, err_open = true, killed = false;
  while (out_open || err_open) {
    const int left = timeout_ms - ElapsedMs(start);
    if (left <= 0) {
      ::kill(pid, SIGKILL);
      killed = true;
      break;
    }
    pollfd fds[2] = {{out_open ? out_pipe[0] : -1, POLLIN, 0}, {err_open ? err_pipe[0] : -1, POLLIN, 0}};
    if (::poll(fds, 2, left) < 0 && errno != EINTR) break;
    char buf[4096];
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      const ssize_t n = ::read(fds[i].fd, buf, sizeof(buf));
      if (n > 0) {
        (i == 0 ? out : err)->append(buf, static_cast<size_t>(n));
      } else {
        (i == 0 ? out_open : err_open) = false;
      }
    }
  }
  ::close(out_pipe[0]);
  ::close(err_pipe[0]);
  bool exited = false;
  int status = WaitFor(pid, killed ? 5000 : std::max(timeout_ms - ElapsedMs(start), 1000), &exited);
  if (!exited) {
    ::kill(pid, SIGKILL);
    WaitFor(pid, 5000, &exited);
    return -1;
  }
  if (killed || status < 0 || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

ServerProcess::ServerProcess(const std::vector<std::pair<std::string, std::string>>& users) {
  MakeDirs(share());
  std::string config = "[SharePath]\r\n" + share() + "\r\n";
  for (const auto& [name, password] : users) config += "[User]\r\n" + name + "\r\n" + password + "\r\n";
  WriteFile(config_path(), config);
}

ServerProcess::~ServerProcess() { Stop(); }

bool ServerProcess::Start() {
  const std::string program = BinDir() + "/tervanesvr";
  for (int attempt = 0; attempt < 3; ++attempt) {
    port_ = PickFreePort();
    if (port_ == 0) continue;
    const std::string log = dir_.path() + "/server.log";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    const std::string port = std::to_string(port_);
    const std::string config = config_path();
    const char* args[] = {program.c_str(), "--config", config.c_str(), "--port", port.c_str(),
                          "--listen", "127.0.0.1", nullptr};
    const int spawned = ::posix_spawn(&pid_, program.c_str(), &actions, nullptr, const_cast<char**>(args), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
      pid_ = -1;
      return false;
    }
    const auto start = Clock::now();
    while (ElapsedMs(start) < 10000) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;  // ended at once, e.g. the port was taken meanwhile
        break;
      }
      if (CanConnect(port_)) return true;
      ::usleep(20000);
    }
    Stop();
  }
  return false;
}

void ServerProcess::Stop() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  bool exited = false;
  WaitFor(pid_, 5000, &exited);
  if (!exited) {
    ::kill(pid_, SIGKILL);
    WaitFor(pid_, 5000, &exited);
  }
  pid_ = -1;
}

std::string ServerProcess::Log() const { return ReadFileBytes(dir_.path() + "/server.log"); }

size_t ServerProcess::Releases() const {
  const std::string log = Log();
  const std::string line = "Server Close ClientSocket!\n";
  size_t n = 0;
  for (size_t at = log.find(line); at != std::string::npos; at = log.find(line, at + line.size())) ++n;
  return n;
}

bool ServerProcess::WaitForReleases(size_t seen, int timeout_ms) const {
  for (int waited = 0; Releases() <= seen; waited += 10) {
    if (waited >= timeout_ms) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

FakeServer::FakeServer(Handler handler, bool discard_write_data)
    : handler_(std::move(handler)), discard_write_data_(discard_write_data) {
  listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof(addr);
  if (listen_fd_ < 0 || ::bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
      ::listen(listen_fd_, 4) != 0 || ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    throw std::runtime_error("fake server cannot listen");
  }
  port_ = ntohs(addr.sin_port);
  thread_ = std::thread([this] { Serve(); });
}

FakeServer::~FakeServer() {
  stop_.store(true);
  thread_.join();
  ::close(listen_fd_);
}

std::vector<uint16_t> FakeServer::Codes() const {
  std::lock_guard<std::mutex> lock(mu_);
  return codes_;
}

void FakeServer::Serve() {
  while (!stop_.load()) {
    pollfd p{listen_fd_, POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0) continue;
    const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    ServeConnection(fd);
    ::close(fd);
  }
}

void FakeServer::ServeConnection(int fd) {
  std::vector<uint8_t> frame(kHeaderSize);
  while (!stop_.load()) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0) continue;
    if (!ReadExactly(fd, frame.data(), kHeaderSize)) return;
    Request request;
    request.code = HeaderCode(frame.data());
    const uint32_t length = HeaderPayloadLength(frame.data());
    if (length > kMaxPayload) return;
    const bool discard = discard_write_data_ && request.code == OP_WRITE_FILE && length > kDataRequestFixed;
    request.payload.resize(discard ? kDataRequestFixed : length);
    if (!request.payload.empty() && !ReadExactly(fd, request.payload.data(), request.payload.size())) return;
    if (discard) {
      request.discarded = length - static_cast<uint32_t>(kDataRequestFixed);
      if (!DiscardExactly(fd, request.discarded)) return;
    }
    {
      std::lock_guard<std::mutex> lock(mu_);
      codes_.push_back(request.code);
    }
    std::vector<uint8_t> reply;
    const uint32_t result = handler_(request, &reply);
    if (result == kCloseConnection) return;
    if (result != 0) reply.clear();
    SetReplyFields(frame.data(), result, static_cast<uint32_t>(reply.size()));
    if (!WriteExactly(fd, frame.data(), kHeaderSize)) return;
    if (!reply.empty() && !WriteExactly(fd, reply.data(), reply.size())) return;
  }
}

namespace {

// The fake service: owns org.freedesktop.Notifications, records each call.
constexpr char kFakeNotificationService[] = R"(
import sys, dbus, dbus.service, dbus.mainloop.glib
from gi.repository import GLib
dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
bus = dbus.bus.BusConnection(sys.argv[1])
class Service(dbus.service.Object):
    @dbus.service.method('org.freedesktop.Notifications', in_signature='susssasa{sv}i', out_signature='u')
    def Notify(self, app, replaces, icon, summary, body, actions, hints, timeout):
        with open(sys.argv[2], 'a', encoding='utf-8') as f:
            f.write(summary + '|' + body + '\n')
        return 1
service = Service(bus, '/org/freedesktop/Notifications')
name = dbus.service.BusName('org.freedesktop.Notifications', bus)
open(sys.argv[3], 'w').close()
loop = GLib.MainLoop()
GLib.timeout_add_seconds(60, loop.quit)
loop.run()
)";

pid_t Spawn(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  return ::posix_spawn(&pid, args[0], nullptr, nullptr, args.data(), environ) == 0 ? pid : -1;
}

void StopProcess(pid_t pid) {
  if (pid <= 0) return;
  ::kill(pid, SIGTERM);
  for (int i = 0; i < 200; ++i) {
    if (::waitpid(pid, nullptr, WNOHANG) == pid) return;
    ::usleep(10000);
  }
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
}

}  // namespace

FakeNotificationBus::FakeNotificationBus() {
  std::string out, err;
  // --fork: the daemon leaves its start-up process and reports its own pid.
  if (RunProgram({"/usr/bin/dbus-daemon", "--session", "--fork", "--print-address=1", "--print-pid=1"}, 10000, &out,
                 &err) != 0) {
    return;
  }
  const size_t nl = out.find('\n');
  if (nl == std::string::npos) return;
  address_ = out.substr(0, nl);
  bus_pid_ = static_cast<pid_t>(std::atoi(out.c_str() + nl + 1));
  const std::string ready_file = dir_.path() + "/ready";
  service_pid_ = Spawn({"/usr/bin/python3", "-c", kFakeNotificationService, address_, dir_.path() + "/received",
                        ready_file});
  for (int i = 0; i < 1500 && service_pid_ > 0 && !ready_; ++i) {  // at most 15 s
    ready_ = ::access(ready_file.c_str(), F_OK) == 0;
    if (!ready_) ::usleep(10000);
  }
}

FakeNotificationBus::~FakeNotificationBus() {
  StopProcess(service_pid_);
  // The daemon is not our child after --fork: it is ended by its pid.
  if (bus_pid_ > 0) ::kill(bus_pid_, SIGTERM);
}

std::string FakeNotificationBus::Received() const {
  struct stat st;
  const std::string path = dir_.path() + "/received";
  return ::stat(path.c_str(), &st) == 0 ? ReadFileBytes(path) : std::string();
}

}  // namespace tervane::testing
