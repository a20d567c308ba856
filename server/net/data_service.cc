#include "server/net/data_service.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
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
// Connections accepted in one turn before the workers look at anything else.
constexpr int kAcceptsPerTurn = 16;

// The completion error the log reports for a connection the peer reset
// (ERROR_NETNAME_DELETED, as the server has always written it).
constexpr int kPeerResetLogged = 64;

// Pause before accepting again after a failed accept (out of descriptors,
// say), so that the failure does not spin a worker.
constexpr int64_t kAcceptRetryDelayNs = 100'000'000;

constexpr int64_t kNsPerMs = 1'000'000;

// The epoll tokens of the service's own descriptors. A connection's token is
// its slot + 1 in the high half and its key in the low half, so it is never
// one of these, and an event left over from a released connection names a
// key no slot holds.
constexpr uint64_t kStopToken = 0;
constexpr uint64_t kListenToken = 1;
constexpr uint64_t kTimerToken = 2;

uint64_t TokenOf(size_t slot, uint32_t key) { return (static_cast<uint64_t>(slot) + 1) << 32 | key; }

int64_t NowNs() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

bool IsPeerReset(int error) { return error == ECONNRESET || error == EPIPE || error == ECONNABORTED; }

bool WouldBlock(int error) { return error == EAGAIN || error == EWOULDBLOCK; }

uint32_t SocketResult(int error) {
  uint32_t code = WinsockErrorFromErrno(error);
  return code != 0 ? code : WSAEINVAL;
}

// A send or receive of the connection; the errno of a failure in *error.
ssize_t Transfer(int fd, uint8_t* data, size_t size, bool send, int* error) {
  for (;;) {
    const ssize_t n = send ? ::send(fd, data, size, MSG_NOSIGNAL) : ::recv(fd, data, size, 0);
    if (n >= 0) {
      *error = 0;
      return n;
    }
    if (errno != EINTR) {
      *error = errno;
      return -1;
    }
  }
}

}  // namespace

DataService::DataService(AccountManager& accounts, FileRegistry& files)
    : accounts_(accounts), files_(files), dispatcher_(accounts, files) {}

DataService::~DataService() {
  Stop();
  if (abandoned_) return;  // a thread may still wait on the descriptors
  for (int fd : {listen_fd_, timer_fd_, stop_fd_, epoll_fd_}) {
    if (fd >= 0) ::close(fd);
  }
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
  uint32_t result = accounts_.LoadAccounts(settings.config_path, &configured_limit).code();
  if (result != ERROR_SUCCESS) return result;
  started_ = true;

  const size_t capacity = settings.max_connections;
  try {
    pool_ = std::make_unique<ContextPool>(capacity, accounts_, files_);
    MutexLock lock(&timer_mu_);
    login_deadlines_.assign(capacity, Deadline{});
    pause_ends_.assign(capacity, Deadline{});
  } catch (const std::bad_alloc&) {
    return ERROR_INSUFFICIENT_BUFFER;
  }

  // The epoll set, the stop event and the timer outlive a stop, for the
  // next start.
  if (epoll_fd_ < 0) epoll_fd_ = ::epoll_create1(EPOLL_CLOEXEC);
  if (epoll_fd_ < 0) return ERROR_NOT_ENOUGH_MEMORY;
  if (stop_fd_ < 0) {
    stop_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = kStopToken;
    if (stop_fd_ >= 0 && ::epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, stop_fd_, &ev) != 0) {
      ::close(stop_fd_);
      stop_fd_ = -1;
    }
  }
  if (timer_fd_ < 0) {
    timer_fd_ = ::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLONESHOT;
    ev.data.u64 = kTimerToken;
    if (timer_fd_ >= 0 && ::epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, timer_fd_, &ev) != 0) {
      ::close(timer_fd_);
      timer_fd_ = -1;
    }
  }
  if (stop_fd_ < 0 || timer_fd_ < 0) return ERROR_NOT_ENOUGH_MEMORY;
  uint64_t drained = 0;
  while (::read(stop_fd_, &drained, sizeof drained) > 0) {
  }
  while (::read(timer_fd_, &drained, sizeof drained) > 0) {
  }
  Rearm(timer_fd_, kTimerToken);

  result = OpenListener(settings);
  if (result != ERROR_SUCCESS) return result;
  {
    MutexLock lock(&timer_mu_);
    next_sweep_ns_ = NowNs() + int64_t{sweep_period_ms_} * kNsPerMs;
    accept_resume_ns_ = 0;
    timer_set_ns_ = 0;
    ScheduleLocked();
  }
  if (!StartThread(&workers_[0]) || !StartThread(&workers_[1])) return ERROR_NOT_ENOUGH_MEMORY;
  return ERROR_SUCCESS;
}

