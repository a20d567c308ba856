#include "server/net/data_service.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
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

// Receives one connection may make in one turn before the others get theirs.
constexpr int kReceivesPerTurn = 8;

// The completion error the log reports for a connection the peer reset
// (ERROR_NETNAME_DELETED, as the server has always written it).
constexpr int kPeerResetLogged = 64;

// Pause before accepting again after a failed accept (out of descriptors,
// say), so that the failure does not spin the listener.
constexpr std::chrono::milliseconds kAcceptRetryDelay(100);

// The epoll token of the stop event; a connection's token is its slot + 1
// in the high half and its key in the low half, so it is never 0, and an
// event left over from a released connection names a key no slot holds.
constexpr uint64_t kStopToken = 0;

uint64_t TokenOf(size_t slot, uint32_t key) { return (static_cast<uint64_t>(slot) + 1) << 32 | key; }

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
      accepted_(connection_io_),
      sweep_timer_(io_),
      accept_retry_(io_) {}

DataService::~DataService() {
  Stop();
  if (abandoned_) return;  // a thread may still wait on the descriptors
  if (epoll_fd_ >= 0) ::close(epoll_fd_);
  if (stop_fd_ >= 0) ::close(stop_fd_);
}

uint32_t DataService::Start(const ServiceSettings& settings) {
  if (started_ || abandoned_) return ERROR_INVALID_FUNCTION;
  stopping_.store(false);
  idle_limit_ms_ = settings.idle_limit_ms;
  sweep_period_ms_ = settings.sweep_period_ms;
  login_limit_ms_ = settings.login_limit_ms;

  // The configuration's fixed connection limit gives way to the command
  // line's.
  uint32_t configured_limit = 0;
  uint32_t result = accounts_.LoadAccounts(settings.config_path, &configured_limit);
  if (result != ERROR_SUCCESS) return result;
  started_ = true;

  const size_t capacity = settings.max_connections;
  try {
    pool_ = std::make_unique<ContextPool>(connection_io_, capacity, accounts_, files_);
    login_timers_.clear();
    retry_timers_.clear();
    for (size_t i = 0; i < capacity; ++i) {
      login_timers_.push_back(std::make_unique<asio::steady_timer>(io_));
      retry_timers_.push_back(std::make_unique<asio::steady_timer>(io_));
    }
  } catch (const std::bad_alloc&) {
    return ERROR_INSUFFICIENT_BUFFER;
  }

  // The stop event stays readable once written and is not one-shot, so
  // every worker sees it.
  if (epoll_fd_ < 0) epoll_fd_ = ::epoll_create1(EPOLL_CLOEXEC);
  if (stop_fd_ < 0 && epoll_fd_ >= 0) {
    stop_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = kStopToken;
    if (stop_fd_ >= 0 && ::epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, stop_fd_, &ev) != 0) {
      ::close(stop_fd_);
      stop_fd_ = -1;
    }
  }
  if (epoll_fd_ < 0 || stop_fd_ < 0) return ERROR_NOT_ENOUGH_MEMORY;
  uint64_t drained = 0;
  while (::read(stop_fd_, &drained, sizeof drained) > 0) {
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

  io_.restart();  // a service stopped before runs again
  work_.emplace(io_.get_executor());
  if (!StartThread(&threads_[1], &DataService::IoWorkerRoutine) ||
      !StartThread(&threads_[2], &DataService::IoWorkerRoutine) ||
      !StartThread(&threads_[0], &DataService::ListenerRoutine)) {
    return ERROR_NOT_ENOUGH_MEMORY;
  }
  StartAcceptLocked();
  StartSweepTimerLocked();
  return ERROR_SUCCESS;
}

bool DataService::StartThread(std::thread* thread, void (DataService::*routine)()) {
  {
    std::lock_guard<std::mutex> tl(threads_mu_);
    ++threads_running_;
  }
  try {
    *thread = std::thread([this, routine] { (this->*routine)(); });
  } catch (const std::system_error&) {
    std::lock_guard<std::mutex> tl(threads_mu_);
    --threads_running_;
    return false;
  }
  return true;
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
  if (stop_fd_ >= 0) {
    uint64_t one = 1;
    ssize_t written = ::write(stop_fd_, &one, sizeof one);
    (void)written;  // a full counter is readable as well
  }
  bool ended;
  {
    std::unique_lock<std::mutex> tl(threads_mu_);
    ended = threads_done_.wait_for(tl, std::chrono::milliseconds(kWorkerStopWaitMs),
                                   [this] { return threads_running_ == 0; });
  }
  if (!ended) {
    // A worker hangs in file I/O. It cannot be ended from here; the pool it
    // works on is left alone and the process is expected to exit.
    for (std::thread& thread : threads_) {
      if (thread.joinable()) thread.detach();
    }
    abandoned_ = true;
    return false;
  }
  for (std::thread& thread : threads_) {
    if (thread.joinable()) thread.join();
  }
  if (pool_) pool_->DestroyAll();
  return true;
}

