#include "client/app/run_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

namespace tervane {

std::string RunLockPathFor(const std::string& settings_path) { return settings_path + ".lock"; }

RunLockFile::~RunLockFile() {
  // Closing the descriptor releases the lock.
  if (fd_ >= 0) ::close(fd_);
}

RunLockFile::State RunLockFile::TryLock(const std::string& path) {
  if (fd_ >= 0) return State::kHeld;
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return State::kUnavailable;
  int r;
  do {
    r = ::flock(fd, LOCK_EX | LOCK_NB);
  } while (r != 0 && errno == EINTR);
  if (r != 0) {
    const bool busy = errno == EWOULDBLOCK;
    ::close(fd);
    return busy ? State::kBusy : State::kUnavailable;
  }
  fd_ = fd;
  return State::kHeld;
}

}  // namespace tervane
