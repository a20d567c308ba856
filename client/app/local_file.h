// Reading the local file being uploaded: opened once, read by offset.
#ifndef TERVANE_CLIENT_APP_LOCAL_FILE_H_
#define TERVANE_CLIENT_APP_LOCAL_FILE_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "shared/protocol/result.h"

namespace tervane {

// A regular file open for reading; closed when the object goes. Movable, not
// copyable; not thread-safe.
class LocalFile {
 public:
  LocalFile() = default;
  // Opens `path` (following a symlink); a FIFO, socket or device is refused
  // without blocking on it. valid() tells whether it could be had, error()
  // why not (the open's code, ERROR_NOT_SUPPORTED for what is not a regular
  // file).
  explicit LocalFile(const std::string& path);
  ~LocalFile();
  LocalFile(LocalFile&& other) noexcept;
  LocalFile& operator=(LocalFile&& other) noexcept;
  LocalFile(const LocalFile&) = delete;
  LocalFile& operator=(const LocalFile&) = delete;

  bool valid() const { return fd_ >= 0; }
  Result error() const { return error_; }
  uint64_t size() const { return size_; }             // when opened
  uint64_t modified() const { return modified_; }     // last write, FILETIME, when opened

  // Reads exactly `len` bytes at `offset`. 0; ERROR_HANDLE_EOF when the file
  // ended first (it shrank while being read); else the read error's code.
  Result ReadAt(uint64_t offset, uint8_t* buffer, size_t len) const;

 private:
  int fd_ = -1;
  Result error_;
  uint64_t size_ = 0;
  uint64_t modified_ = 0;
};

}  // namespace tervane

#endif  // TERVANE_CLIENT_APP_LOCAL_FILE_H_
