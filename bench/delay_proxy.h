// A link with a network's round trip for the benchmark: a TCP forwarder on
// loopback that holds every chunk it reads for a fixed delay in each
// direction before passing it on. It limits latency only, not bandwidth:
// chunks keep flowing while earlier ones wait out their delay.
//
// Part of the benchmark, not of the product. Run blocks its thread and
// serves until the process ends; each connection gets its own threads
// (a reader and a writer per direction).
#ifndef TERVANE_BENCH_DELAY_PROXY_H_
#define TERVANE_BENCH_DELAY_PROXY_H_

#include <chrono>
#include <cstdint>

namespace tervane::bench {

// Listens on 127.0.0.1:`listen_port` and forwards every connection to
// 127.0.0.1:`target_port`, each chunk held `delay` in each direction.
// Returns only when the listening socket cannot be had or fails (1).
int RunDelayProxy(uint16_t listen_port, uint16_t target_port, std::chrono::microseconds delay);

}  // namespace tervane::bench

#endif  // TERVANE_BENCH_DELAY_PROXY_H_
