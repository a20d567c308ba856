// The service host: what the process does from start to exit. It reports
// its start-up stages to the service manager, starts the data service, waits
// for SIGTERM or SIGINT (the stop control), stops the data service and gives
// the exit status. Started from a terminal it serves in the foreground the
// same way; without $NOTIFY_SOCKET the reports are simply not sent.
#ifndef TERVANE_SERVER_DAEMON_SERVICE_HOST_H_
#define TERVANE_SERVER_DAEMON_SERVICE_HOST_H_

#include <cstdint>

#include "server/net/service_settings.h"

namespace tervane {

// Process exit status for a start that failed with `code`: its low byte
// (16, 32, 48, 64 for Config.cfg missing, unnamed, unreadable, malformed; 80
// for an unusable share root), or 1 when that is 0, so that a failure never
// reads as success; a listening socket that cannot be bound gives 98
// (address in use), 99 (address not available) or 13 (permission denied).
int ExitStatusForCode(uint32_t code);

// Runs the service to the end and returns the process exit status: 0 after
// a clean stop; ExitStatusForCode(code) after a failed start, with one line
// on standard error naming the code, the cause and where: the file with the
// line at fault, the share root with the reason, or the address and port. Must be called from the main thread before any
// other thread exists (it blocks SIGTERM and SIGINT for the whole process to
// receive them synchronously). When the worker threads do not end in time
// the process is ended from here with status 0 once the stop is logged.
int RunService(const ServiceSettings& settings);

}  // namespace tervane

#endif  // TERVANE_SERVER_DAEMON_SERVICE_HOST_H_
