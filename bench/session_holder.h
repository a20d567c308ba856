// Holds a number of protocol sessions open on a server, each connected and
// kept alive with a heartbeat, so that the server's memory can be measured
// with its connection slots in use while a backup runs beside them.
//
// Not thread-safe; one owner. The sessions close when the holder goes.
#ifndef TERVANE_BENCH_SESSION_HOLDER_H_
#define TERVANE_BENCH_SESSION_HOLDER_H_

#include <cstdint>
#include <string>
#include <vector>

namespace tervane {
struct RemoteSession;
}

namespace tervane::bench {

class SessionHolder {
 public:
  SessionHolder() = default;
  ~SessionHolder();  // CloseAll()
  SessionHolder(const SessionHolder&) = delete;
  SessionHolder& operator=(const SessionHolder&) = delete;

  // Opens `count` sessions to `address` (dotted IPv4) on `port`, each
  // answered by one heartbeat. 0 when all are open; otherwise the first
  // failure's code, and the sessions opened before it stay open.
  uint32_t Open(const std::string& address, uint16_t port, uint32_t count);

  // One heartbeat on every session: 0 or the first failure's code.
  uint32_t Heartbeat();

  // Closes every session (the protocol's close, then the socket).
  void CloseAll();

  size_t size() const { return sessions_.size(); }

 private:
  std::vector<RemoteSession*> sessions_;  // owned
};

}  // namespace tervane::bench

#endif  // TERVANE_BENCH_SESSION_HOLDER_H_
