// Opening a path beneath a directory without ever leaving it. The kernel's
// openat2 with RESOLVE_BENEATH does this in one call; where it is missing (old
// kernels, container filters) the path is walked one component at a time
// with O_NOFOLLOW. Either way no symbolic link below the starting directory
// is followed, so both give the same answers: a link in the middle of a path
// or at its end (unless O_PATH|O_NOFOLLOW asks for the link itself) fails
// with ELOOP.
//
// Thread-safe; no heap.
#ifndef TERVANE_SERVER_STORE_BENEATH_H_
#define TERVANE_SERVER_STORE_BENEATH_H_

#include <sys/types.h>

#include <unistd.h>

#include <cstdint>

#include "server/store/store_path.h"
#include "shared/protocol/result.h"

namespace tervane {

// Owns one descriptor; closes it when it goes.
class ScopedFd {
 public:
  ScopedFd() = default;
  explicit ScopedFd(int fd) : fd_(fd) {}
  ~ScopedFd() { Reset(); }
  ScopedFd(const ScopedFd&) = delete;
  ScopedFd& operator=(const ScopedFd&) = delete;
  int get() const { return fd_; }
  bool ok() const { return fd_ >= 0; }
  void Reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }
  int Release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_ = -1;
};

// How paths are resolved; chosen once per process by probing the kernel.
enum class BeneathMode { kOpenat2, kWalk };
BeneathMode CurrentBeneathMode();
// Tests run both modes; kOpenat2 is ignored where the kernel lacks it.
void SetBeneathModeForTesting(BeneathMode mode);

// Opens `rel` (relative, '/'-separated, no ".." and no leading '/'; "" names
// dir_fd's directory itself) beneath dir_fd with `flags` (O_CLOEXEC and
// O_NOFOLLOW are added) and `mode` for O_CREAT. Returns the descriptor, or -1
// with errno set (ELOOP for a link, EXDEV for an escape, ENOENT, ENOTDIR, ...).
int OpenBeneath(int dir_fd, const char* rel, int flags, mode_t mode = 0);

// Opens the directory that holds the last component of `rel` (O_PATH) and
// points *leaf at that component inside `rel`. For a one-component `rel`
// this is a duplicate of dir_fd. `rel` must not be "". -1 with errno on
// failure.
int OpenParentBeneath(int dir_fd, const char* rel, const char** leaf);

// The Windows code for a failed lookup of `rel` beneath dir_fd, given its
// errno: ENOENT becomes ERROR_PATH_NOT_FOUND (3) when the parent directory
// is missing too, else ERROR_FILE_NOT_FOUND (2); the rest map as
// WinErrorFromErrno does (a link or an escape is ERROR_ACCESS_DENIED, 5).
Result LookupError(int dir_fd, const char* rel, int err);

// Opens the home of `path` as an O_PATH directory (the home's own path is the
// server's and is taken as it stands). -1 with *result = its Windows code
// (a missing home is ERROR_PATH_NOT_FOUND, 3).
int OpenHome(const StorePath& path, Result* result);

// Opens path's relative part beneath its home (OpenBeneath). -1 with
// *result = the Windows code of the failure (LookupError) and errno as the
// open left it (ELOOP for a link met on the way).
int OpenInHome(const StorePath& path, int flags, mode_t mode, Result* result);

}  // namespace tervane

#endif  // TERVANE_SERVER_STORE_BENEATH_H_
