#include "server/net/data_service.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <chrono>
#include <new>
#include <system_error>

#include "server/net/server_log.h"
#include "server/store/account_manager.h"
#include "server/store/file_registry.h"
#include "shared/platform/tick.h"
#include "shared/platform/win_error.h"

namespace tervane {
namespace {

// The completion error the log reports for a connection the peer reset
// (ERROR_NETNAME_DELETED, as the server has always written it).
constexpr int kPeerResetLogged = 64;

// Pause before accepting again after a failed accept (out of descriptors,
// say), so that the failure does not spin a worker.
constexpr std::chrono::milliseconds kAcceptRetryDelay(100);

bool IsPeerReset(const asio::error_code& ec) {
  return ec == asio::error::connection_reset || ec == asio::error::broken_pipe ||
         ec == asio::error::connection_aborted;
}

uint32_t SocketResult(const asio::error_code& ec) {
  uint32_t code = WinsockErrorFromErrno(ec.value());
  return code != 0 ? code : WSAEINVAL;
}

}  // namespace

DataService::DataService(AccountManager& accounts, FileRegistry& files)
    : accounts_(accounts),
      files_(files),
      dispatcher_(accounts, files),
      acceptor_(io_),
      sweep_timer_(io_),
      accept_retry_(io_) {}

DataService::~DataService() { Stop(); }

uint32_t DataService::Start(const ServiceSettings& settings) {
  if (started_ || abandoned_) return ERROR_INVALID_FUNCTION;
  stopping_.store(false);
  idle_limit_ms_ = settings.idle_limit_ms;
  sweep_period_ms_ = settings.sweep_period_ms;

  uint32_t capacity = 0;
  uint32_t result = accounts_.LoadAccounts(settings.config_path, &capacity);
  if (result != ERROR_SUCCESS) return result;
  started_ = true;

  try {
    pool_ = std::make_unique<ContextPool>(io_, capacity, accounts_, files_);
  } catch (const std::bad_alloc&) {
    return ERROR_INSUFFICIENT_BUFFER;
  }

  asio::error_code ec;
  asio::ip::tcp::endpoint endpoint(asio::ip::address_v4(settings.listen_address), settings.port);
  std::lock_guard<std::mutex> lock(control_mu_);
  acceptor_.open(endpoint.protocol(), ec);
  // A restarted service must be able to bind while connections of the
  // previous run linger in TIME_WAIT.
  if (!ec) acceptor_.set_option(asio::ip::tcp::acceptor::reuse_address(true), ec);
  if (!ec) acceptor_.bind(endpoint, ec);
  if (!ec) acceptor_.listen(kListenBacklog, ec);
  if (!ec) port_ = acceptor_.local_endpoint(ec).port();
  if (ec) {
    asio::error_code ignored;
    acceptor_.close(ignored);
    return SocketResult(ec);
  }

  work_.emplace(io_.get_executor());
  try {
    for (std::thread& worker : workers_) {
      {
        std::lock_guard<std::mutex> wl(workers_mu_);
        ++workers_running_;
      }
      try {
        worker = std::thread([this] { IoWorkerRoutine(); });
      } catch (...) {
        std::lock_guard<std::mutex> wl(workers_mu_);
        --workers_running_;
        throw;
      }
    }
  } catch (const std::system_error&) {
    return ERROR_NOT_ENOUGH_MEMORY;
  }
  StartAcceptLocked();
  StartSweepTimerLocked();
  return ERROR_SUCCESS;
}

bool DataService::Stop() {
  if (!started_) return !abandoned_;
  started_ = false;
  stopping_.store(true);
  // Accounts first: a request still running finds no account (0x3501).
  accounts_.ReleaseAccounts();
  {
    std::lock_guard<std::mutex> lock(control_mu_);
    asio::error_code ignored;
    sweep_timer_.cancel();
    accept_retry_.cancel();
    acceptor_.close(ignored);
  }
  work_.reset();
  io_.stop();
  bool ended;
  {
    std::unique_lock<std::mutex> wl(workers_mu_);
    ended = workers_done_.wait_for(wl, std::chrono::milliseconds(kWorkerStopWaitMs),
                                   [this] { return workers_running_ == 0; });
  }
  if (!ended) {
    // A worker hangs in file I/O. It cannot be ended from here; the pool it
    // works on is left alone and the process is expected to exit.
    for (std::thread& worker : workers_) {
      if (worker.joinable()) worker.detach();
    }
    abandoned_ = true;
    return false;
  }
  for (std::thread& worker : workers_) {
    if (worker.joinable()) worker.join();
  }
  if (pool_) pool_->DestroyAll();
  return true;
}

size_t DataService::ConnectionCount() { return pool_ ? pool_->InUse() : 0; }

void DataService::IoWorkerRoutine() {
  try {
    io_.run();
  } catch (...) {
    ServerLog("Warning: Exception is catched in IoWorkerRoutine!\n");
  }
  std::lock_guard<std::mutex> wl(workers_mu_);
  --workers_running_;
  workers_done_.notify_all();
}

void DataService::StartAcceptLocked() {
  acceptor_.async_accept([this](const asio::error_code& ec, asio::ip::tcp::socket socket) {
    ListenerRoutine(ec, std::move(socket));
  });
}

void DataService::ListenerRoutine(const asio::error_code& ec, asio::ip::tcp::socket socket) {
  std::lock_guard<std::mutex> lock(control_mu_);
  // Whatever was accepted during a stop is closed as `socket` goes.
  if (stopping_.load() || ec == asio::error::operation_aborted) return;
  if (ec) {
    accept_retry_.expires_after(kAcceptRetryDelay);
    accept_retry_.async_wait([this](const asio::error_code& wait_ec) {
      std::lock_guard<std::mutex> retry_lock(control_mu_);
      if (!wait_ec && !stopping_.load()) StartAcceptLocked();
    });
    return;
  }
  AcceptConnection(socket);
  StartAcceptLocked();
}

void DataService::AcceptConnection(asio::ip::tcp::socket& socket) {
  asio::error_code ec;
  socket.set_option(asio::ip::tcp::no_delay(true), ec);
  if (ec) return;
  asio::ip::tcp::endpoint peer = socket.remote_endpoint(ec);
  if (ec || !peer.address().is_v4()) return;
  uint32_t address = peer.address().to_v4().to_uint();
  uint32_t key = 0;
  ClientContext* c = pool_->Alloc(htonl(address), peer.port(), socket, GetTickCount(), &key);
  if (c == nullptr) return;  // pool full: the caller's socket closes, the client sees no data

  in_addr dotted{};
  dotted.s_addr = htonl(address);
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &dotted, text, sizeof text);
  ServerLog("============================================================\n");
  ServerLog("客户机:[%s] 连接文件服务器!\n", text);

