// Test-only: the real tervanesvr run as a child process on 127.0.0.1 over a
// fresh directory of its own ("share/" and "Config.cfg" in it): started,
// stopped, killed and started again over the same share, always by its own
// pid. Readiness is the "READY=1" the server sends to the notify socket this
// helper gives it, so no probe connection shows in the log.
//
// Not thread-safe: one thread drives one server; Log() and the waits on it
// may be called from any thread.
#ifndef TERVANE_TESTING_TEST_SERVER_H_
#define TERVANE_TESTING_TEST_SERVER_H_

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "testing/child_process.h"
#include "testing/temp_dir.h"

namespace tervane::testing {

using UserList = std::vector<std::pair<std::string, std::string>>;  // name, password as Config.cfg keeps it

class TestServer {
 public:
  // Makes the directory and writes Config.cfg listing `users` over
  // "<dir>/share/". The destructor stops a server still running (a test
  // failure unless it exits 0), fails the test when a sanitizer reported
  // anything, and removes the directory.
  explicit TestServer(const UserList& users = {});
  ~TestServer();
  TestServer(const TestServer&) = delete;
  TestServer& operator=(const TestServer&) = delete;

  static std::string Binary();  // $TERVANE_BIN_DIR/tervanesvr, empty when not built

  // Rewrites Config.cfg with `users` over `share_root` (default
  // "<dir>/share/", which share() then names) and creates the share root.
  bool WriteConfig(const UserList& users, const std::string& share_root = std::string());
  // For the next start: standard output a 4 KiB pipe nobody reads (Log()
  // stays empty); a file-size limit (bytes) on the server process.
  void StallOutput() { stall_output_ = true; }
  void LimitFileSize(uint64_t bytes) { file_size_limit_ = bytes; }

  // Starts the server on a free loopback port with `extra_args` appended;
  // true once it reported READY=1 (within 15 s), else the reason is in Errors().
  bool Start(const std::vector<std::string>& extra_args = {});
  // Runs it with exactly `args` (no --config, --port, --listen) to its end:
  // the exit status, or -1 when it had to be killed.
  int RunToExit(const std::vector<std::string>& args, int timeout_ms = 10000);
  // SIGTERM, then the exit status, or -1 when it had to be killed or died of a signal.
  int Stop(int timeout_ms = 10000);
  ChildProcess& process() { return process_; }  // signals, descriptors, memory

  uint16_t port() const { return port_; }
  const std::string& dir() const { return dir_.path(); }
  const std::string& share() const { return share_; }  // ends in '/'
  std::string home(const std::string& user) const { return share_ + user; }
  std::string config_path() const { return dir_.At("Config.cfg"); }

  // Standard output / standard error since the last start; the log's lines,
  // each with its "\n"; the notify socket's messages so far, in order.
  std::string Log() const;
  std::string Errors() const;
  int CountInLog(const std::string& text) const;
  bool WaitForLog(const std::string& text, int count = 1, int timeout_ms = 10000) const;  // `count` times
  std::vector<std::string> LogLines() const;
  std::vector<std::string> Notifications();

  // An account is free for a new login only once the server has seen its
  // connection's close, which a loaded machine may delay: WaitForRelease
  // waits until more than `seen` connections were released.
  bool WaitForRelease(int seen, int timeout_ms = 10000) const;

 private:
  bool Spawn(const std::vector<std::string>& args);
  int WaitForExit(int timeout_ms);
  void DrainNotifications(int wait_ms);

  TempDir dir_;  // first made, last removed: after the process has ended
  std::string share_;
  ChildProcess process_;
  uint16_t port_ = 0;
  int notify_fd_ = -1;
  std::vector<std::string> notifications_;
  bool stall_output_ = false;
  int stalled_fd_ = -1;  // the unread end of the output pipe
  uint64_t file_size_limit_ = 0;
};

int CountOf(const std::string& hay, const std::string& needle);  // non-overlapping occurrences

}  // namespace tervane::testing

#endif  // TERVANE_TESTING_TEST_SERVER_H_
