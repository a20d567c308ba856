#include "client/app/local_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "shared/platform/filetime.h"
#include "shared/platform/win_error.h"

namespace tervane {

LocalFile::LocalFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    error_ = WinErrorFromErrno(errno);
    return;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    error_ = WinErrorFromErrno(errno);
    ::close(fd);
    return;
  }
  if (!S_ISREG(st.st_mode)) {
    error_ = ERROR_NOT_SUPPORTED;
    ::close(fd);
    return;
  }
  // Reads then block as usual (O_NONBLOCK is the only flag of the open that
  // F_SETFL would change).
  ::fcntl(fd, F_SETFL, 0);
  fd_ = fd;
  size_ = static_cast<uint64_t>(st.st_size);
  modified_ = FileTimeFromTimespec(st.st_mtim);
}

LocalFile::~LocalFile() {
  if (fd_ >= 0) ::close(fd_);
}

LocalFile::LocalFile(LocalFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), error_(other.error_), size_(other.size_), modified_(other.modified_) {}

LocalFile& LocalFile::operator=(LocalFile&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
    error_ = other.error_;
    size_ = other.size_;
    modified_ = other.modified_;
  }
  return *this;
}

Result LocalFile::ReadAt(uint64_t offset, uint8_t* buffer, size_t len) const {
  size_t done = 0;
  while (done < len) {
    const ssize_t n = ::pread(fd_, buffer + done, len - done, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return WinErrorFromErrno(errno);
    }
    if (n == 0) return ERROR_HANDLE_EOF;
    done += static_cast<size_t>(n);
  }
  return 0;
}

}  // namespace tervane
