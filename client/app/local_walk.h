// One step of the backup's walk of a local tree: the entries of one
// directory, each with what the backup does with it.
//
// Thread-safe (touches only its arguments and the file system); allocates
// the entries it returns.
#ifndef TERVANE_CLIENT_APP_LOCAL_WALK_H_
#define TERVANE_CLIENT_APP_LOCAL_WALK_H_

#include <cstdint>
#include <string>
#include <vector>

namespace tervane {

enum class LocalEntryKind {
  kDirectory,   // descended into; a link to a directory is not one (no cycles,
                // no copies of trees outside the configured entry)
  kFile,        // uploaded: a regular file, a link to one, or a dangling link
                // (whose open then fails visibly)
  kSkipped,     // FIFOs, sockets, devices: reading one could block or never end
  kUnreadable,  // gone or unreadable since the listing: reported as a failed upload
};

struct LocalEntry {
  std::string name;
  LocalEntryKind kind = LocalEntryKind::kSkipped;
};

// Lists `directory` (UTF-8 path) without "." and "..", in the order the file
// system gives, and closes it again before returning, so that a deep tree
// holds one directory open at a time. The kind comes from the listing's own
// type field where the file system fills it in; only links and entries of
// unknown type are looked at with a further call. False when the directory
// cannot be opened for listing (*entries then empty, *read_error the reason's
// code). Otherwise true, with
// *read_error 0, or the code of a read error part-way (the entries read so
// far are kept).
bool ListLocalDirectory(const std::string& directory, std::vector<LocalEntry>* entries, uint32_t* read_error);

}  // namespace tervane

#endif  // TERVANE_CLIENT_APP_LOCAL_WALK_H_
