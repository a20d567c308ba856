#include "shared/platform/filetime.h"

namespace tervane {

uint64_t FileTimeFromTimespec(const timespec& ts) {
  const int64_t kIntervalsPerSecond = 10000000;
  const int64_t epoch_seconds = static_cast<int64_t>(kFileTimeUnixEpoch / kIntervalsPerSecond);
  int64_t seconds = static_cast<int64_t>(ts.tv_sec) + epoch_seconds;
  if (seconds < 0) return 0;
  return static_cast<uint64_t>(seconds) * kIntervalsPerSecond + static_cast<uint64_t>(ts.tv_nsec) / 100u;
}

timespec TimespecFromFileTime(uint64_t filetime) {
  const uint64_t kIntervalsPerSecond = 10000000;
  timespec ts{};
  int64_t seconds = static_cast<int64_t>(filetime / kIntervalsPerSecond) -
                    static_cast<int64_t>(kFileTimeUnixEpoch / kIntervalsPerSecond);
  ts.tv_sec = static_cast<time_t>(seconds);
  ts.tv_nsec = static_cast<long>((filetime % kIntervalsPerSecond) * 100u);
  return ts;
}

}  // namespace tervane
