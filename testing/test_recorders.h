// Test-only: a status sink and a session UI that record what they are given.
#ifndef TERVANE_TESTING_TEST_RECORDERS_H_
#define TERVANE_TESTING_TEST_RECORDERS_H_

#include <functional>
#include <string>
#include <vector>

#include "client/app/session_ui.h"
#include "client/net/status_sink.h"
#include "shared/platform/mutex.h"

namespace tervane::testing {

class RecordingStatus : public StatusSink {
 public:
  void ShowStatus(const std::string& utf8) override {
    std::function<void(const std::string&)> hook;
    {
      MutexLock lock(&mu_);
      lines_.push_back(utf8);
      hook = hook_;
    }
    if (hook) hook(utf8);
  }
  std::vector<std::string> lines() const {
    MutexLock lock(&mu_);
    return lines_;
  }
  int Count(const std::string& text) const {
    int n = 0;
    for (const auto& l : lines()) n += l == text ? 1 : 0;
    return n;
  }
  // Called (outside the lock) for every line, on the caller's thread.
  void SetHook(std::function<void(const std::string&)> hook) {
    MutexLock lock(&mu_);
    hook_ = std::move(hook);
  }

 private:
  mutable Mutex mu_;
  std::vector<std::string> lines_ GUARDED_BY(mu_);
  std::function<void(const std::string&)> hook_ GUARDED_BY(mu_);
};

class RecordingUi : public SessionUi {
 public:
  void ShowMessage(const std::string& caption, const std::string& text) override {
    MutexLock lock(&mu_);
    messages.push_back(caption + "|" + text);
  }
  void SetCaption(const std::string& caption) override {
    MutexLock lock(&mu_);
    captions.push_back(caption);
  }
  void ExitProcess(int code) override {
    MutexLock lock(&mu_);
    exit_codes.push_back(code);
  }
  std::vector<std::string> messages;
  std::vector<std::string> captions;
  std::vector<int> exit_codes;

 private:
  Mutex mu_;  // the public records are read once the run has ended
};

}  // namespace tervane::testing

#endif  // TERVANE_TESTING_TEST_RECORDERS_H_
