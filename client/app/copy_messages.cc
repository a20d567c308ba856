#include "client/app/copy_messages.h"

#include <chrono>

#include "client/app/result_words.h"
#include "client/net/remote_session.h"

namespace tervane {

std::string FailureLine(const std::string& path, uint32_t code) {
  return "  " + path + ": " + DescribeResult(code) + "\n";
}

bool ConnectionLost(RemoteSession* session) { return !KOVA_IsConnected(session); }

int64_t SteadyNowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

int64_t SecondsSince(int64_t start_ns) { return (SteadyNowNs() - start_ns) / 1'000'000'000; }

}  // namespace tervane
