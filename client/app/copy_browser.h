// Looking into the weekday copies on the server: which copies there are,
// the entries of one directory of a copy under their local names, with the
// size and time of each file, and a walk of a whole subtree.
//
// Remote paths here are UTF-8 relative to the account's home, components
// separated by "\" ("Mon\data\report.odt"; "" is the home); they are
// converted to the wire's text only when sent. Local paths are absolute
// ("/data/report.odt"): the path a file was backed up from.
//
// The server lists a directory named relative to the account's current
// directory and moves the current directory there, chunk by chunk, sending
// the same name for every chunk: a listing of more than one chunk only
// works when that name is the directory's own last component, looked up
// from its parent. CopyBrowser therefore keeps track of the current
// directory and walks to a directory's parent one name at a time (down to
// a child, up to the parent, or back from the home, whichever takes fewer
// listings) before listing it by its own name.
#ifndef TERVANE_CLIENT_APP_COPY_BROWSER_H_
#define TERVANE_CLIENT_APP_COPY_BROWSER_H_

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "shared/protocol/result.h"

namespace tervane {

struct RemoteFile;
struct RemoteSession;

// The most a listing of one directory may take; a larger figure from the
// server is refused as bad data.
inline constexpr uint32_t kMaxListingBytes = 64u << 20;

struct CopyEntry {
  std::string name;          // the local name (the name mapping undone)
  std::string remote_name;   // the name on the server, UTF-8
  bool is_directory = false;
  // Files, when details were asked for: size, last-write time (FILETIME)
  // and the result of looking them up (0 when both are valid).
  uint64_t size = 0;
  uint64_t last_write = 0;
  Result detail_result;
};

// One entry met by CopyBrowser::Walk.
struct CopyVisit {
  std::string local_path;   // absolute local path
  std::string remote_path;  // remote path
  const CopyEntry* entry = nullptr;
};

// Browses the copies over one logged-in session. Every listing on the
// session must go through one browser (it tracks where the server's current
// directory stands). Not thread-safe: one thread at a time.
class CopyBrowser {
 public:
  explicit CopyBrowser(RemoteSession* session) : session_(session) {}

  RemoteSession* session() const { return session_; }

  // The entries of `remote_dir`, sorted by local name (bytes). With
  // `with_details`, each file is opened for its size and time. An entry
  // whose name cannot be a local name (empty, ".", "..", holding "/" or "\"
  // or a zero, not valid text) is left out and counted in *refused (may be
  // null). 0; 0x3530 when the directory does not exist; 13
  // (ERROR_INVALID_DATA) for a listing that does not parse or is larger
  // than kMaxListingBytes; the library's result otherwise.
  Result List(std::string_view remote_dir, bool with_details, std::vector<CopyEntry>* entries,
                uint32_t* refused = nullptr);

  // The weekday folders ("Sun".."Sat") of the home, in that order.
  Result Days(std::vector<std::string>* days);

  // Looks up the entry `remote_path` names by listing its parent.
  // 0; 2 (ERROR_FILE_NOT_FOUND) when the parent has no such entry; 3
  // (ERROR_PATH_NOT_FOUND) when the parent does not exist; else as List. A
  // bare day ("Mon") is looked up in the home.
  Result Find(std::string_view remote_path, bool with_details, CopyEntry* entry);

  // Visits every entry below `remote_dir` depth first, each directory
  // before what it holds, names in the order of List; `local_dir` is the
  // local path of `remote_dir` ("" or "/" for a day's folder). `visit`
  // returns false to end the walk (the result is then 0). A directory that
  // cannot be listed ends the walk with its code; refused names are added
  // to *refused.
  Result Walk(const std::string& remote_dir, const std::string& local_dir, bool with_details,
                const std::function<bool(const CopyVisit&)>& visit, uint32_t* refused = nullptr);

 private:
  // One listing by `name` from where the current directory stands, into
  // `buffer` (null: read and dropped); `after` is where it stands then.
  Result ListAs(std::string_view name, std::vector<std::string> after, uint8_t* buffer, uint32_t* size);
  // Brings the current directory to `target` (components).
  Result MoveTo(const std::vector<std::string>& target);
  // Lists `target` by its last name once the parent is current (or from the
  // home by its whole path, which the server can only serve in one chunk).
  Result ListHere(const std::vector<std::string>& target, uint8_t* buffer, uint32_t* size);

  RemoteSession* const session_;
  std::vector<std::string> current_;  // components below the home, when known_
  bool known_ = false;
};

// Opens the remote file for reading (*file on success; close it with
// KOVA_CloseFile). Only for paths that a listing showed: the server makes
// missing directories of a path it is asked to open.
Result OpenCopyFile(RemoteSession* session, std::string_view remote_path, RemoteFile** file);

// The size and last-write time (FILETIME) of a remote file.
Result StatCopyFile(RemoteSession* session, std::string_view remote_path, uint64_t* size,
                      uint64_t* last_write);

// "/" + name for the root ("" or "/"), else dir + "/" + name.
std::string JoinLocalPath(std::string_view dir, std::string_view name);

// "YYYY-MM-DD HH:MM:SS" in local time for a FILETIME; "-" for 0.
std::string FormatFileTime(uint64_t filetime);

}  // namespace tervane

#endif  // TERVANE_CLIENT_APP_COPY_BROWSER_H_
