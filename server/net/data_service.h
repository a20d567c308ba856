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
// has nothing more to give or cannot take more. So a request costs one
// wake-up of one worker and no hand-over between threads, and a worker
// busy with a long request (a tree delete) leaves the other worker free for
// every other connection.
//
// The listening socket and one timer descriptor sit in the same epoll set,
// so there is one event model and no third thread: the worker that takes the
// listening socket's readiness accepts what is pending and hands each new
// connection a slot of the fixed ContextPool (or closes it at once when the
// pool is full); the worker that takes the timer's runs what is due: the
// periodic SweepIdleContexts, each connection's login deadline, the end of
// the pause after a failed login during which its next request stays unread
// in the socket (no worker ever sleeps for it), and the retry of an accept
// that failed. Both are registered one-shot like the connections, so one
// worker at a time handles each.
//
// Start() and Stop() are called from one thread (the service host's). The
// account manager and the registry must outlive the service.
//
// Lock order: the pool lock, then timer_mu_ (nothing else is taken under it).
#ifndef TERVANE_SERVER_NET_DATA_SERVICE_H_
#define TERVANE_SERVER_NET_DATA_SERVICE_H_

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include "server/net/context_pool.h"
#include "server/net/request_dispatcher.h"
#include "server/net/service_settings.h"
#include "shared/platform/mutex.h"

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
  // opens the listening socket (its failure is returned as a Windows Sockets
  // code, e.g. WSAEADDRINUSE 10048: started() then tells whether Stop()
  // still has to run), sets the sweep timer and starts the two workers. 0
  // when the service runs. Also after a Stop(), on the same descriptors.
  uint32_t Start(const ServiceSettings& settings);

  // True from the moment the accounts are loaded until Stop().
  bool started() const { return started_; }

  // StopDataService: accounts released, listening socket shut (nothing more
  // is accepted), workers ended (waited for at most 3,000 ms), listening
  // socket closed, pool destroyed (every connection released: socket
  // closed, account logged out, files closed). Returns false when a thread did not end in time; the
  // pool is then left alone and the caller must end the process without
  // destroying this object. Does nothing when not started.
  bool Stop();

  // The port the listening socket is bound to (useful with port 0).
  uint16_t port() const { return port_; }
  // Connections in use now.
  size_t ConnectionCount();

 private:
  // A deadline of one connection: its key tells it from a later connection
  // of the same slot; 0 when none is set.
  struct Deadline {
    int64_t at_ns = 0;
    uint32_t key = 0;
  };

  void IoWorkerRoutine();
  bool StartThread(std::thread* thread);
  // True once every worker has ended, false when `deadline` came first.
  bool WaitForWorkers(std::chrono::steady_clock::time_point deadline) EXCLUDES(threads_mu_);
  // Opens, binds and registers the listening socket; a Windows Sockets code.
  uint32_t OpenListener(const ServiceSettings& settings);
  // Accepts what is pending (a turn's worth) and registers the listening
  // socket again, or pauses accepting after a failure.
  void AcceptPending();
  void AcceptConnection(int fd, uint32_t peer_address, uint16_t peer_port);
  // Runs what is due on the timer and sets it for the next deadline.
  void OnTimer();
  // Programs the timer descriptor for the earliest deadline there is.
  void ScheduleLocked() REQUIRES(timer_mu_);
  // Sets the login deadline (`login`) or the pause's end of a slot, bringing
  // the timer forward when it is the earliest.
  void SetDeadline(bool login, size_t slot, int64_t at_ns, uint32_t key) EXCLUDES(timer_mu_);
  // The login deadline of the connection in `slot` with `key` has passed:
  // releases it unless it has logged in; one that a worker serves is marked
  // for that worker to release when it is done.
  void OnLoginDeadline(size_t slot, uint32_t key);
  // The pause after a failed login of that connection is over: its next
  // request is read.
  void OnPauseEnd(size_t slot, uint32_t key);
  // Logs and releases a connection that did not log in in time; `c` is not
  // busy.
  void ReleaseLateLoginLocked(ClientContext* c) REQUIRES(pool_->mutex());
  // One readiness event of the connection `token` names (slot and key).
  void Serve(uint64_t token);
  // Registers the connection for its outstanding transfer (while it is held
  // after a failed login, for the peer's close only); `add` for a new
  // connection. A failure is not acted on: the sweep reclaims it.
  void ArmLocked(ClientContext* c, bool add) REQUIRES(pool_->mutex());
  // Registers a descriptor of the service itself (one-shot, for reading).
  void Rearm(int fd, uint64_t token);
  size_t SlotOf(const ClientContext* c);
  enum class Flow { kDone, kWouldBlock, kFailed };
  // Sends the outbox as far as the socket takes it; *error is the errno of
  // a failed send, 0 for a send that moved nothing.
  Flow FlushOutbox(ClientContext* c, int* error);
  // True while the connection has a reply to send or requests received
  // ahead: then it waits on the socket for sending, not receiving.
  static bool HasBytesToSend(const ClientContext& c);
  // Sets the socket's receive low-water mark to the bytes the pending
  // receive still needs, when it differs from what is set. Called before
  // every wait for a receive.
  void SetReceiveLowWater(ClientContext* c);
  // The log line for a connection whose transfer ended with errno `error`
  // (0: the peer closed): the peer's reset or its close.
  void LogTransferEnd(int error);

  AccountManager& accounts_;
  FileRegistry& files_;
  RequestDispatcher dispatcher_;
  std::unique_ptr<ContextPool> pool_;

  // The workers' epoll set and the service's own descriptors in it: the
  // stop event (readable once the stop begins, and not one-shot, so every
  // worker sees it), the listening socket and the timer. Set up by Start()
  // before the workers run; closed by the destructor.
  int epoll_fd_ = -1;
  int stop_fd_ = -1;
  int listen_fd_ = -1;
  int timer_fd_ = -1;

  // The timer's deadlines, on CLOCK_MONOTONIC in nanoseconds.
  Mutex timer_mu_;
  std::vector<Deadline> login_deadlines_ GUARDED_BY(timer_mu_);  // per slot
  std::vector<Deadline> pause_ends_ GUARDED_BY(timer_mu_);       // per slot
  int64_t next_sweep_ns_ GUARDED_BY(timer_mu_) = 0;
  int64_t accept_resume_ns_ GUARDED_BY(timer_mu_) = 0;  // 0: accepting
  int64_t timer_set_ns_ GUARDED_BY(timer_mu_) = 0;      // what the descriptor is set to; 0: nothing

  std::thread workers_[2];
  Mutex threads_mu_;
  CondVar threads_done_{&threads_mu_};
  int threads_running_ GUARDED_BY(threads_mu_) = 0;

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
