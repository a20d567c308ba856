// For tests: the real server, run as a child process on 127.0.0.1 with its
// own share root and Config.cfg in a fresh temporary directory.
#ifndef TERVANE_TESTING_SERVER_PROCESS_H_
#define TERVANE_TESTING_SERVER_PROCESS_H_

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace tervane {

class ServerProcess {
 public:
  // $TERVANE_BIN_DIR/tervanesvr, or empty when it has not been built.
  static std::string Binary();

  // Writes Config.cfg with an empty user list, starts the server on a free
  // port with `extra_args` and waits (at most 10 s) until it accepts. Null,
  // with the reason in *why, when it does not come up.
  static std::unique_ptr<ServerProcess> Start(const std::vector<std::string>& extra_args,
                                              std::string* why);

  // Stops the server by its pid (SIGTERM, then SIGKILL after 5 s) and
  // removes the temporary directory.
  ~ServerProcess();
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  uint16_t port() const { return port_; }
  // The share root, ending in '/'.
  const std::string& share_root() const { return share_root_; }
  // What the server wrote to its standard output and error so far.
  std::string Output() const;

 private:
  ServerProcess() = default;

  pid_t pid_ = -1;
  uint16_t port_ = 0;
  std::string directory_;
  std::string share_root_;
};

}  // namespace tervane

#endif  // TERVANE_TESTING_SERVER_PROCESS_H_
