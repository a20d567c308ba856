// The last-run record: what the latest backup run of a workstation did,
// kept beside its settings file (BK_CLIENT_CFG.last-run beside
// BK_CLIENT_CFG.ini) by the dialog and by the headless run alike, and read
// by "tervaneclt --status", the failure notification and the dialog when it
// opens.
//
//   [LAST_RUN]
//   ENDED=1796040005            the run's end, Unix time
//   ACCOUNT=desk-ann
//   RESULT=1                    the run's exit code: 0, 1 or 2
//   SUMMARY=已上传 12 个文件 ...  the run's last status line
//   FILES=12 BYTES=3456 DIRECTORIES=4 FAILURES=1    (one key per line)
//   FAILED=  /home/ann/a.txt: 磁盘空间不足 (Error:112)   (one line per failure)
//
// UTF-8, one key per line. Plain functions; the file is replaced whole, so a
// reader sees the old record or the new one.
#ifndef TERVANE_CLIENT_APP_LAST_RUN_H_
#define TERVANE_CLIENT_APP_LAST_RUN_H_

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

namespace tervane {

// A run older than this while the daily timer is on counts as missed.
inline constexpr time_t kMissedRunSeconds = 26 * 3600;
// Failures kept in the record; the rest are counted only.
inline constexpr size_t kMaxFailedKept = 100;

struct LastRun {
  int64_t ended = 0;
  std::string account;
  int result = 2;  // 0 everything uploaded; 1 some failures; 2 no login, lost connection, nothing run
  std::string summary;
  uint64_t files = 0;
  uint64_t bytes = 0;
  uint64_t directories = 0;
  uint64_t failures = 0;
  std::vector<std::string> failed;  // at most kMaxFailedKept lines, each "  <path>: <reason>"
};

// BK_CLIENT_CFG.ini -> BK_CLIENT_CFG.last-run in the same folder.
std::string LastRunPath(const std::string& settings_path);

// Replaces the record at `path`; false when it cannot be written.
bool WriteLastRun(const std::string& path, const LastRun& run);
// True and *run filled when `path` holds a record.
bool ReadLastRun(const std::string& path, LastRun* run);

// The status a run record stands for as of `now`: its result; 2 when there
// is no record (`run` null), or when the timer is on and the run ended more
// than kMissedRunSeconds ago.
int LastRunStatus(const LastRun* run, bool timer_on, time_t now);

// One line for the dialog's status line, e.g.
// "上次备份[2026-12-07 18:00:05]: 部分失败 - 已上传 12 个文件 ...".
std::string LastRunLine(const LastRun& run);

// tervaneclt --status: prints the record beside `settings_path` (or that
// there is none) to `out`, and returns LastRunStatus.
int RunStatusCommand(const std::string& settings_path, bool timer_on, time_t now, FILE* out);

}  // namespace tervane

#endif  // TERVANE_CLIENT_APP_LAST_RUN_H_
