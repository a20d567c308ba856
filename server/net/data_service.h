// The data service: the connection manager of the server. One io_context is
// served by exactly two worker threads (IoWorkerRoutine); the acceptor
// (ListenerRoutine) hands each new connection a slot of the fixed
// ContextPool, or closes it at once when the pool is full; a periodic timer
// runs SweepIdleContexts. Each connection has exactly one socket operation
// outstanding: a header is received, then the payload it announces, then
// the reply built in place is sent, then the next header is awaited.
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
  // else has started), creates the pool of MaxUserConn slots, opens the
  // listening socket (its failure is returned as a Windows Sockets code, e.g.
  // WSAEADDRINUSE 10048, after undoing what was started: started() then
  // tells whether Stop() still has to run), starts the workers and the
  // sweep timer. 0 when the service runs.
  uint32_t Start(const ServiceSettings& settings);

  // True from the moment the accounts are loaded until Stop().
  bool started() const { return started_; }

  // StopDataService: accounts released, sweep timer cancelled, listening
  // socket closed, workers ended (waited for at most 3,000 ms), pool
  // destroyed (every connection released: socket closed, account logged
  // out, files closed). Returns false when a worker did not end in time; the
  // pool is then left alone and the caller must end the process without
  // destroying this object. Does nothing when not started.
  bool Stop();

  // The port the listening socket is bound to (useful with port 0).
  uint16_t port() const { return port_; }
  // Connections in use now.
  size_t ConnectionCount();

 private:
  void IoWorkerRoutine();
  void StartAcceptLocked();
  void ListenerRoutine(const asio::error_code& ec, asio::ip::tcp::socket socket);
  void AcceptConnection(asio::ip::tcp::socket& socket);
  void StartSweepTimerLocked();
  void SweepIdleContexts();
  void PostTransferLocked(ClientContext* c);
  void OnTransfer(ClientContext* c, uint32_t key, const asio::error_code& ec, size_t bytes);

  AccountManager& accounts_;
  FileRegistry& files_;
  RequestDispatcher dispatcher_;

  // Declared first among the asio objects: destroyed after every socket.
  asio::io_context io_;
  std::optional<asio::executor_work_guard<asio::io_context::executor_type>> work_;
  std::unique_ptr<ContextPool> pool_;

  // Guards the acceptor and the timers against the stop.
  std::mutex control_mu_;
  asio::ip::tcp::acceptor acceptor_;    // GUARDED_BY(control_mu_)
  asio::steady_timer sweep_timer_;      // GUARDED_BY(control_mu_)
  asio::steady_timer accept_retry_;     // GUARDED_BY(control_mu_)

  std::thread workers_[2];
  std::mutex workers_mu_;
  std::condition_variable workers_done_;
  int workers_running_ = 0;  // GUARDED_BY(workers_mu_)

  std::atomic<bool> stopping_{false};
  bool started_ = false;
  bool abandoned_ = false;
  uint16_t port_ = 0;
  uint32_t idle_limit_ms_ = kDefaultIdleLimitMs;
  uint32_t sweep_period_ms_ = kDefaultSweepPeriodMs;
};

}  // namespace tervane

#endif  // TERVANE_SERVER_NET_DATA_SERVICE_H_
