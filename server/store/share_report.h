// The administrator's overview of the share, read straight from disk without
// a running server: per account of Config.cfg, each weekday copy ("Sun" ..
// "Sat" in its home) with the time it was last written, its files and bytes,
// and whether the account's newest copy is too old.
//
// A copy's time is the newest modification time of the weekday folder and
// of everything in it. A run recreates the folder, so the folder's own time
// tells when the copy was made even when the files keep their workstation's
// modification times.
//
// Reads only; symbolic links are not followed. Plain functions, no state.
#ifndef TERVANE_SERVER_STORE_SHARE_REPORT_H_
#define TERVANE_SERVER_STORE_SHARE_REPORT_H_

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "shared/protocol/result.h"

namespace tervane {

// An account whose newest copy is older than this is stale.
inline constexpr time_t kStaleAfterSeconds = 2 * 24 * 3600;

struct WeekdayCopy {
  std::string weekday;  // "Sun" .. "Sat"
  time_t newest = 0;
  uint64_t files = 0;   // regular files
  uint64_t bytes = 0;   // their sizes
};

struct AccountCopies {
  std::string name;
  std::vector<WeekdayCopy> copies;  // the weekday folders that exist, Sun first
  time_t newest = 0;                // over all copies; 0 when there is none
  bool stale = true;                // no copy, or the newest is older than kStaleAfterSeconds
};

// Reads the share of the Config.cfg at `config_path` as of `now`. 0 and
// *out in the file's account order, or the file's error (config_file.h).
Result ReadShareReport(const std::string& config_path, time_t now, std::vector<AccountCopies>* out);

}  // namespace tervane

#endif  // TERVANE_SERVER_STORE_SHARE_REPORT_H_
