// The millisecond tick count that request tags, activity times and the
// session-open reply carry.
#ifndef TERVANE_SHARED_PLATFORM_TICK_H_
#define TERVANE_SHARED_PLATFORM_TICK_H_

#include <cstdint>

namespace tervane {

// Milliseconds of a monotonic clock, truncated to 32 bits: it wraps after
// about 49.7 days, so callers compare ticks only by unsigned difference.
// Thread-safe.
uint32_t GetTickCount();

}  // namespace tervane

#endif  // TERVANE_SHARED_PLATFORM_TICK_H_
