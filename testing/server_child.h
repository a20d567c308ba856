// Test-only: the real tervanesvr run as a child process on 127.0.0.1 over a
// directory of the test's ("share/" and "Config.cfg" in it), so that it can
// be stopped, killed and started again over the same share. Readiness is
// taken from the "READY=1" the server sends to the notify socket given to
// it, so no probe connection shows in its log.
//
// Not thread-safe: one thread drives one server; Log() may be read from any
// thread.
#ifndef TERVANE_TESTING_SERVER_CHILD_H_
#define TERVANE_TESTING_SERVER_CHILD_H_

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "testing/child_process.h"

namespace tervane::robust {

using UserList = std::vector<std::pair<std::string, std::string>>;  // name, password as sent

class ServerChild {
 public:
  // `dir` must exist; the share is `dir`/share/ unless WriteConfig names
  // another root.
  explicit ServerChild(std::string dir);
  ~ServerChild();
  ServerChild(const ServerChild&) = delete;
  ServerChild& operator=(const ServerChild&) = delete;

  // $TERVANE_BIN_DIR/tervanesvr, or empty when it is not there.
  static std::string Binary();

  // Writes Config.cfg naming `share_root` (default: the share) and `users`,
  // and creates the share root.
  bool WriteConfig(const UserList& users, const std::string& share_root = std::string());

  // Starts the server on a free loopback port with `extra_args` and waits
  // (at most 15 s) until it is ready. `file_size_limit` (bytes, 0 = none)
  // is set on the server process before it starts. False, with the reason
  // in the log, when it does not come up.
  bool Start(uint64_t file_size_limit = 0, const std::vector<std::string>& extra_args = {});

  // Ends the server as its service manager would (SIGTERM, at most
  // `timeout_ms`) and tells whether it ended well: exit status 0 and no
  // sanitizer report in its output. *problem says what was wrong.
  bool StopCleanly(std::string* problem, int timeout_ms = 10000);

  ChildProcess& process() { return process_; }
  uint16_t port() const { return port_; }
  std::string share() const { return dir_ + "/share/"; }
  std::string config_path() const { return dir_ + "/Config.cfg"; }

  // Everything the server wrote to standard output and error, over all its
  // starts.
  std::string Log() const;
  int CountInLog(const std::string& text) const;
  // Waits (at most `timeout_ms`) until the log holds `text` at least
  // `count` times.
  bool WaitForLog(const std::string& text, int count, int timeout_ms) const;

 private:
  std::string dir_;
  ChildProcess process_;
  uint16_t port_ = 0;
};

// A TCP port on 127.0.0.1 that was free a moment ago.
uint16_t FreeLoopbackPort();

}  // namespace tervane::robust

#endif  // TERVANE_TESTING_SERVER_CHILD_H_
