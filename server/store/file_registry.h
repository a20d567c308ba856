// The server's open files. Linux has no share modes, so every file the
// server opens for a client is entered here, keyed by device and inode, and
// an open, delete or rename that the Windows sharing rules would refuse is
// refused with ERROR_SHARING_VIOLATION (32). Clients never see descriptors:
// each open gets an opaque, nonzero 32-bit handle, unique within the run.
//
// One registry per process (Global()). Thread-safe: one mutex guards the
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
#include <mutex>

#include "server/store/store_path.h"
#include "shared/protocol/open_flags.h"
#include "shared/protocol/payloads.h"

namespace tervane {

class FileRegistry {
 public:
  // Most files open at once in the whole server; an open beyond it gets
  // ERROR_TOO_MANY_OPEN_FILES (4).
  static constexpr size_t kCapacity = 1024;

  // The process's registry.
  static FileRegistry& Global();

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
  uint32_t Open(const StorePath& path, uint32_t desired_access, uint32_t share_mode,
                uint32_t creation_disposition, uint32_t flags_and_attributes, uint32_t* handle);

  // 0, or ERROR_INVALID_HANDLE (6) for a handle not open.
  uint32_t Close(uint32_t handle);

  // Reads exactly `count` bytes at `offset`, looping on short transfers:
  // 0; ERROR_HANDLE_EOF (38) when the file ends first (what was read is in
  // `buffer` but the caller sends nothing); 6; 5 without read access; 87 for
  // an offset beyond the largest file.
  uint32_t ReadAt(uint32_t handle, uint8_t* buffer, uint64_t offset, uint32_t count);
  // Writes `count` bytes at `offset`: 0; 6; 5 without write access; 87; or
  // the error (112 when the disk is full).
  uint32_t WriteAt(uint32_t handle, const uint8_t* buffer, uint64_t offset, uint32_t count);
  // Sets the end of file: 0, 6, 5 without write access, 87, or the error.
  uint32_t SetEndOfFileAt(uint32_t handle, uint64_t size);
  // Linux files are sparse already: 0 for an open handle, else 6.
  uint32_t SetSparse(uint32_t handle);
  uint32_t GetFileSize(uint32_t handle, uint64_t* size);
  // Creation time is the birth time where the file system records one,
  // else the last-write time.
  uint32_t GetFileTime(uint32_t handle, FileTimes* times);
  // A zero time leaves that time unchanged; a creation time cannot be set on
  // Linux and is accepted and dropped. 5 without write access.
  uint32_t SetFileTime(uint32_t handle, const FileTimes& times);

  // Sharing checks for operations on paths, given the file's identity. Each
  // is 0 or 32. The caller holds lock() so that the check and its action are
  // one step against concurrent opens.
  //   CheckOpenLocked: could the file be opened with this access and share?
  //   CheckDeleteLocked: may it be deleted or renamed (every open of it
  //   admits FILE_SHARE_DELETE)?
  uint32_t CheckOpenLocked(dev_t dev, ino_t ino, uint32_t desired_access, uint32_t share_mode) const;
  uint32_t CheckDeleteLocked(dev_t dev, ino_t ino) const;
  std::mutex& lock() { return mu_; }

  // Files open now (for tests and diagnostics).
  size_t OpenCount();

 private:
  struct Entry;
  Entry* Pin(uint32_t handle, uint32_t* result);  // takes a use of an open entry
  void Unpin(Entry* e);
  size_t FindFreeSlotLocked(uint32_t* handle);

  std::mutex mu_;
  std::unique_ptr<Entry[]> entries_;  // kCapacity slots, allocated once; GUARDED_BY(mu_)
  uint32_t next_handle_;  // GUARDED_BY(mu_)
  size_t open_count_;     // GUARDED_BY(mu_)
};

}  // namespace tervane

#endif  // TERVANE_SERVER_STORE_FILE_REGISTRY_H_