uint32_t DataService::OpenListener(const ServiceSettings& settings) {
  listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (listen_fd_ < 0) return SocketResult(errno);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(settings.listen_address);
  address.sin_port = htons(settings.port);
  socklen_t length = sizeof address;
  // A restarted service must be able to bind while connections of the
  // previous run linger in TIME_WAIT.
  const int on = 1;
  epoll_event ev{};
  ev.events = EPOLLIN | EPOLLONESHOT;
  ev.data.u64 = kListenToken;
  if (::setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
      ::bind(listen_fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listen_fd_, kListenBacklog) != 0 ||
      ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
      ::epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, listen_fd_, &ev) != 0) {
    const int error = errno;
    ::close(listen_fd_);
    listen_fd_ = -1;
    return SocketResult(error);
  }
  port_ = ntohs(address.sin_port);
  return ERROR_SUCCESS;
}

bool DataService::StartThread(std::thread* thread) {
  {
    MutexLock lock(&threads_mu_);
    ++threads_running_;
  }
  try {
    *thread = std::thread([this] { IoWorkerRoutine(); });
  } catch (const std::system_error&) {
    MutexLock lock(&threads_mu_);
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
  // Nothing more is accepted; the descriptor itself stays valid until no
  // worker can be using it.
  if (listen_fd_ >= 0) ::shutdown(listen_fd_, SHUT_RDWR);
  if (stop_fd_ >= 0) {
    uint64_t one = 1;
    // A full counter is readable as well.
    static_cast<void>(::write(stop_fd_, &one, sizeof one));
  }
  if (!WaitForWorkers(std::chrono::steady_clock::now() + std::chrono::milliseconds(kWorkerStopWaitMs))) {
    // A worker hangs in file I/O. It cannot be ended from here; the pool it
    // works on is left alone and the process is expected to exit.
    for (std::thread& thread : workers_) {
      if (thread.joinable()) thread.detach();
    }
    abandoned_ = true;
    return false;
  }
  for (std::thread& thread : workers_) {
    if (thread.joinable()) thread.join();
  }
  if (listen_fd_ >= 0) {
    ::close(listen_fd_);  // also leaves the epoll set
    listen_fd_ = -1;
  }
  if (pool_) pool_->DestroyAll();
  return true;
}

bool DataService::WaitForWorkers(std::chrono::steady_clock::time_point deadline) {
  MutexLock lock(&threads_mu_);
  while (threads_running_ > 0) {
    if (!threads_done_.WaitUntil(deadline)) return threads_running_ == 0;
  }
  return true;
}

size_t DataService::ConnectionCount() { return pool_ ? pool_->InUse() : 0; }

void DataService::IoWorkerRoutine() {
  try {
    for (;;) {
      epoll_event ev{};
      int n = ::epoll_wait(epoll_fd_, &ev, 1, -1);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 || ev.data.u64 == kStopToken || stopping_.load()) break;
      if (n != 1) continue;
      if (ev.data.u64 == kListenToken) {
        AcceptPending();
      } else if (ev.data.u64 == kTimerToken) {
        OnTimer();
      } else {
        Serve(ev.data.u64);
      }
    }
  } catch (...) {
    ServerLog(LogKind::kFailure, "Warning: Exception is catched in IoWorkerRoutine!\n");
  }
  MutexLock lock(&threads_mu_);
  --threads_running_;
  threads_done_.SignalAll();
}

void DataService::Rearm(int fd, uint64_t token) {
  epoll_event ev{};
  ev.events = EPOLLIN | EPOLLONESHOT;
  ev.data.u64 = token;
  ::epoll_ctl(epoll_fd_, EPOLL_CTL_MOD, fd, &ev);
}

