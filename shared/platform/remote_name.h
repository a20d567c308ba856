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

// Names (and initialisation-file keys) compare as Windows compares them:
// ignoring the case of ASCII letters, every other byte exact.
inline bool EqualIgnoringAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

}  // namespace tervane

#endif  // TERVANE_SHARED_PLATFORM_REMOTE_NAME_H_
