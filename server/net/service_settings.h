// What the server is told at start: where Config.cfg is, where to listen,
// how many connections it holds, how long they may stay silent or without a
// login, and which log lines it writes. Filled by the command line; read by
// the service.
#ifndef TERVANE_SERVER_NET_SERVICE_SETTINGS_H_
#define TERVANE_SERVER_NET_SERVICE_SETTINGS_H_

#include <cstdint>
#include <string>

#include "shared/platform/log_writer.h"
#include "shared/protocol/op_codes.h"

namespace tervane {

// A connection silent for longer than this is dropped by the sweep.
inline constexpr uint32_t kDefaultIdleLimitMs = 300000;
// How often the sweep looks for silent connections.
inline constexpr uint32_t kDefaultSweepPeriodMs = 300000;
// A connection that has not logged in this long after it was accepted is
// dropped, whatever it sends meanwhile.
inline constexpr uint32_t kDefaultLoginLimitMs = 30000;
// After a failed login the connection's next request waits this long.
inline constexpr uint32_t kLoginRetryDelayMs = 1000;
// The failed login that drops the connection.
inline constexpr uint32_t kMaxFailedLogins = 5;
// Connections served at once, and the most the command line allows: each
// holds a 64 KiB buffer and up to 17 descriptors.
inline constexpr uint32_t kDefaultMaxConnections = 10;
inline constexpr uint32_t kMaxConnectionsCeiling = 1000;
// Longest a stop waits for the worker threads.
inline constexpr uint32_t kWorkerStopWaitMs = 3000;
// Pending connections the listening socket keeps.
inline constexpr int kListenBacklog = 5;

struct ServiceSettings {
  std::string config_path;          // absolute or relative path of Config.cfg
  uint32_t listen_address = 0;      // IPv4, host byte order; 0 = every local address
  uint16_t port = kDefaultPort;     // 0 lets the system choose (in-process tests)
  uint32_t idle_limit_ms = kDefaultIdleLimitMs;
  uint32_t sweep_period_ms = kDefaultSweepPeriodMs;
  uint32_t login_limit_ms = kDefaultLoginLimitMs;
  uint32_t max_connections = kDefaultMaxConnections;
  LogLevel log_level = LogLevel::kRequests;
};

}  // namespace tervane

#endif  // TERVANE_SERVER_NET_SERVICE_SETTINGS_H_
