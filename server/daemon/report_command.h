// tervanesvr --report [--config FILE] [--json]: the share's overview
// (server/store/share_report.h) printed for a person or, with --json, for a
// monitoring script. Needs no running server; reads only.
#ifndef TERVANE_SERVER_DAEMON_REPORT_COMMAND_H_
#define TERVANE_SERVER_DAEMON_REPORT_COMMAND_H_

#include <cstdio>
#include <ctime>
#include <string>

namespace tervane {

// Prints the report of the Config.cfg at `config_path` as of `now` to `out`
// and returns the exit status: 0 every account has a copy of the last two
// days, 1 some account is STALE, 2 the file cannot be read (named on
// standard error).
int RunReport(const std::string& config_path, bool json, time_t now, FILE* out);

}  // namespace tervane

#endif  // TERVANE_SERVER_DAEMON_REPORT_COMMAND_H_
