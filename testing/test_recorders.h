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
  int Count(const std::string& text) const { return static_cast<int>(std::ranges::count(lines(), text)); }
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

// File descriptor 1 sent to a temporary file while the object lives, so
// that what a unit writes there (the server's log lines) can be read back;
// C stdio flushed at both ends. One capture at a time in a process.
class CapturedStdout {
 public:
  CapturedStdout();
  ~CapturedStdout();
  CapturedStdout(const CapturedStdout&) = delete;
  CapturedStdout& operator=(const CapturedStdout&) = delete;

  // Puts the original standard output back (also done by the destructor).
  void Restore();
  // Everything written so far.
  std::string Text() const;

 private:
  int fd_ = -1;
  int saved_ = -1;
};

}  // namespace tervane::testing

#endif  // TERVANE_TESTING_TEST_RECORDERS_H_
