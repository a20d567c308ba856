// Checks on the names that requests carry. Windows takes both `\` and `/` as
// separators, so a name is split on both; what these checks refuse is what
// would otherwise let a request leave the user's tree or make a name that
// Windows could never have sent.
#ifndef TERVANE_SHARED_PLATFORM_REMOTE_NAME_H_
#define TERVANE_SHARED_PLATFORM_REMOTE_NAME_H_

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace tervane {

// Path buffers of the system hold 260 bytes, terminator included.
inline constexpr size_t kMaxPath = 260;

// Returns 0 when `name` may be used below a user's home:
//   ERROR_ACCESS_DENIED (5)         a component is ".." (it would leave the tree);
//   ERROR_INVALID_NAME (123)        a component holds : * ? " < > | or a byte below 0x20;
//   ERROR_FILENAME_EXCED_RANGE (206) name.size() > max_length.
// Empty components ("a\\b", a leading or trailing separator) and "." are
// accepted, as Windows accepts them. `name` is UTF-8 (or ASCII); the check is
// bytewise, which is exact for UTF-8 since no multi-byte sequence holds an
// ASCII byte.
uint32_t CheckRemoteName(std::string_view name, size_t max_length = kMaxPath - 1);

// True for `\` and `/`.
inline bool IsRemoteSeparator(char c) { return c == '\\' || c == '/'; }

}  // namespace tervane

#endif  // TERVANE_SHARED_PLATFORM_REMOTE_NAME_H_
