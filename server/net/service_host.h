// The service host: what the process does from start to exit. It reports
// its start-up stages to the service manager, starts the data service, waits
// for SIGTERM or SIGINT (the stop control), stops the data service and gives
// the exit status. Started from a terminal it serves in the foreground the
// same way; without $NOTIFY_SOCKET the reports are simply not sent.
#ifndef TERVANE_SERVER_NET_SERVICE_HOST_H_
#define TERVANE_SERVER_NET_SERVICE_HOST_H_

#include <cstdint>

#include "server/net/service_settings.h"

namespace tervane {

// Process exit status for a start that failed with `code`: its low byte, or
// 1 when that is 0, so that a failure never reads as success.
int ExitStatusForCode(uint32_t code);

// Runs the service to the end and returns the process exit status: 0 after
// a clean stop; ExitStatusForCode(code) after a failed start, with the code
// named on standard error. Must be called from the main thread before any
// other thread exists (it blocks SIGTERM and SIGINT for the whole process to
// receive them synchronously). When the worker threads do not end in time
// the process is ended from here with status 0 once the stop is logged.
int RunService(const ServiceSettings& settings);

}  // namespace tervane

#endif  // TERVANE_SERVER_NET_SERVICE_HOST_H_
