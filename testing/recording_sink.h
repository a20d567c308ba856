// Test helper: a StatusSink that keeps every line it is shown, in order.
// Thread-safe: runs report from worker threads while a test reads.
#ifndef TERVANE_TESTING_RECORDING_SINK_H_
#define TERVANE_TESTING_RECORDING_SINK_H_

#include <mutex>
#include <string>
#include <vector>

#include "client/net/status_sink.h"

namespace tervane {

class RecordingSink : public StatusSink {
 public:
  void ShowStatus(const std::string& utf8) override {
    std::lock_guard<std::mutex> hold(mu_);
    lines_.push_back(utf8);
  }
  std::vector<std::string> lines() const {
    std::lock_guard<std::mutex> hold(mu_);
    return lines_;
  }

 private:
  mutable std::mutex mu_;
  std::vector<std::string> lines_;  // GUARDED_BY(mu_)
};

}  // namespace tervane

#endif  // TERVANE_TESTING_RECORDING_SINK_H_
