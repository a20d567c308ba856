// A status sink that passes every line on and keeps what the last-run record
// needs from them: the last line (a finished run's summary, or the line that
// ended it) and the failure lines, each file's "  <path>: <reason>" and each
// configured directory that could not be opened.
//
// Thread-safety: ShowStatus may be called from any thread; read the results
// and write the record after the run has ended (one run at a time).
#ifndef TERVANE_CLIENT_APP_RUN_RECORDER_H_
#define TERVANE_CLIENT_APP_RUN_RECORDER_H_

#include <string>
#include <vector>

#include "client/app/sync_engine.h"
#include "client/net/status_sink.h"
#include "shared/platform/mutex.h"

namespace tervane {

class RunRecorder : public StatusSink {
 public:
  // `next` (may be null) receives every line unchanged; it must outlive this.
  explicit RunRecorder(StatusSink* next) : next_(next) {}

  void ShowStatus(const std::string& utf8) override EXCLUDES(mu_);

  std::string last_line() EXCLUDES(mu_);
  std::vector<std::string> failures() EXCLUDES(mu_);  // at most kMaxFailedKept (last_run.h)

  // Writes the last-run record beside `settings_path` for a run that took
  // place (not one dropped as busy) and ended with `exit_code` at `ended`,
  // then forgets its lines for the next run. False when nothing was written.
  bool WriteRecord(const std::string& settings_path, const std::string& account, const SyncReport& report,
                   int exit_code, time_t ended) EXCLUDES(mu_);

 private:
  StatusSink* next_;
  Mutex mu_;
  std::string last_line_ GUARDED_BY(mu_);
  std::vector<std::string> failures_ GUARDED_BY(mu_);
};

}  // namespace tervane

#endif  // TERVANE_CLIENT_APP_RUN_RECORDER_H_