size_t DataService::ConnectionCount() { return pool_ ? pool_->InUse() : 0; }

void DataService::ListenerRoutine() {
  try {
    io_.run();
  } catch (...) {
    ServerLog(LogKind::kFailure, "Warning: Exception is catched in IoWorkerRoutine!\n");
  }
  std::lock_guard<std::mutex> tl(threads_mu_);
  --threads_running_;
  threads_done_.notify_all();
}

void DataService::IoWorkerRoutine() {
  try {
    for (;;) {
      epoll_event ev{};
      int n = ::epoll_wait(epoll_fd_, &ev, 1, -1);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 || ev.data.u64 == kStopToken || stopping_.load()) break;
      if (n == 1) Serve(ev.data.u64);
    }
  } catch (...) {
    ServerLog(LogKind::kFailure, "Warning: Exception is catched in IoWorkerRoutine!\n");
  }
  std::lock_guard<std::mutex> tl(threads_mu_);
  --threads_running_;
  threads_done_.notify_all();
}

void DataService::StartAcceptLocked() {
  acceptor_.async_accept(accepted_, [this](const asio::error_code& ec) { OnAccept(ec); });
}

void DataService::OnAccept(const asio::error_code& ec) {
  std::lock_guard<std::mutex> lock(control_mu_);
  asio::error_code ignored;
  // Whatever was accepted during a stop is closed.
  if (stopping_.load() || ec == asio::error::operation_aborted) {
    accepted_.close(ignored);
    return;
  }
  if (ec) {
    accept_retry_.expires_after(kAcceptRetryDelay);
    accept_retry_.async_wait([this](const asio::error_code& wait_ec) {
      std::lock_guard<std::mutex> retry_lock(control_mu_);
      if (!wait_ec && !stopping_.load()) StartAcceptLocked();
    });
    return;
  }
  AcceptConnection(accepted_);
  // Left with the socket when no slot took it: the client sees the
  // connection closed without any data.
  accepted_.close(ignored);
  StartAcceptLocked();
}

void DataService::AcceptConnection(asio::ip::tcp::socket& socket) {
  asio::error_code ec;
  socket.set_option(asio::ip::tcp::no_delay(true), ec);
  if (ec) return;
  // The workers move bytes with calls that must never block them.
  socket.non_blocking(true, ec);
  if (ec) return;
  asio::ip::tcp::endpoint peer = socket.remote_endpoint(ec);
  if (ec || !peer.address().is_v4()) return;
  uint32_t address = peer.address().to_v4().to_uint();
  uint32_t key = 0;
  ClientContext* c = pool_->Alloc(htonl(address), peer.port(), socket, GetTickCount(), &key);
  if (c == nullptr) return;  // pool full

  ServerLog(LogKind::kConnection, "============================================================\n");
  ServerLog(LogKind::kConnection, "客户机:[%s] 连接文件服务器!\n", PeerText(c->session).text);

  std::lock_guard<std::mutex> lock(pool_->mutex());
  if (!c->in_use || c->session.key != key) return;
  SetReceiveLowWater(c);
  ArmLocked(c, true);
  size_t slot = SlotOf(c);
  asio::steady_timer& deadline = *login_timers_[slot];
  deadline.expires_after(std::chrono::milliseconds(login_limit_ms_));
  deadline.async_wait([this, slot, key](const asio::error_code& ec) {
    if (!ec) OnLoginDeadline(slot, key);
  });
}

void DataService::OnLoginDeadline(size_t slot, uint32_t key) {
  std::lock_guard<std::mutex> lock(pool_->mutex());
  ClientContext* c = &pool_->slot(slot);
  if (!c->in_use || c->session.key != key) return;
  if (c->busy) {
    c->login_overdue = true;
  } else if (!c->session.logged_in) {
    ReleaseLateLoginLocked(c);
  }
}

