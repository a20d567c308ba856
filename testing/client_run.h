// Test-only: the client program's headless backup (tervaneclt --sync) run
// as a child process against a server on 127.0.0.1, with a settings file
// of the test's naming the directories to back up.
#ifndef TERVANE_TESTING_CLIENT_RUN_H_
#define TERVANE_TESTING_CLIENT_RUN_H_

#include <cstdint>
#include <string>
#include <vector>

#include "testing/child_process.h"

namespace tervane::testing {

// $TERVANE_BIN_DIR/tervaneclt when the dialog program was built, else
// tervaneclt_headless beside the tests (the same modes without the dialog);
// empty when neither is there.
std::string ClientBinary();

// The settings file: server 127.0.0.1, a start time, the directories in
// this order, and the account "sync" (USER).
bool WriteClientSettings(const std::string& path, const std::vector<std::string>& directories);

// One backup with `settings_path` against `port`, output to `output_path`;
// `reply_timeout_ms` 0 keeps the client's default; an unreachable server is
// tried again after 1, 2, 4 ... times `retry_unit_ms` (1: gives up at once).
ChildOptions ClientSyncOptions(const std::string& settings_path, uint16_t port, const std::string& output_path,
                               uint32_t reply_timeout_ms = 0, uint32_t retry_unit_ms = 1);

// Where "sync"'s run on weekday `day` keeps local file `local_path`:
// share/sync/<day><local_path>.
std::string ServerCopyPath(const std::string& share, const std::string& day, const std::string& local_path);
// The weekday folder the runs of "sync" wrote into ("" when none or several).
std::string OnlyWeekdayFolder(const std::string& share);

}  // namespace tervane::testing

#endif  // TERVANE_TESTING_CLIENT_RUN_H_
