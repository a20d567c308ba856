// Test-only helpers for the backup's end-to-end tests: temporary trees, the
// real server run as a child process on loopback, a scripted fake server
// for replies the real one never gives, and running the client program.
// Every child process is stopped by its own pid.
#ifndef TERVANE_TESTING_TEST_SUPPORT_H_
#define TERVANE_TESTING_TEST_SUPPORT_H_

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace tervane::testing {

// A fresh directory under /tmp, removed with everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Writes `content` to `path`, creating missing parent directories.
void WriteFile(const std::string& path, const std::string& content);
void MakeDirs(const std::string& path);
std::string ReadFileBytes(const std::string& path);
// `size` bytes of a fixed pseudo-random sequence picked by `seed`.
std::string PatternBytes(size_t size, uint32_t seed);

// A tree as a map: "a/b.txt" -> content, "a/" -> "" for a directory.
using Tree = std::map<std::string, std::string>;
// Reads every directory and regular file below `root` (symlinks are
// reported as "<link>"). Empty for a missing root.
Tree ReadTree(const std::string& root);

// The binary directory of the build (TERVANE_BIN_DIR), and a program in it.
std::string BinDir();
bool ProgramExists(const std::string& name);

// A loopback port that was free a moment ago.
uint16_t PickFreePort();

// Runs `argv` (argv[0] a path), waits at most `timeout_ms`; returns the exit
// status, or -1 when it had to be killed or died of a signal.
int RunProgram(const std::vector<std::string>& argv, int timeout_ms, std::string* out, std::string* err);

// The real tervanesvr with a share and Config.cfg of its own.
class ServerProcess {
 public:
  // `users`: name and the password text Config.cfg stores (a digest).
  explicit ServerProcess(const std::vector<std::pair<std::string, std::string>>& users = {});
  ~ServerProcess();
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  // Starts it on a free loopback port; true once it accepts connections.
  bool Start();
  void Stop();

  uint16_t port() const { return port_; }
  std::string share() const { return dir_.path() + "/share/"; }
  std::string home(const std::string& user) const { return share() + user; }
  std::string config_path() const { return dir_.path() + "/Config.cfg"; }
  std::string Log() const;
  // Connections the server has released so far ("Server Close ClientSocket!"
  // lines), and a wait (at most `timeout_ms`) until there are more than
  // `seen`: an account is free for a new login only once the server has
  // seen its connection's close, which a loaded machine may delay.
  size_t Releases() const;
  bool WaitForReleases(size_t seen, int timeout_ms) const;

 private:
  TempDir dir_;
  pid_t pid_ = -1;
  uint16_t port_ = 0;
};

// A scripted server: answers each request with what `handler` returns.
// Serves one connection at a time on a loopback port, on its own thread.
class FakeServer {
 public:
  struct Request {
    uint16_t code = 0;
    std::vector<uint8_t> payload;
    uint32_t discarded = 0;  // data bytes of a write that were dropped unread
  };
  // Returns the result code; fills `reply` with the reply payload. A
  // handler returning kCloseConnection has the connection closed instead
  // of answered.
  static constexpr uint32_t kCloseConnection = 0xFFFFFFFFu;
  using Handler = std::function<uint32_t(const Request& request, std::vector<uint8_t>* reply)>;

  // With `discard_write_data`, a write request's payload holds only its 20
  // fixed bytes; the data is dropped in the kernel without being copied
  // (for tests that move gigabytes).
  explicit FakeServer(Handler handler, bool discard_write_data = false);
  ~FakeServer();
  FakeServer(const FakeServer&) = delete;
  FakeServer& operator=(const FakeServer&) = delete;

  uint16_t port() const { return port_; }
  // Request codes received so far, in order.
  std::vector<uint16_t> Codes() const;

 private:
  void Serve();
  void ServeConnection(int fd);

  Handler handler_;
  const bool discard_write_data_;
  int listen_fd_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  mutable std::mutex mu_;
  std::vector<uint16_t> codes_;  // GUARDED_BY(mu_)
  std::thread thread_;
};

// A private D-Bus bus (dbus-daemon) with a fake freedesktop notification
// service on it (python3-dbus) that appends each Notify call's summary and
// body to a file and answers it. Both processes are stopped by their pids.
class FakeNotificationBus {
 public:
  FakeNotificationBus();  // starts both; ready() once the service owns its name
  ~FakeNotificationBus();
  FakeNotificationBus(const FakeNotificationBus&) = delete;
  FakeNotificationBus& operator=(const FakeNotificationBus&) = delete;

  bool ready() const { return ready_; }
  const std::string& address() const { return address_; }
  // "summary|body\n" per notification received so far.
  std::string Received() const;

 private:
  TempDir dir_;
  std::string address_;
  pid_t bus_pid_ = -1;
  pid_t service_pid_ = -1;
  bool ready_ = false;
};

}  // namespace tervane::testing

#endif  // TERVANE_TESTING_TEST_SUPPORT_H_
