#include "client/app/run_recorder.h"

#include "client/app/last_run.h"

namespace tervane {
namespace {

// The line a configured directory that cannot be listed gets.
constexpr char kUnlistedDirectory[] = "待备份的目录无法打开";

}  // namespace

void RunRecorder::ShowStatus(const std::string& utf8) {
  if (next_ != nullptr) next_->ShowStatus(utf8);
  std::string line = utf8;
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  if (line.empty()) return;
  MutexLock lock(&mu_);
  last_line_ = line;
  const bool failure = line.rfind("  ", 0) == 0 || line.rfind(kUnlistedDirectory, 0) == 0;
  if (failure && failures_.size() < kMaxFailedKept) failures_.push_back(line);
}

std::string RunRecorder::last_line() {
  MutexLock lock(&mu_);
  return last_line_;
}

std::vector<std::string> RunRecorder::failures() {
  MutexLock lock(&mu_);
  return failures_;
}

bool RunRecorder::WriteRecord(const std::string& settings_path, const std::string& account, const SyncReport& report,
                              int exit_code, time_t ended) {
  if (report.outcome == SyncReport::Outcome::kBusy) return false;
  LastRun run;
  run.ended = static_cast<int64_t>(ended);
  run.account = account;
  run.result = exit_code < 0 || exit_code > 2 ? 2 : exit_code;
  run.files = report.files_uploaded;
  run.bytes = report.bytes_uploaded;
  run.directories = report.directories;
  run.failures = report.failures();
  MutexLock lock(&mu_);
  run.summary = last_line_;
  run.failed = failures_;
  last_line_.clear();
  failures_.clear();
  return WriteLastRun(LastRunPath(settings_path), run);
}

}  // namespace tervane
