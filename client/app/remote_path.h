// Where a local file lands on the server: below the folder of the weekday
// the run started on, under a name made from its local path.
#ifndef TERVANE_CLIENT_APP_REMOTE_PATH_H_
#define TERVANE_CLIENT_APP_REMOTE_PATH_H_

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

#include "shared/protocol/result.h"

namespace tervane {

// "Sun" .. "Sat" for tm_wday 0 .. 6; nullptr outside that range.
const char* WeekdayName(int tm_wday);

// The weekday name of the local date at `when`.
const char* WeekdayOfLocalDate(time_t when);

// The longest remote name a create request can carry (the whole request
// stays within 300 bytes: header, 20 fixed bytes, the name and its zero).
inline constexpr size_t kMaxRemoteName = 251;

// Maps an absolute local path (UTF-8) to its remote name, in UTF-8, below
// the weekday folder `day`:
//   /data/a.txt    -> Mon\data\a.txt      (POSIX: leading "/" dropped)
//   C:\data\a.txt  -> Mon\C\data\a.txt    (drive letter kept, colon dropped)
//   /data/empty|   -> Mon\data\empty|     (a directory marker keeps its bar)
// Each component travels under MapNameToRemote's name (a ":" becomes
// U+F022, and so on). Empty components (doubled or trailing separators) are
// dropped. Returns 0; ERROR_INVALID_NAME (123) for a path that is not
// absolute or a component "." or ".."; ERROR_PATH_NOT_FOUND (3) for a path
// with no component at all ("/").
Result MapRemoteName(std::string_view day, std::string_view local_path, std::string* remote_utf8);

// MapRemoteName, then converted to the wire's text (GB18030). Also returns
// ERROR_INVALID_NAME for text that is not valid UTF-8 and
// ERROR_FILENAME_EXCED_RANGE (206) when the wire name is longer than
// kMaxRemoteName bytes.
Result MapRemoteWireName(std::string_view day, std::string_view local_path, std::string* remote_wire);

}  // namespace tervane

#endif  // TERVANE_CLIENT_APP_REMOTE_PATH_H_
