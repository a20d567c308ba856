// Checking a weekday copy against the configured local directories,
// reading both sides: files missing on the server, files whose size,
// content or modification time differ, and files on the server no longer
// present locally.
//
// The local side is walked as a backup walks it (client/app/local_walk.h):
// links to directories are not followed, pipes, sockets and devices are
// passed over, an unreadable entry is a failure.
#ifndef TERVANE_CLIENT_APP_VERIFY_RUN_H_
#define TERVANE_CLIENT_APP_VERIFY_RUN_H_

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

namespace tervane {

struct RemoteSession;
class StatusSink;

// Shown before the line naming what could not be read.
inline constexpr char kVerifyFailedText[] = "校验失败";

struct VerifyJob {
  std::string day;                       // the weekday copy: "Sun" .. "Sat"
  std::vector<std::string> directories;  // the configured local directories
};

struct VerifyReport {
  uint32_t matching = 0;        // files equal in size, content and time
  uint32_t missing_on_server = 0;  // local files or directories the copy lacks
  uint32_t differing = 0;       // files whose size, content or time differ
  uint32_t gone_locally = 0;    // files or directories of the copy no longer present locally
  uint32_t failed = 0;          // entries that could not be read on either side
  bool connection_lost = false;
  bool stopped = false;
  int64_t seconds = 0;

  // 0 the copy matches; 1 differences or failures; 2 the connection was lost.
  int ExitCode() const;
};

// Runs the check on the calling thread over a logged-in session; one line
// per difference or failure, naming the local path, and a summary go to
// `status` (may be null). Times are compared to the second.
VerifyReport RunVerify(RemoteSession* session, const VerifyJob& job, StatusSink* status,
                       const std::atomic<bool>* stop = nullptr);

}  // namespace tervane

#endif  // TERVANE_CLIENT_APP_VERIFY_RUN_H_
