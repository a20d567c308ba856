// The server's open files. Linux has no share modes, so every file the
// server opens for a client is entered here, keyed by device and inode, and
// an open, delete or rename that the Windows sharing rules would refuse is
// refused with ERROR_SHARING_VIOLATION (32). Clients never see descriptors:
// each open gets an opaque, nonzero 32-bit handle, unique within the run.
//
// The server makes one and hands it to everything that opens, deletes or
// renames files for clients. Thread-safe: one mutex guards the
// table; it is taken after the pool lock and the account lock, never before
// them, and is held across the open, the sharing check and any truncation so
// that a concurrent open or delete cannot slip between them. Reads and writes
// run outside the lock on a descriptor pinned for the call; a Close that
// arrives meanwhile takes effect when the call ends.
#ifndef TERVANE_SERVER_STORE_FILE_REGISTRY_H_
#define TERVANE_SERVER_STORE_FILE_REGISTRY_H_

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>

#include "server/store/store_path.h"
#include "shared/platform/mutex.h"
#include "shared/protocol/open_flags.h"
#include "shared/protocol/payloads.h"
#include "shared/protocol/result.h"

namespace tervane {

class FileRegistry {
 public:
  // Most files open at once in the whole server; an open beyond it gets
  // ERROR_TOO_MANY_OPEN_FILES (4).
  static constexpr size_t kCapacity = 1024;

  FileRegistry();
  ~FileRegistry();  // closes what is still open
  FileRegistry(const FileRegistry&) = delete;
  FileRegistry& operator=(const FileRegistry&) = delete;

  // Opens or creates a file with the create/open semantics of the client's
  // four values (desired access, share mode, creation disposition, flags and
  // attributes; FILE_ATTRIBUTE_READONLY in the flags makes a newly created
  // file read-only). 0 and *handle set; otherwise *handle is 0 and the result
  // is: 80 (CREATE_NEW, exists); 2 / 3 (missing file / parent); 5 (a
  // directory, a link, a non-regular file, or write access to a read-only
  // file); 32 (sharing); 87 (bad disposition); 4 (registry full).
  Result Open(const StorePath& path, uint32_t desired_access, uint32_t share_mode,
                uint32_t creation_disposition, uint32_t flags_and_attributes, uint32_t* handle) EXCLUDES(mu_);

  // 0, or ERROR_INVALID_HANDLE (6) for a handle not open.
  Result Close(uint32_t handle) EXCLUDES(mu_);

  // Reads exactly `count` bytes at `offset`, looping on short transfers:
  // 0; ERROR_HANDLE_EOF (38) when the file ends first (what was read is in
  // `buffer` but the caller sends nothing); 6; 5 without read access; 87 for
  // an offset beyond the largest file.
  Result ReadAt(uint32_t handle, uint8_t* buffer, uint64_t offset, uint32_t count);
  // Writes `count` bytes at `offset`: 0; 6; 5 without write access; 87; or
  // the error (112 when the disk is full).
  Result WriteAt(uint32_t handle, const uint8_t* buffer, uint64_t offset, uint32_t count);
  // Sets the end of file: 0, 6, 5 without write access, 87, or the error.
  Result SetEndOfFileAt(uint32_t handle, uint64_t size);
  // Linux files are sparse already: 0 for an open handle, else 6.
  Result SetSparse(uint32_t handle);
  Result GetFileSize(uint32_t handle, uint64_t* size);
  // Creation time is the birth time where the file system records one,
  // else the last-write time.
  Result GetFileTime(uint32_t handle, FileTimes* times);
  // A zero time leaves that time unchanged; a creation time cannot be set on
  // Linux and is accepted and dropped. 5 without write access.
  Result SetFileTime(uint32_t handle, const FileTimes& times);

  // Sharing checks for operations on paths, given the file's identity. Each
  // is 0 or 32. The caller holds mu() so that the check and its action are
  // one step against concurrent opens.
  //   CheckOpenLocked: could the file be opened with this access and share?
  //   CheckDeleteLocked: may it be deleted or renamed (every open of it
  //   admits FILE_SHARE_DELETE)?
  Result CheckOpenLocked(dev_t dev, ino_t ino, uint32_t desired_access, uint32_t share_mode) const
      REQUIRES(mu_);
  Result CheckDeleteLocked(dev_t dev, ino_t ino) const REQUIRES(mu_);
  Mutex& mu() RETURN_CAPABILITY(mu_) { return mu_; }

  // Files open now (for tests and diagnostics).
  size_t OpenCount() EXCLUDES(mu_);

 private:
  struct Entry;
  // Takes a use of an open entry; its fd stays valid until Unpin. The
  // entry's other fields stay under mu_.
  Entry* Pin(uint32_t handle, Result* result) EXCLUDES(mu_);
  void Unpin(Entry* e) EXCLUDES(mu_);
  size_t FindFreeSlotLocked(uint32_t* handle) REQUIRES(mu_);

  Mutex mu_;
  const std::unique_ptr<Entry[]> slots_;  // kCapacity slots, allocated once
  Entry* const entries_ PT_GUARDED_BY(mu_);  // slots_, as the analysis sees them
  uint32_t next_handle_ GUARDED_BY(mu_);
  size_t open_count_ GUARDED_BY(mu_);
};

}  // namespace tervane

#endif  // TERVANE_SERVER_STORE_FILE_REGISTRY_H_
