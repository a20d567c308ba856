// The lines restore and verify show about one path, how they tell a failed
// file from a lost connection, and when they end early.
#ifndef TERVANE_CLIENT_APP_COPY_MESSAGES_H_
#define TERVANE_CLIENT_APP_COPY_MESSAGES_H_

#include <atomic>
#include <cstdint>
#include <string>

#include "shared/protocol/result.h"

namespace tervane {

struct RemoteSession;
class StatusSink;

// "  <path>: <reason in words> (Error:<code>)\n", the line under a failure,
// as a backup run writes it under "上传失败".
std::string FailureLine(const std::string& path, Result code);

// True when the session's connection is gone (the library closes it on any
// socket failure or reply out of step): nothing more can be done on it.
bool ConnectionLost(RemoteSession* session);

// printf into a string of at most 1,023 bytes.
std::string FormatText(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The status output of one restore or verify run over one session. Not
// thread-safe: used by the run's own thread; `status` and `stop` may be null.
class CopyRunOutput {
 public:
  // `failed_text` goes before the reason line of each failure ("恢复失败");
  // `lost_text` starts the one line of a lost connection ("与服务器的连接中断，恢复中止").
  CopyRunOutput(RemoteSession* session, StatusSink* status, const std::atomic<bool>* stop, const char* failed_text,
                const char* lost_text)
      : session_(session), status_(status), stop_(stop), failed_text_(failed_text), lost_text_(lost_text) {}

  void Show(const std::string& text) const;

  // True when the run is to end: its connection is gone, or the stop flag
  // is set (then *stopped is set too).
  bool Ended(bool connection_lost, bool* stopped) const;

  // Counts one failure of `path` in *failed and names it; once the
  // connection is gone, one line for the whole run instead of one per file
  // left, and *connection_lost is set.
  void Fail(const std::string& path, Result code, uint32_t* failed, bool* connection_lost) const;

 private:
  RemoteSession* const session_;
  StatusSink* const status_;
  const std::atomic<bool>* const stop_;
  const char* const failed_text_;
  const char* const lost_text_;
};

// A steady clock in nanoseconds, and whole seconds since one of its readings.
int64_t SteadyNowNs();
int64_t SecondsSince(int64_t start_ns);

}  // namespace tervane

#endif  // TERVANE_CLIENT_APP_COPY_MESSAGES_H_
