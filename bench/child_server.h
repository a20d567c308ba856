// A tervanesvr child process for benchmarks: its own scratch directory with
// a fresh share and a Config.cfg without users, a free loopback port, its
// log lines in a file beside the share, and a stop by its own pid.
//
// Not thread-safe; one owner. The destructor stops the server and removes
// the scratch directory.
#ifndef TERVANE_BENCH_CHILD_SERVER_H_
#define TERVANE_BENCH_CHILD_SERVER_H_

#include <sys/types.h>

#include <cstdint>
#include <string>

namespace tervane::bench {

// The tervanesvr to run: $TERVANE_BIN_DIR/tervanesvr when that is set, else
// the one beside the running program.
std::string DefaultServerBinary();

// A loopback port nobody listened on a moment ago (0 when none was found).
uint16_t PickFreePort();

// Removes `path` with everything below it, not following links. 0 or the
// code of the first failure; a missing path is 0.
uint32_t RemoveTree(const std::string& path);

class ChildServer {
 public:
  explicit ChildServer(std::string server_binary = DefaultServerBinary());
  ~ChildServer();
  ChildServer(const ChildServer&) = delete;
  ChildServer& operator=(const ChildServer&) = delete;

  // Makes a scratch directory below `scratch_parent`, starts the server on
  // 127.0.0.1 and waits (at most 15 s) until it accepts a connection. 0, or
  // the code of the failed step (ERROR_TIMEOUT-like 1460 when it never
  // answered; the child is then stopped).
  uint32_t Start(const std::string& scratch_parent);

  // SIGTERM, then SIGKILL after `timeout_ms`. The exit status, or -1 when
  // it had to be killed or was not running.
  int Stop(int timeout_ms = 10000);

  // The server's peak resident set so far (VmHWM), 0 when not running.
  uint64_t PeakRssKib() const;

  bool running() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }
  uint16_t port() const { return port_; }
  const std::string& directory() const { return dir_; }
  std::string share() const { return dir_ + "/share/"; }
  std::string log_path() const { return dir_ + "/tervanesvr.log"; }

 private:
  std::string binary_;
  std::string dir_;
  pid_t pid_ = -1;
  uint16_t port_ = 0;
};

}  // namespace tervane::bench

#endif  // TERVANE_BENCH_CHILD_SERVER_H_
