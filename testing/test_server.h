// Test-only: runs the real tervanesvr as a child process on loopback with a
// temporary share and Config.cfg, captures its standard output, and stops it
// by its own pid. Readiness is taken from the "READY=1" the server sends to
// the notify socket this helper gives it, so no probe connection disturbs
// the log.
#ifndef TERVANE_TESTING_TEST_SERVER_H_
#define TERVANE_TESTING_TEST_SERVER_H_

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace tervane::testing {

using UserList = std::vector<std::pair<std::string, std::string>>;  // name, password

class TestServer {
 public:
  // Creates a fresh directory under /tmp holding "share/" and "Config.cfg"
  // that lists `users` (name, password). The destructor stops a server
  // still running (a test failure unless it exits 0), fails the test when a
  // sanitizer reported anything on the server's standard error, and removes
  // the directory.
  explicit TestServer(const UserList& users = {});
  ~TestServer();
  TestServer(const TestServer&) = delete;
  TestServer& operator=(const TestServer&) = delete;

  // From the next start on, standard output is a pipe of 4 KiB that nobody
  // reads (Log() then stays empty).
  void StallOutput() { stall_output_ = true; }

  // Starts the server on a free loopback port with `extra_args` appended.
  // True once it reported READY=1 (within 15 s).
  bool Start(const std::vector<std::string>& extra_args = {});
  // Starts the server with exactly these arguments (no --config, --port or
  // --listen added) and waits for it to end; returns its exit status, or -1
  // when it had to be killed.
  int RunToExit(const std::vector<std::string>& args, int timeout_ms = 10000);

  // Sends SIGTERM and waits up to `timeout_ms` for the exit. Returns the exit
  // status, or -1 when the process had to be killed or died of a signal.
  int Stop(int timeout_ms = 10000);
  bool running() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }

  uint16_t port() const { return port_; }
  const std::string& dir() const { return dir_; }
  std::string share() const { return dir_ + "/share/"; }
  std::string config_path() const { return dir_ + "/Config.cfg"; }

  // What the server wrote so far to standard output / standard error.
  std::string Log() const;
  std::string Errors() const;
  // Waits (at most `timeout_ms`) until the log holds `text` `count` times.
  bool WaitForLog(const std::string& text, int count = 1, int timeout_ms = 10000) const;
  // The log's lines, each with its "\n".
  std::vector<std::string> LogLines() const;
  // Notifications received so far on the notify socket, in order.
  std::vector<std::string> Notifications();

 private:
  // Waits for the child to exit: its exit status, or -1 after a signal or
  // when it had to be killed at the end of timeout_ms.
  int WaitForExit(int timeout_ms);
  bool Spawn(const std::vector<std::string>& args);
  void DrainNotifications(int wait_ms);

  std::string dir_;
  pid_t pid_ = -1;
  uint16_t port_ = 0;
  int notify_fd_ = -1;
  std::vector<std::string> notifications_;
  bool stall_output_ = false;
  int stalled_fd_ = -1;  // the unread end of the output pipe
};

// Counts the non-overlapping occurrences of `needle` in `hay`.
int CountOf(const std::string& hay, const std::string& needle);

}  // namespace tervane::testing

#endif  // TERVANE_TESTING_TEST_SERVER_H_
