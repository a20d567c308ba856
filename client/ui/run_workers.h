// The worker threads of the dialog's runs: each run gets its own thread,
// which ends with its run. Finished threads are joined whenever a new one
// starts, and the destructor joins the rest.
#ifndef TERVANE_CLIENT_UI_RUN_WORKERS_H_
#define TERVANE_CLIENT_UI_RUN_WORKERS_H_

#include <chrono>
#include <functional>
#include <list>
#include <memory>
#include <thread>

#include "shared/platform/mutex.h"

namespace tervane {

// Start, Active, WaitFor and JoinAll are called from one thread (the UI
// thread); the bodies run on their own threads.
class RunWorkers {
 public:
  RunWorkers() = default;
  ~RunWorkers();  // JoinAll
  RunWorkers(const RunWorkers&) = delete;
  RunWorkers& operator=(const RunWorkers&) = delete;

  void Start(std::function<void()> body);
  // Number of bodies still running.
  int Active() const;
  // Waits until no body runs or `timeout` passed, calling `pump` between
  // short waits; true when none runs.
  bool WaitFor(std::chrono::milliseconds timeout, const std::function<void()>& pump);
  void JoinAll();

 private:
  // A worker's `done` is read by the owning thread while the worker's own
  // thread sets it, so each carries the lock guarding it.
  struct Worker {
    std::thread thread;
    Mutex mu;
    bool done GUARDED_BY(mu) = false;
    bool Done() EXCLUDES(mu) {
      MutexLock hold(&mu);
      return done;
    }
  };
  void ReapFinished();

  std::list<std::shared_ptr<Worker>> workers_;  // touched by the owning thread only
};

}  // namespace tervane

#endif  // TERVANE_CLIENT_UI_RUN_WORKERS_H_
