// FILETIME values (100 ns intervals since 1601-01-01 UTC), as the protocol
// carries file times, converted to and from POSIX timespec.
#ifndef TERVANE_SHARED_PLATFORM_FILETIME_H_
#define TERVANE_SHARED_PLATFORM_FILETIME_H_

#include <cstdint>
#include <ctime>

namespace tervane {

// The FILETIME of 1970-01-01 00:00:00 UTC.
inline constexpr uint64_t kFileTimeUnixEpoch = 116444736000000000ull;

// Times before 1601 become 0; sub-100 ns parts are dropped.
uint64_t FileTimeFromTimespec(const timespec& ts);

// Exact inverse of FileTimeFromTimespec for every time it can produce.
timespec TimespecFromFileTime(uint64_t filetime);

}  // namespace tervane

#endif  // TERVANE_SHARED_PLATFORM_FILETIME_H_