void DataService::AcceptPending() {
  for (int i = 0; i < kAcceptsPerTurn; ++i) {
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    const int fd = ::accept4(listen_fd_, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
    // Whatever was accepted during a stop is closed, and the listening
    // socket is not registered again.
    if (stopping_.load()) {
      if (fd >= 0) ::close(fd);
      return;
    }
    if (fd < 0) {
      if (WouldBlock(errno)) break;
      // A connection reset while it waited in the backlog is simply gone.
      if (errno == EINTR || errno == ECONNABORTED) continue;
      MutexLock lock(&timer_mu_);
      accept_resume_ns_ = NowNs() + kAcceptRetryDelayNs;
      ScheduleLocked();
      return;
    }
    AcceptConnection(fd, peer.sin_addr.s_addr, ntohs(peer.sin_port));
  }
  Rearm(listen_fd_, kListenToken);
}

void DataService::AcceptConnection(int fd, uint32_t peer_address, uint16_t peer_port) {
  const int on = 1;
  uint32_t key = 0;
  ClientContext* c = nullptr;
  if (::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) == 0) {
    c = pool_->Alloc(peer_address, peer_port, fd, GetTickCount(), &key);
  }
  if (c == nullptr) {
    // The pool is full: the client sees the connection closed without any
    // data.
    ::close(fd);
    return;
  }

  ServerLog(LogKind::kConnection, "============================================================\n");
  ServerLog(LogKind::kConnection, "客户机:[%s] 连接文件服务器!\n", PeerText(c->session).text);

  MutexLock lock(&pool_->mutex());
  if (!c->in_use || c->session.key != key) return;
  SetReceiveLowWater(c);
  ArmLocked(c, true);
  SetDeadline(true, SlotOf(c), NowNs() + int64_t{login_limit_ms_} * kNsPerMs, key);
}

void DataService::ScheduleLocked() {
  int64_t next = next_sweep_ns_;
  if (accept_resume_ns_ != 0) next = std::min(next, accept_resume_ns_);
  for (const std::vector<Deadline>* list : {&login_deadlines_, &pause_ends_}) {
    for (const Deadline& d : *list) {
      if (d.key != 0) next = std::min(next, d.at_ns);
    }
  }
  if (next == timer_set_ns_) return;
  itimerspec spec{};
  // An absolute time of 0 would disarm the timer; a deadline already past
  // fires at once.
  const int64_t at = std::max<int64_t>(next, 1);
  spec.it_value.tv_sec = at / 1'000'000'000;
  spec.it_value.tv_nsec = at % 1'000'000'000;
  if (::timerfd_settime(timer_fd_, TFD_TIMER_ABSTIME, &spec, nullptr) == 0) timer_set_ns_ = next;
}

void DataService::SetDeadline(bool login, size_t slot, int64_t at_ns, uint32_t key) {
  MutexLock lock(&timer_mu_);
  (login ? login_deadlines_ : pause_ends_)[slot] = Deadline{at_ns, key};
  if (timer_set_ns_ == 0 || at_ns < timer_set_ns_) ScheduleLocked();
}

void DataService::OnTimer() {
  uint64_t expirations = 0;
  static_cast<void>(::read(timer_fd_, &expirations, sizeof expirations));  // only clears its readiness
  const int64_t now = NowNs();
  bool sweep = false;
  bool resume_accept = false;
  // What is due is taken off the lists in batches of a fixed size and acted
  // on outside timer_mu_, since that takes the pool lock.
  struct Due {
    size_t slot;
    uint32_t key;
    bool login;
  };
  for (bool more = true; more;) {
    std::array<Due, 32> due;
    size_t n = 0;
    {
      MutexLock lock(&timer_mu_);
      more = false;
      for (size_t slot = 0; slot < login_deadlines_.size() && !more; ++slot) {
        for (bool login : {true, false}) {
          Deadline& d = (login ? login_deadlines_ : pause_ends_)[slot];
          if (d.key == 0 || d.at_ns > now) continue;
          if (n == due.size()) {
            more = true;
            break;
          }
          due[n++] = Due{slot, d.key, login};
          d = Deadline{};
        }
      }
      if (!more) {
        if (next_sweep_ns_ <= now) {
          sweep = true;
          next_sweep_ns_ = now + int64_t{sweep_period_ms_} * kNsPerMs;
        }
        if (accept_resume_ns_ != 0 && accept_resume_ns_ <= now) {
          resume_accept = true;
          accept_resume_ns_ = 0;
        }
        timer_set_ns_ = 0;  // it has fired
        ScheduleLocked();
      }
    }
    for (size_t i = 0; i < n; ++i) {
      if (due[i].login) {
        OnLoginDeadline(due[i].slot, due[i].key);
      } else {
        OnPauseEnd(due[i].slot, due[i].key);
      }
    }
  }
  if (sweep) pool_->SweepIdle(GetTickCount(), idle_limit_ms_);
  if (resume_accept && !stopping_.load()) Rearm(listen_fd_, kListenToken);
  Rearm(timer_fd_, kTimerToken);
}

void DataService::OnLoginDeadline(size_t slot, uint32_t key) {
  MutexLock lock(&pool_->mutex());
  ClientContext* c = &pool_->slot(slot);
  if (!c->in_use || c->session.key != key) return;
  if (c->busy) {
    c->login_overdue = true;
  } else if (!c->session.logged_in) {
    ReleaseLateLoginLocked(c);
  }
}

