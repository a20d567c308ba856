// The ContextPool: a fixed number of ClientContext slots, allocated once when
// the data service starts, and the pool lock. Accepting, serving and
// releasing a connection allocate nothing.
//
// Thread-safety: every member takes the pool lock itself except those named
// *Locked (the caller holds mutex()) and DestroyAll (no other thread runs).
// Lock order: the pool lock, then the account manager's lock (Logout), then
// the open-file registry's (closing files).
#ifndef TERVANE_SERVER_NET_CONTEXT_POOL_H_
#define TERVANE_SERVER_NET_CONTEXT_POOL_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "server/net/client_context.h"
#include "shared/platform/mutex.h"

namespace tervane {

class AccountManager;
class FileRegistry;

class ContextPool {
 public:
  // CreateContextPool: `capacity` slots. The account manager and registry
  // must outlive the pool.
  ContextPool(size_t capacity, AccountManager& accounts, FileRegistry& files);
  // Releases what DestroyAll has not.
  ~ContextPool();
  ContextPool(const ContextPool&) = delete;
  ContextPool& operator=(const ContextPool&) = delete;

  // AllocContext: takes the lowest free slot, resets it, hands it the
  // socket `fd` and gives it a fresh key (*key, read under the lock); the
  // first receive (a header) is prepared but not posted, and lastActivity
  // and the accept time are `now`. Null when every slot is in use (`fd` is
  // then still the caller's to close).
  ClientContext* Alloc(uint32_t peer_address, uint16_t peer_port, int fd, uint32_t now, uint32_t* key)
      EXCLUDES(mu_);

  // FreeContext: releases the slot if it still holds the connection `key`.
  void Free(ClientContext* c, uint32_t key) EXCLUDES(mu_);

  // ReleaseContext: logs "Server Close ClientSocket!" when the socket is
  // open, unbinds the account, closes the socket (which also takes it out
  // of any epoll set), closes every open file and clears the slot. A slot
  // already free is left alone.
  void ReleaseLocked(ClientContext* c) REQUIRES(mu_);

  // SweepIdleContexts' scan: releases every connection in use, not being
  // served, and silent for more than `idle_limit_ms` at `now` (unsigned
  // difference, so the tick's wrap is harmless), logging
  // "Free SockResource: %d\n" with `now` for each. Returns how many.
  size_t SweepIdle(uint32_t now, uint32_t idle_limit_ms) EXCLUDES(mu_);

  // DestroyContextPool's release of every slot still in use; only once no
  // worker runs.
  void DestroyAll() EXCLUDES(mu_);

  Mutex& mutex() RETURN_CAPABILITY(mu_) { return mu_; }
  size_t capacity() const { return slots_.size(); }
  ClientContext& slot(size_t i) { return *slots_[i]; }
  // Slots in use now.
  size_t InUse() EXCLUDES(mu_);

 private:
  uint32_t NextKeyLocked() REQUIRES(mu_);

  AccountManager& accounts_;
  FileRegistry& files_;
  Mutex mu_;
  std::vector<std::unique_ptr<ClientContext>> slots_;  // fixed after construction
  uint32_t last_key_ GUARDED_BY(mu_) = 0;
};

}  // namespace tervane

#endif  // TERVANE_SERVER_NET_CONTEXT_POOL_H_
