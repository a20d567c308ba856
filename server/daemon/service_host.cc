#include "server/daemon/service_host.h"

#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "server/daemon/service_notifier.h"
#include "server/net/data_service.h"
#include "server/net/server_log.h"
#include "server/store/account_manager.h"
#include "server/store/file_registry.h"
#include "shared/protocol/result_codes.h"

namespace tervane {
namespace {

// Longest the exit waits for the log lines still queued; a reader stalled
// longer loses them.
constexpr uint32_t kLogStopWaitMs = 1000;

// Winsock codes of a failed bind or listen.
constexpr uint32_t kAddressInUse = 10048;
constexpr uint32_t kAddressNotAvailable = 10049;
constexpr uint32_t kAccessDenied = 10013;

const char* DescribeStartFailure(uint32_t code) {
  switch (code) {
    case RESULT_CONFIG_MISSING: return "the configuration file does not exist";
    case RESULT_CONFIG_NO_PATH: return "no configuration file was named";
    case RESULT_CONFIG_UNREADABLE: return "the configuration file cannot be read";
    case RESULT_CONFIG_MALFORMED: return "the configuration file is malformed";
    case RESULT_SHARE_ROOT_UNUSABLE: return "the share root cannot be used";
    case RESULT_OUT_OF_MEMORY: return "out of memory while loading the accounts";
    case kAddressInUse: return "the address and port are already in use";
    case kAddressNotAvailable: return "the address is not available on this host";
    case kAccessDenied: return "permission denied for the address or port";
    default: return "the data service could not be started";
  }
}

bool IsSocketCode(uint32_t code) {
  return code == kAddressInUse || code == kAddressNotAvailable || code == kAccessDenied;
}

// The one line on standard error that says what stopped the start and where.
std::string StartFailureLine(uint32_t code, const ServiceSettings& settings, const std::string& problem) {
  char where[64] = "";
  if (IsSocketCode(code)) {
    uint32_t a = settings.listen_address;
    std::snprintf(where, sizeof where, "%u.%u.%u.%u:%u", a >> 24, (a >> 16) & 0xFF, (a >> 8) & 0xFF, a & 0xFF,
                  static_cast<unsigned>(settings.port));
  }
  std::string line = "tervanesvr: start failed with code " + std::to_string(code) + ": " +
                     DescribeStartFailure(code) + " (" +
                     (IsSocketCode(code) ? std::string("listening on ") + where : settings.config_path) + ")";
  if (!problem.empty()) line += ": " + problem;
  return line + "\n";
}

}  // namespace

int ExitStatusForCode(uint32_t code) {
  // The socket codes share their low byte with the file's codes (10048 and
  // 0x3640 both end in 0x40): they get the errno values of their own.
  switch (code) {
    case kAddressInUse: return 98;
    case kAddressNotAvailable: return 99;
    case kAccessDenied: return 13;
    default: break;
  }
  int low = static_cast<int>(code & 0xFF);
  return low != 0 ? low : 1;
}

int RunService(const ServiceSettings& settings) {
  // The stop control arrives as a signal; it is taken with sigwait by this
  // thread only, so every thread started later inherits the blocked mask.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  // A log reader that goes away must not kill the server.
  signal(SIGPIPE, SIG_IGN);
  // Nor may a client's file that reaches the process's file-size limit: the
  // write then fails with EFBIG, which the client gets as ERROR_DISK_FULL.
  signal(SIGXFSZ, SIG_IGN);

  // From here on log lines go through the log writer (its own thread,
  // unless the output is a plain file).
  LogWriter& log = LogWriter::Global();
  log.SetLevel(settings.log_level);
  log.Start();

  ServiceNotifier notifier;
  notifier.Notify("STATUS=Starting (1/3)");
  notifier.Notify("STATUS=Starting (2/3)");
  notifier.Notify("STATUS=Loading accounts and opening the listening socket (3/3)");

  // The account manager and the open-file registry live for the whole run.
  AccountManager accounts;
  FileRegistry files;
  DataService service(accounts, files);

  ServerLog(LogKind::kConnection, "[20070319]: Starting NFS Io Data-Service....\n");
  uint32_t code = service.Start(settings);
  if (code != 0) {
    if (service.started()) {
      ServerLog(LogKind::kConnection, "[20070319]: Closing NFS Io Data-Service....\n");
      service.Stop();
    }
    std::fputs(StartFailureLine(code, settings, accounts.load_problem()).c_str(), stderr);
    std::string status = "STATUS=Start failed with code " + std::to_string(code);
    notifier.Notify(status);
    log.Stop(std::chrono::milliseconds(kLogStopWaitMs));
    return ExitStatusForCode(code);
  }
  std::string ready = "READY=1\nSTATUS=Serving on port " + std::to_string(service.port());
  notifier.Notify(ready);

  int signal_number = 0;
  while (sigwait(&stop_signals, &signal_number) != 0) {
  }

  notifier.Notify("STOPPING=1");
  ServerLog(LogKind::kConnection, "[20070319]: Closing NFS Io Data-Service....\n");
  if (!service.Stop()) {
    // A worker is stuck in file I/O; what it holds goes with the process.
    std::fprintf(stderr, "tervanesvr: a worker thread did not end within %u ms\n", kWorkerStopWaitMs);
    log.Stop(std::chrono::milliseconds(kLogStopWaitMs));
    std::_Exit(0);
  }
  log.Stop(std::chrono::milliseconds(kLogStopWaitMs));
  return 0;
}

}  // namespace tervane