void DataService::OnPauseEnd(size_t slot, uint32_t key) {
  MutexLock lock(&pool_->mutex());
  ClientContext* c = &pool_->slot(slot);
  if (!c->in_use || c->session.key != key || !c->held) return;
  c->held = false;
  ArmLocked(c, false);
}

void DataService::ReleaseLateLoginLocked(ClientContext* c) {
  ServerLog(LogKind::kFailure, "No login within %d ms: [%s] connection closed\n", static_cast<int>(login_limit_ms_),
            PeerText(c->session).text);
  pool_->ReleaseLocked(c);
}

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
  ::epoll_ctl(epoll_fd_, add ? EPOLL_CTL_ADD : EPOLL_CTL_MOD, c->fd, &ev);
}

void DataService::Serve(uint64_t token) {
  size_t slot = static_cast<size_t>(token >> 32) - 1;
  uint32_t key = static_cast<uint32_t>(token);
  if (slot >= pool_->capacity()) return;
  ClientContext* c = &pool_->slot(slot);
  {
    MutexLock lock(&pool_->mutex());
    // An event of an earlier connection of this slot (released since): it
    // names a key no longer held.
    if (!c->in_use || c->session.key != key || c->busy) return;
    if (c->held) {
      // The peer went while its next request waited out the pause.
      LogTransferEnd(0);
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
    int error = 0;
    if (c->io_kind == IO_SEND) {
      const uint32_t n = c->remaining;
      if (c->offset == 0 && n <= kOutboxSize - c->out_end) {
        std::memcpy(c->outbox + c->out_end, c->buffer, n);
        c->out_end += n;
      } else {
        const Flow flow = FlushOutbox(c, &error);
        if (flow == Flow::kWouldBlock) break;
        if (flow == Flow::kFailed) {
          LogTransferEnd(error);
          release = true;
          break;
        }
        if (c->offset == 0 && n <= kOutboxSize) continue;  // fits the emptied outbox
        const ssize_t moved = Transfer(c->fd, c->buffer + c->offset, c->remaining, true, &error);
        if (WouldBlock(error)) break;
        if (moved <= 0) {
          LogTransferEnd(error);
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
      FlushOutbox(c, &error);
      release = next == DispatchOutcome::kRelease;
      hold = next == DispatchOutcome::kReceiveHeaderLater;
      break;
    }

    if (c->remaining == 0) {
      // Only a mapped request that announced no payload gets here: its
      // empty receive is taken for the peer's close, as it always has been.
      LogTransferEnd(0);
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
      const Flow flow = FlushOutbox(c, &error);
      if (flow == Flow::kWouldBlock) break;
      if (flow == Flow::kFailed) {
        LogTransferEnd(error);
        release = true;
        break;
      }
      // A client that keeps sending still takes its turn with the others;
      // what it has sent wakes a worker again at once.
      if (++receives > kReceivesPerTurn) break;
      const bool direct = c->remaining >= kInboxSize / 2;
      const ssize_t moved = direct ? Transfer(c->fd, c->buffer + c->offset, c->remaining, false, &error)
                                   : Transfer(c->fd, c->inbox, kInboxSize, false, &error);
      if (WouldBlock(error)) break;
      if (moved <= 0) {
        LogTransferEnd(error);
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
  MutexLock lock(&pool_->mutex());
  c->busy = false;
  if (release) {
    pool_->ReleaseLocked(c);
  } else if (c->login_overdue && !c->session.logged_in) {
    ReleaseLateLoginLocked(c);
  } else if (hold) {
    // After a failed login the next request stays in the socket for a while.
    c->held = true;
    ArmLocked(c, false);
    SetDeadline(false, slot, NowNs() + int64_t{kLoginRetryDelayMs} * kNsPerMs, key);
  } else {
    ArmLocked(c, false);
  }
}

DataService::Flow DataService::FlushOutbox(ClientContext* c, int* error) {
  while (c->out_start < c->out_end) {
    const ssize_t moved = Transfer(c->fd, c->outbox + c->out_start, c->out_end - c->out_start, true, error);
    if (WouldBlock(*error)) return Flow::kWouldBlock;
    if (moved <= 0) return Flow::kFailed;
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
  if (::setsockopt(c->fd, SOL_SOCKET, SO_RCVLOWAT, &value, sizeof value) == 0) {
    c->receive_low_water = wanted;
  }
}

void DataService::LogTransferEnd(int error) {
  if (IsPeerReset(error)) {
    ServerLog(LogKind::kFailure, "GetQueuedCompletionStatus failed: %d\n", kPeerResetLogged);
  } else if (error == 0) {
    ServerLog(LogKind::kConnection, "Client is close socket!\n");
  }
}

}  // namespace tervane
