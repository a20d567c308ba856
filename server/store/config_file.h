// "Config.cfg": the share root and the registered users.
//
//   [SharePath]<CR><LF>
//   /srv/tervane/share/<CR><LF>
//   [User]<CR><LF>
//   alice<CR><LF>
//   <password digest><CR><LF>
//   ...
//
// UTF-8 text. Lines are written with CR LF; lines ended by LF alone are read
// too. The reader keys on "]" and line ends, so any bracketed line starts the
// next user. The writer replaces the file atomically: a crash while it runs
// leaves either the old file or the new one, never a partial one.
#ifndef TERVANE_SERVER_STORE_CONFIG_FILE_H_
#define TERVANE_SERVER_STORE_CONFIG_FILE_H_

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "server/store/user_account.h"
#include "shared/protocol/result.h"

namespace tervane {

// Fixed limits; the file carries no values for them.
inline constexpr uint32_t kMaxSpaceMegabytes = 0xFFFFFFF0u;
inline constexpr uint32_t kMaxFileCount = 0xFFFFFFF0u;
inline constexpr uint32_t kMaxUserConnections = 10;

struct ServerConfig {
  std::string share_root;  // absolute, ends in '/'
  uint32_t max_space_mb = 0;
  uint32_t max_file_count = 0;
  uint32_t max_connections = 0;
  std::vector<std::unique_ptr<UserAccount>> accounts;  // file order
  // For RESULT_CONFIG_MALFORMED: the line (from 1) and what is wrong with it.
  int error_line = 0;
  std::string error;
};

// 0 and *out filled (accounts with socket 0, current directory and resume
// empty); RESULT_CONFIG_NO_PATH (0x3620) for an empty path;
// RESULT_CONFIG_MISSING (0x3610) when the file does not exist;
// RESULT_CONFIG_UNREADABLE (0x3630) when it cannot be opened or read;
// RESULT_OUT_OF_MEMORY (0x3510); RESULT_CONFIG_MALFORMED (0x3640) for a
// missing "]" or line end, a value longer than its field (root 259 bytes,
// name 64 bytes on the wire, password 64 bytes), a share root that is not an
// absolute path (or is "/" itself), or a user name CheckUserName refuses. A root without its
// final '/' gets one.
Result ReadConfig(const std::string& path, ServerConfig* out);

// Writes the share root and the accounts (table order) to a temporary file
// ("Config.cfg.XXXXXX") in the same directory, flushes it to disk, and
// renames it over `path`. The file is readable and writable by its owner
// only (0600): it holds the password digests.
// 0, or RESULT_CONFIG_UNREADABLE (0x3630) when any step fails, in which case
// the old file is left as it was.
Result WriteConfig(const std::string& path, std::string_view share_root,
                     const std::vector<std::unique_ptr<UserAccount>>& accounts);

// Removes the temporaries a WriteConfig cut short by a crash left beside
// `path` (or beside the file it links to): regular files named as `path`'s
// last component followed by "." and six letters or digits. Anything else is
// left alone; failures are ignored.
void RemoveStaleConfigTemps(const std::string& path);

}  // namespace tervane

#endif  // TERVANE_SERVER_STORE_CONFIG_FILE_H_
