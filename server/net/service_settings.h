// What the server is told at start: where Config.cfg is, where to listen, and
// the idle-sweep timing. Filled by the command line; read by the service.
#ifndef TERVANE_SERVER_NET_SERVICE_SETTINGS_H_
#define TERVANE_SERVER_NET_SERVICE_SETTINGS_H_

#include <cstdint>
#include <string>

#include "shared/protocol/op_codes.h"

namespace tervane {

// A connection silent for longer than this is dropped by the sweep.
inline constexpr uint32_t kDefaultIdleLimitMs = 300000;
// How often the sweep looks for silent connections.
inline constexpr uint32_t kDefaultSweepPeriodMs = 300000;
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
};

}  // namespace tervane

#endif  // TERVANE_SERVER_NET_SERVICE_SETTINGS_H_
