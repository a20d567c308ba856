// A mutex, its scoped lock and a condition variable that clang's
// thread-safety analysis understands (std::mutex carries no attributes in
// libstdc++). Fields name the Mutex that guards them with GUARDED_BY;
// functions that expect it held say REQUIRES.
//
// Mutex is not re-entrant: a thread that locks it twice deadlocks.
#ifndef TERVANE_SHARED_PLATFORM_MUTEX_H_
#define TERVANE_SHARED_PLATFORM_MUTEX_H_

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "shared/platform/thread_annotations.h"

namespace tervane {

class CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void Lock() ACQUIRE() { mu_.lock(); }
  void Unlock() RELEASE() { mu_.unlock(); }
  bool TryLock() TRY_ACQUIRE(true) { return mu_.try_lock(); }
  // Tells the analysis that the caller holds it (where it cannot see why).
  void AssertHeld() ASSERT_CAPABILITY(this) {}

 private:
  friend class CondVar;
  std::mutex mu_;
};

// Holds `mu` for its scope.
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex* mu) ACQUIRE(mu) : mu_(mu) { mu_->Lock(); }
  ~MutexLock() RELEASE() { mu_->Unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex* const mu_;
};

// Waits on `mu`, which the caller holds around every call. The waits carry
// no REQUIRES: the analysis would name the lock `cv.mu_`, which no caller
// can be seen to hold, so it cannot tie a CondVar to the Mutex it was built
// over. The fields a wait loop reads are still checked against that Mutex.
class CondVar {
 public:
  explicit CondVar(Mutex* mu) : mu_(mu) {}
  CondVar(const CondVar&) = delete;
  CondVar& operator=(const CondVar&) = delete;

  void Wait() {
    std::unique_lock<std::mutex> lock(mu_->mu_, std::adopt_lock);
    cv_.wait(lock);
    lock.release();
  }
  // False when `deadline` passed first (a spurious wake also returns true:
  // callers loop on their condition).
  bool WaitUntil(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(mu_->mu_, std::adopt_lock);
    const bool woken = cv_.wait_until(lock, deadline) == std::cv_status::no_timeout;
    lock.release();
    return woken;
  }
  void Signal() { cv_.notify_one(); }
  void SignalAll() { cv_.notify_all(); }

 private:
  Mutex* const mu_;
  std::condition_variable cv_;
};

}  // namespace tervane

#endif  // TERVANE_SHARED_PLATFORM_MUTEX_H_
