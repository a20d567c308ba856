#include "server/net/context_pool.h"

#include <unistd.h>

#include <cstring>

#include "server/net/server_log.h"
#include "server/store/account_manager.h"
#include "server/store/file_registry.h"

namespace tervane {

ContextPool::ContextPool(size_t capacity, AccountManager& accounts, FileRegistry& files)
    : accounts_(accounts), files_(files) {
  slots_.reserve(capacity);
  for (size_t i = 0; i < capacity; ++i) slots_.push_back(std::make_unique<ClientContext>());
}

ContextPool::~ContextPool() { DestroyAll(); }

uint32_t ContextPool::NextKeyLocked() {
  // Keys count up from 1 and skip 0 and any key still held, so that even
  // after the counter wraps no two live connections share one.
  for (;;) {
    ++last_key_;
    if (last_key_ == 0) continue;
    bool taken = false;
    for (const auto& s : slots_) taken = taken || (s->in_use && s->session.key == last_key_);
    if (!taken) return last_key_;
  }
}

ClientContext* ContextPool::Alloc(uint32_t peer_address, uint16_t peer_port, int fd, uint32_t now, uint32_t* key) {
  MutexLock lock(&mu_);
  for (auto& s : slots_) {
    ClientContext* c = s.get();
    if (c->in_use) continue;
    c->in_use = true;
    c->busy = false;
    c->login_overdue = false;
    c->held = false;
    c->session.key = NextKeyLocked();
    c->session.peer_address = peer_address;
    c->session.peer_port = peer_port;
    c->fd = fd;
    c->session.open = false;
    c->session.accepted_at = now;
    c->session.logged_in = false;
    c->session.registered = false;
    c->session.failed_logins = 0;
    c->io_kind = IO_RECEIVE;
    c->stage = STAGE_HEADER;
    c->offset = 0;
    c->remaining = kHeaderSize;
    c->receive_low_water = 1;
    c->in_start = c->in_end = c->out_start = c->out_end = 0;
    c->last_activity.store(now, std::memory_order_relaxed);
    *key = c->session.key;
    return c;
  }
  return nullptr;
}

void ContextPool::Free(ClientContext* c, uint32_t key) {
  MutexLock lock(&mu_);
  if (c->in_use && c->session.key == key) ReleaseLocked(c);
}

void ContextPool::ReleaseLocked(ClientContext* c) {
  if (!c->in_use) return;
  if (c->fd >= 0) {
    ServerLog(LogKind::kConnection, "Server Close ClientSocket!\n");
    accounts_.Logout(c->session.key);
    ::close(c->fd);
    c->fd = -1;
  }
  c->session.open = false;
  c->session.logged_in = false;
  c->session.registered = false;
  c->session.failed_logins = 0;
  c->session.open_files.CloseAll(files_);
  c->in_use = false;
  c->busy = false;
  c->login_overdue = false;
  c->held = false;
  c->session.key = 0;
  c->session.peer_address = 0;
  c->session.peer_port = 0;
  c->last_activity.store(0, std::memory_order_relaxed);
  c->remaining = 0;
  c->receive_low_water = 1;
  c->offset = 0;
  c->io_kind = IO_RECEIVE;
  c->stage = STAGE_HEADER;
  c->in_start = c->in_end = c->out_start = c->out_end = 0;
  std::memset(c->buffer, 0, sizeof c->buffer);
  std::memset(c->inbox, 0, sizeof c->inbox);
  std::memset(c->outbox, 0, sizeof c->outbox);
}

size_t ContextPool::SweepIdle(uint32_t now, uint32_t idle_limit_ms) {
  MutexLock lock(&mu_);
  size_t released = 0;
  for (auto& s : slots_) {
    ClientContext* c = s.get();
    // A connection a worker is serving may look idle (a long tree delete);
    // it is left alone until its request is done.
    if (!c->in_use || c->busy) continue;
    uint32_t idle = now - c->last_activity.load(std::memory_order_relaxed);
    if (idle <= idle_limit_ms) continue;
    ServerLog(LogKind::kConnection, "Free SockResource: %d\n", static_cast<int>(now));
    ReleaseLocked(c);
    ++released;
  }
  return released;
}

void ContextPool::DestroyAll() {
  MutexLock lock(&mu_);
  for (auto& s : slots_) ReleaseLocked(s.get());
}

size_t ContextPool::InUse() {
  MutexLock lock(&mu_);
  size_t n = 0;
  for (const auto& s : slots_) n += s->in_use ? 1 : 0;
  return n;
}

}  // namespace tervane
