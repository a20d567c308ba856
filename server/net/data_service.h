// The data service: the connection manager of the server.
//
// Two worker threads (IoWorkerRoutine) serve every connection the way a
// completion port is served: both wait on one epoll set in which each
// connection is registered one-shot for the one transfer it has
// outstanding, and whichever worker is free takes the next connection that
// is ready. It then serves that connection's requests with non-blocking
// calls as far as the socket allows: a header, then the payload the header
// announces, then the reply built in place, one request at a time and each
// with its one reply. A client may send requests without waiting for their
// replies: one receive takes every request that has arrived, and their
// replies leave together in one send, so pipelined requests cost a few
// system calls per batch rather than per request and no wait on the epoll
// set between them. The connection is registered again once the socket
// has nothing more to give or cannot take more. So a request costs one wake-up of one worker and no hand-over
// between threads, and a worker busy with a long request (a tree delete)
// leaves the other worker free for every other connection.
//
// The listener thread (ListenerRoutine) runs an io_context for the acceptor,
// which hands each new connection a slot of the fixed ContextPool (or closes
// it at once when the pool is full), for the periodic timer that runs
// SweepIdleContexts, and for each connection's two timers: its login
// deadline, and the pause after a failed login during which its next request
// stays unread in the socket (no worker ever sleeps for it).
//
// Start() and Stop() are called from one thread (the service host's). The
// account manager and the registry must outlive the service.
#ifndef TERVANE_SERVER_NET_DATA_SERVICE_H_
#define TERVANE_SERVER_NET_DATA_SERVICE_H_

#include <asio.hpp>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "server/net/context_pool.h"
#include "server/net/request_dispatcher.h"
#include "server/net/service_settings.h"

namespace tervane {

class AccountManager;
class FileRegistry;

class DataService {
 public:
  DataService(AccountManager& accounts, FileRegistry& files);
  // Stops the service if it runs.
  ~DataService();
  DataService(const DataService&) = delete;
  DataService& operator=(const DataService&) = delete;

  // StartDataService: loads the accounts from settings.config_path (their
  // error, e.g. 0x3610 for a missing file, is returned at once and nothing
  // else has started), creates the pool of settings.max_connections slots,
  // opens the
  // listening socket (its failure is returned as a Windows Sockets code, e.g.
  // WSAEADDRINUSE 10048, after undoing what was started: started() then
  // tells whether Stop() still has to run), starts the listener, the two
  // workers and the sweep timer. 0 when the service runs.
  uint32_t Start(const ServiceSettings& settings);

  // True from the moment the accounts are loaded until Stop().
  bool started() const { return started_; }

  // StopDataService: accounts released, sweep timer cancelled, listening
  // socket closed, threads ended (waited for at most 3,000 ms), pool
  // destroyed (every connection released: socket closed, account logged
  // out, files closed). Returns false when a thread did not end in time; the
  // pool is then left alone and the caller must end the process without
  // destroying this object. Does nothing when not started.
  bool Stop();

  // The port the listening socket is bound to (useful with port 0).
  uint16_t port() const { return port_; }
  // Connections in use now.
  size_t ConnectionCount();

 private:
  void ListenerRoutine();
  void IoWorkerRoutine();
  bool StartThread(std::thread* thread, void (DataService::*routine)());
  void StartAcceptLocked();
  void OnAccept(const asio::error_code& ec);
  void AcceptConnection(asio::ip::tcp::socket& socket);
  void StartSweepTimerLocked();
  void SweepIdleContexts();
  // The login deadline of the connection in `slot` with `key` has passed:
  // releases it unless it has logged in; one that a worker serves is marked
  // for that worker to release when it is done.
  void OnLoginDeadline(size_t slot, uint32_t key);
  // Logs and releases a connection that did not log in in time; the caller
  // holds the pool lock and `c` is not busy.
  void ReleaseLateLoginLocked(ClientContext* c);
  // One readiness event of the connection `token` names (slot and key).
  void Serve(uint64_t token);
  // Registers the connection for its outstanding transfer (while it is held
  // after a failed login, for the peer's close only); `add` for a new
  // connection. A failure is not acted on: the sweep reclaims it.
  void ArmLocked(ClientContext* c, bool add);
  size_t SlotOf(const ClientContext* c);
  enum class Flow { kDone, kWouldBlock, kFailed };
  // Sends the outbox as far as the socket takes it.
  Flow FlushOutbox(ClientContext* c, asio::error_code* ec);
  // True while the connection has a reply to send or requests received
  // ahead: then it waits on the socket for sending, not receiving.
  static bool HasBytesToSend(const ClientContext& c);
  // Sets the socket's receive low-water mark to the bytes the pending
  // receive still needs, when it differs from what is set. Called before
  // every wait for a receive.
  void SetReceiveLowWater(ClientContext* c);
  // The log line for a connection whose transfer ended with `ec` (or with
  // no bytes): the peer's reset or its close.
  void LogTransferEnd(const asio::error_code& ec);

  AccountManager& accounts_;
  FileRegistry& files_;
  RequestDispatcher dispatcher_;

  // Declared first among the asio objects: destroyed after every socket.
  // `io_` runs the acceptor and the timers on the listener thread. The
  // connections' sockets belong to `connection_io_`, which no thread runs:
  // their readiness is watched by the workers' epoll set alone.
  asio::io_context io_;
  asio::io_context connection_io_;
  std::optional<asio::executor_work_guard<asio::io_context::executor_type>> work_;
  std::unique_ptr<ContextPool> pool_;
  // Per slot, on `io_`: the login deadline, and the delay after a failed
  // login. Used under the pool lock.
  std::vector<std::unique_ptr<asio::steady_timer>> login_timers_;
  std::vector<std::unique_ptr<asio::steady_timer>> retry_timers_;

  // Guards the acceptor and the timers against the stop.
  std::mutex control_mu_;
  asio::ip::tcp::acceptor acceptor_;    // GUARDED_BY(control_mu_)
  asio::ip::tcp::socket accepted_;      // GUARDED_BY(control_mu_): the next connection
  asio::steady_timer sweep_timer_;      // GUARDED_BY(control_mu_)
  asio::steady_timer accept_retry_;     // GUARDED_BY(control_mu_)

  int epoll_fd_ = -1;  // the workers' epoll set; set up before they start
  int stop_fd_ = -1;   // an eventfd in that set: readable once the stop begins

  // The listener first, then the two workers.
  std::thread threads_[3];
  std::mutex threads_mu_;
  std::condition_variable threads_done_;
  int threads_running_ = 0;  // GUARDED_BY(threads_mu_)

  std::atomic<bool> stopping_{false};
  bool started_ = false;
  bool abandoned_ = false;
  uint16_t port_ = 0;
  uint32_t idle_limit_ms_ = kDefaultIdleLimitMs;
  uint32_t sweep_period_ms_ = kDefaultSweepPeriodMs;
  uint32_t login_limit_ms_ = kDefaultLoginLimitMs;
};

}  // namespace tervane

#endif  // TERVANE_SERVER_NET_DATA_SERVICE_H_