  std::lock_guard<std::mutex> lock(pool_->mutex());
  if (c->in_use && c->key == key) PostTransferLocked(c);
}

void DataService::StartSweepTimerLocked() {
  sweep_timer_.expires_after(std::chrono::milliseconds(sweep_period_ms_));
  sweep_timer_.async_wait([this](const asio::error_code& ec) {
    if (ec || stopping_.load()) return;
    SweepIdleContexts();
    std::lock_guard<std::mutex> lock(control_mu_);
    if (!stopping_.load()) StartSweepTimerLocked();
  });
}

void DataService::SweepIdleContexts() { pool_->SweepIdle(GetTickCount(), idle_limit_ms_); }

void DataService::PostTransferLocked(ClientContext* c) {
  uint32_t key = c->key;
  auto handler = [this, c, key](const asio::error_code& ec, size_t bytes) { OnTransfer(c, key, ec, bytes); };
  asio::mutable_buffer buffer(c->buffer + c->offset, c->remaining);
  if (c->io_kind == IO_RECEIVE) {
    c->socket.async_receive(buffer, std::move(handler));
  } else {
    c->socket.async_send(buffer, std::move(handler));
  }
}

void DataService::OnTransfer(ClientContext* c, uint32_t key, const asio::error_code& ec, size_t bytes) {
  {
    std::lock_guard<std::mutex> lock(pool_->mutex());
    // A completion of an earlier connection of this slot (its socket was
    // closed by a release): nothing of it is left to serve.
    if (!c->in_use || c->key != key) return;
    if (ec || bytes == 0) {
      if (IsPeerReset(ec)) {
        ServerLog("GetQueuedCompletionStatus failed: %d\n", kPeerResetLogged);
      } else if (!ec || ec == asio::error::eof) {
        // Also a zero-length payload receive: a mapped request announcing
        // no payload ends its connection, as it always has.
        ServerLog("Client is close socket!\n");
      }
      pool_->ReleaseLocked(c);
      return;
    }
    c->busy = true;
  }

  bool release = false;
  c->offset += static_cast<uint32_t>(bytes);
  c->remaining -= static_cast<uint32_t>(bytes);
  if (c->remaining == 0) {
    if (c->io_kind == IO_RECEIVE) {
      DispatchOutcome outcome =
          c->stage == STAGE_HEADER ? dispatcher_.OnHeader(*c) : dispatcher_.OnPayload(*c);
      release = outcome == DispatchOutcome::kRelease;
    } else {
      c->io_kind = IO_RECEIVE;
      c->stage = STAGE_HEADER;
      c->offset = 0;
      c->remaining = kHeaderSize;
    }
  }

  std::lock_guard<std::mutex> lock(pool_->mutex());
  c->busy = false;
  if (release) {
    pool_->ReleaseLocked(c);
  } else {
    PostTransferLocked(c);
  }
}

}  // namespace tervane
