// Test-only: a status sink and a session UI that record what they are given.
// Thread-safe; RecordingUi's public records are read once the run has ended.
#ifndef TERVANE_TESTING_TEST_RECORDERS_H_
#define TERVANE_TESTING_TEST_RECORDERS_H_

#include <algorithm>
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
    const std::vector<std::string> all = lines();
    return static_cast<int>(std::count(all.begin(), all.end(), text));
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
    Record(&messages, caption + "|" + text);
  }
  void SetCaption(const std::string& caption) override { Record(&captions, caption); }
  void ExitProcess(int code) override { Record(&exit_codes, code); }
  std::vector<std::string> messages;
  std::vector<std::string> captions;
  std::vector<int> exit_codes;

 private:
  template <typename T>
  void Record(std::vector<T>* to, T value) {
    MutexLock lock(&mu_);
    to->push_back(std::move(value));
  }
  Mutex mu_;
};

}  // namespace tervane::testing

#endif  // TERVANE_TESTING_TEST_RECORDERS_H_