void DataService::ReleaseLateLoginLocked(ClientContext* c) {
  ServerLog(LogKind::kFailure, "No login within %d ms: [%s] connection closed\n", static_cast<int>(login_limit_ms_),
            PeerText(c->session).text);
  pool_->ReleaseLocked(c);
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

size_t DataService::SlotOf(const ClientContext* c) {
  size_t slot = 0;
  while (slot < pool_->capacity() && &pool_->slot(slot) != c) ++slot;
  return slot;
}

void DataService::ArmLocked(ClientContext* c, bool add) {
  size_t slot = SlotOf(c);
  epoll_event ev{};
  // A connection with replies to send, or with requests received ahead
  // (which the socket would never signal again), waits until it can send.
  uint32_t wanted = c->held ? EPOLLRDHUP : HasBytesToSend(*c) ? EPOLLOUT : EPOLLIN;
  ev.events = wanted | EPOLLONESHOT;
  ev.data.u64 = TokenOf(slot, c->session.key);
  ::epoll_ctl(epoll_fd_, add ? EPOLL_CTL_ADD : EPOLL_CTL_MOD, c->socket.native_handle(), &ev);
}

void DataService::Serve(uint64_t token) {
  size_t slot = static_cast<size_t>(token >> 32) - 1;
  uint32_t key = static_cast<uint32_t>(token);
  if (slot >= pool_->capacity()) return;
  ClientContext* c = &pool_->slot(slot);
  {
    std::lock_guard<std::mutex> lock(pool_->mutex());
    // An event of an earlier connection of this slot (released since): it
    // names a key no longer held.
    if (!c->in_use || c->session.key != key || c->busy) return;
    if (c->held) {
      // The peer went while its next request waited out the pause.
      LogTransferEnd(asio::error_code());
      pool_->ReleaseLocked(c);
      return;
    }
    c->busy = true;
  }

  // Serves the connection's requests one at a time, in order, as far as the
  // socket allows. One receive takes every request that has arrived (into
  // the inbox); their small replies gather in the outbox and leave in one
  // send before the socket is read again. A long payload is received, and a
  // long reply sent, straight from the frame buffer.
  bool release = false;
  int receives = 0;
  bool hold = false;
  for (;;) {
    asio::error_code ec;
    if (c->io_kind == IO_SEND) {
      const uint32_t n = c->remaining;
      if (c->offset == 0 && n <= kOutboxSize - c->out_end) {
        std::memcpy(c->outbox + c->out_end, c->buffer, n);
        c->out_end += n;
      } else {
        const Flow flow = FlushOutbox(c, &ec);
        if (flow == Flow::kWouldBlock) break;
        if (flow == Flow::kFailed) {
          LogTransferEnd(ec);
          release = true;
          break;
        }
        if (c->offset == 0 && n <= kOutboxSize) continue;  // fits the emptied outbox
        const size_t moved = c->socket.send(asio::buffer(c->buffer + c->offset, c->remaining), 0, ec);
        if (ec == asio::error::would_block || ec == asio::error::try_again) break;
        if (ec || moved == 0) {
          LogTransferEnd(ec);
          release = true;
          break;
        }
        c->offset += static_cast<uint32_t>(moved);
        c->remaining -= static_cast<uint32_t>(moved);
        if (c->remaining > 0) continue;
      }
      // The reply is out or on its way: the next header, now or after the
      // pause that follows a failed login.
      const DispatchOutcome next = dispatcher_.OnReplySent(*c);
      if (next == DispatchOutcome::kReceiveHeader) continue;
      // Whatever happens next, the replies served so far go out first.
      FlushOutbox(c, &ec);
      release = next == DispatchOutcome::kRelease;
      hold = next == DispatchOutcome::kReceiveHeaderLater;
      break;
    }

    if (c->remaining == 0) {
      // Only a mapped request that announced no payload gets here: its
      // empty receive is taken for the peer's close, as it always has been.
      LogTransferEnd(asio::error_code());
      release = true;
      break;
    }
    if (c->in_start < c->in_end) {
      const uint32_t n = std::min(c->in_end - c->in_start, c->remaining);
      std::memcpy(c->buffer + c->offset, c->inbox + c->in_start, n);
      c->in_start += n;
      if (c->in_start == c->in_end) c->in_start = c->in_end = 0;
      c->offset += n;
      c->remaining -= n;
    } else {
      // Nothing received ahead: the batch's replies go out first.
      const Flow flow = FlushOutbox(c, &ec);
      if (flow == Flow::kWouldBlock) break;
      if (flow == Flow::kFailed) {
        LogTransferEnd(ec);
        release = true;
        break;
      }
      // A client that keeps sending still takes its turn with the others;
      // what it has sent wakes a worker again at once.
      if (++receives > kReceivesPerTurn) break;
      const bool direct = c->remaining >= kInboxSize / 2;
      const size_t moved = direct ? c->socket.receive(asio::buffer(c->buffer + c->offset, c->remaining), 0, ec)
                                  : c->socket.receive(asio::buffer(c->inbox, kInboxSize), 0, ec);
      if (ec == asio::error::would_block || ec == asio::error::try_again) break;
      if (ec || moved == 0) {
        LogTransferEnd(ec);
        release = true;
        break;
      }
      if (!direct) {
        c->in_end = static_cast<uint32_t>(moved);
        continue;
      }
      c->offset += static_cast<uint32_t>(moved);
      c->remaining -= static_cast<uint32_t>(moved);
    }
    if (c->remaining > 0) continue;
    const DispatchOutcome outcome = c->stage == STAGE_HEADER ? dispatcher_.OnHeader(*c) : dispatcher_.OnPayload(*c);
    if (outcome == DispatchOutcome::kRelease) {
      release = true;
      break;
    }
  }

  if (!release && !HasBytesToSend(*c)) SetReceiveLowWater(c);
  std::lock_guard<std::mutex> lock(pool_->mutex());
  c->busy = false;
  if (release) {
    pool_->ReleaseLocked(c);
  } else if (c->login_overdue && !c->session.logged_in) {
    ReleaseLateLoginLocked(c);
  } else if (hold) {
    // After a failed login the next request stays in the socket for a while.
    c->held = true;
    ArmLocked(c, false);
    asio::steady_timer& retry = *retry_timers_[slot];
    retry.expires_after(std::chrono::milliseconds(kLoginRetryDelayMs));
    retry.async_wait([this, slot, key](const asio::error_code& ec) {
      if (ec) return;
      std::lock_guard<std::mutex> retry_lock(pool_->mutex());
      ClientContext* held = &pool_->slot(slot);
      if (!held->in_use || held->session.key != key || !held->held) return;
      held->held = false;
      ArmLocked(held, false);
    });
  } else {
    ArmLocked(c, false);
  }
}

DataService::Flow DataService::FlushOutbox(ClientContext* c, asio::error_code* ec) {
  while (c->out_start < c->out_end) {
    const size_t moved = c->socket.send(asio::buffer(c->outbox + c->out_start, c->out_end - c->out_start), 0, *ec);
    if (*ec == asio::error::would_block || *ec == asio::error::try_again) return Flow::kWouldBlock;
    if (*ec || moved == 0) return Flow::kFailed;
    c->out_start += static_cast<uint32_t>(moved);
  }
  c->out_start = c->out_end = 0;
  return Flow::kDone;
}

bool DataService::HasBytesToSend(const ClientContext& c) {
  return c.io_kind == IO_SEND || c.out_start < c.out_end || c.in_start < c.in_end;
}

void DataService::SetReceiveLowWater(ClientContext* c) {
  // A 64 KiB write request arrives in more than one segment. Asking the
  // socket to hold back its readiness until the whole rest of the header or
  // payload is in saves a wake-up and an empty pass per piece. It is set
  // before every wait for a receive, so a mark left from a long payload can
  // never hold back a short header. The peer's close or reset still wakes
  // the worker at once, and the kernel wakes it anyway when its receive
  // window runs short.
  uint32_t wanted = c->remaining;
  if (wanted == c->receive_low_water) return;
  int value = static_cast<int>(wanted);
  if (::setsockopt(c->socket.native_handle(), SOL_SOCKET, SO_RCVLOWAT, &value, sizeof value) == 0) {
    c->receive_low_water = wanted;
  }
}

void DataService::LogTransferEnd(const asio::error_code& ec) {
  if (IsPeerReset(ec)) {
    ServerLog(LogKind::kFailure, "GetQueuedCompletionStatus failed: %d\n", kPeerResetLogged);
  } else if (!ec || ec == asio::error::eof) {
    ServerLog(LogKind::kConnection, "Client is close socket!\n");
  }
}

}  // namespace tervane
