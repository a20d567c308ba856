#include "client/ui/run_workers.h"

#include <utility>

namespace tervane {

RunWorkers::~RunWorkers() { JoinAll(); }

void RunWorkers::Start(std::function<void()> body) {
  ReapFinished();
  auto worker = std::make_shared<Worker>();
  // The thread holds its own reference, so `done` outlives a reap that
  // happens between the body's end and the thread's return.
  worker->thread = std::thread([worker, body = std::move(body)] {
    body();
    MutexLock hold(&worker->mu);
    worker->done = true;
  });
  workers_.push_back(std::move(worker));
}

int RunWorkers::Active() const {
  int active = 0;
  for (const auto& worker : workers_) {
    if (!worker->Done()) ++active;
  }
  return active;
}

bool RunWorkers::WaitFor(std::chrono::milliseconds timeout, const std::function<void()>& pump) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (Active() > 0) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    if (pump) pump();
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ReapFinished();
  return true;
}

void RunWorkers::JoinAll() {
  for (auto& worker : workers_) {
    if (worker->thread.joinable()) worker->thread.join();
  }
  workers_.clear();
}

void RunWorkers::ReapFinished() {
  for (auto it = workers_.begin(); it != workers_.end();) {
    if ((*it)->Done()) {
      // The body has ended; only the thread's last instructions remain.
      if ((*it)->thread.joinable()) (*it)->thread.join();
      it = workers_.erase(it);
    } else {
      ++it;
    }
  }
}

}  // namespace tervane
