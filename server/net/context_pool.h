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

#include <asio.hpp>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "server/net/client_context.h"

namespace tervane {

class AccountManager;
class FileRegistry;

class ContextPool {
 public:
  // CreateContextPool: `capacity` slots whose sockets belong to `io`. The
  // account manager and registry must outlive the pool.
  ContextPool(asio::io_context& io, size_t capacity, AccountManager& accounts, FileRegistry& files);
  // Releases what DestroyAll has not.
  ~ContextPool();
  ContextPool(const ContextPool&) = delete;
  ContextPool& operator=(const ContextPool&) = delete;

  // AllocContext: takes the lowest free slot, resets it, moves `socket` into
  // it and gives it a fresh key (*key, read under the lock); the first
  // receive (a header) is prepared but not posted, and lastActivity and
  // the accept time are `now`. Null when every slot is in use (`socket` is then left with the
  // caller).
  ClientContext* Alloc(uint32_t peer_address, uint16_t peer_port, asio::ip::tcp::socket& socket,
                       uint32_t now, uint32_t* key);

  // FreeContext: releases the slot if it still holds the connection `key`.
  void Free(ClientContext* c, uint32_t key);

  // ReleaseContext: logs "Server Close ClientSocket!" when the socket is
  // open, unbinds the account, closes the socket (a pending operation then
  // ends with operation_aborted), closes every open file and clears the
  // slot. A slot already free is left alone.
  void ReleaseLocked(ClientContext* c);

  // SweepIdleContexts' scan: releases every connection in use, not being
  // served, and silent for more than `idle_limit_ms` at `now` (unsigned
  // difference, so the tick's wrap is harmless), logging
  // "Free SockResource: %d\n" with `now` for each. Returns how many.
  size_t SweepIdle(uint32_t now, uint32_t idle_limit_ms);

  // DestroyContextPool's release of every slot still in use; only once no
  // worker runs.
  void DestroyAll();

  std::mutex& mutex() { return mu_; }
  size_t capacity() const { return slots_.size(); }
  ClientContext& slot(size_t i) { return *slots_[i]; }
  // Slots in use now.
  size_t InUse();

 private:
  uint32_t NextKeyLocked();

  AccountManager& accounts_;
  FileRegistry& files_;
  std::mutex mu_;
  std::vector<std::unique_ptr<ClientContext>> slots_;  // fixed after construction
  uint32_t last_key_ = 0;                             // GUARDED_BY(mu_)
};

}  // namespace tervane

#endif  // TERVANE_SERVER_NET_CONTEXT_POOL_H_
