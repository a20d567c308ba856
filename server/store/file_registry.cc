#include "server/store/file_registry.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "server/store/beneath.h"
#include "shared/platform/filetime.h"
#include "shared/platform/win_error.h"

namespace tervane {
namespace {

// Access rights reduced to what sharing looks at; the bits line up with the
// share modes that admit them (read with FILE_SHARE_READ, ...).
constexpr uint32_t kUseRead = FILE_SHARE_READ;
constexpr uint32_t kUseWrite = FILE_SHARE_WRITE;
constexpr uint32_t kUseDelete = FILE_SHARE_DELETE;
constexpr uint32_t FILE_EXECUTE = 0x0020;

uint32_t SharingUse(uint32_t access) {
  uint32_t use = 0;
  if (access & (GENERIC_READ | GENERIC_EXECUTE | GENERIC_ALL | FILE_READ_DATA | FILE_EXECUTE)) use |= kUseRead;
  if (access & (GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA | FILE_APPEND_DATA)) use |= kUseWrite;
  if (access & (DELETE | GENERIC_ALL)) use |= kUseDelete;
  return use;
}

constexpr uint64_t kMaxOffset = static_cast<uint64_t>(LLONG_MAX);

}  // namespace

struct FileRegistry::Entry {
  uint32_t handle = 0;  // 0: the slot is free
  int fd = -1;
  dev_t dev = 0;
  ino_t ino = 0;
  uint32_t use = 0;    // SharingUse of the desired access
  uint32_t share = 0;  // share mode of the open
  uint32_t pins = 0;   // calls running on fd
  bool closing = false;
};

FileRegistry::FileRegistry()
    : slots_(new Entry[kCapacity]), entries_(slots_.get()), next_handle_(0x1000), open_count_(0) {}

FileRegistry::~FileRegistry() {
  for (size_t i = 0; i < kCapacity; ++i) {
    if (entries_[i].handle != 0 && entries_[i].fd >= 0) ::close(entries_[i].fd);
  }
}

size_t FileRegistry::FindFreeSlotLocked(uint32_t* handle) {
  if (open_count_ >= kCapacity) return kCapacity;
  // Handles count up through the whole 32-bit range before one comes back;
  // a handle whose slot is taken is passed over, so a live handle is never
  // given twice and the slot is the handle modulo the capacity.
  for (;;) {
    uint32_t h = next_handle_++;
    if (h == 0) continue;
    size_t slot = h % kCapacity;
    if (entries_[slot].handle == 0) {
      *handle = h;
      return slot;
    }
  }
}

Result FileRegistry::CheckOpenLocked(dev_t dev, ino_t ino, uint32_t desired_access,
                                     uint32_t share_mode) const {
  // As on Windows, an open without data access (attributes, times) takes
  // part in no sharing check, on either side.
  uint32_t use = SharingUse(desired_access);
  if (use == 0) return 0;
  for (size_t i = 0; i < kCapacity; ++i) {
    const Entry& e = entries_[i];
    if (e.handle == 0 || e.closing || e.use == 0 || e.dev != dev || e.ino != ino) continue;
    if ((use & ~e.share) != 0 || (e.use & ~share_mode) != 0) return ERROR_SHARING_VIOLATION;
  }
  return 0;
}

Result FileRegistry::CheckDeleteLocked(dev_t dev, ino_t ino) const {
  for (size_t i = 0; i < kCapacity; ++i) {
    const Entry& e = entries_[i];
    if (e.handle == 0 || e.closing || e.use == 0 || e.dev != dev || e.ino != ino) continue;
    if ((e.share & FILE_SHARE_DELETE) == 0) return ERROR_SHARING_VIOLATION;
  }
  return 0;
}

Result FileRegistry::Open(const StorePath& path, uint32_t desired_access, uint32_t share_mode,
                          uint32_t creation_disposition, uint32_t flags_and_attributes,
                          uint32_t* handle) {
  *handle = 0;
  if (creation_disposition < CREATE_NEW || creation_disposition > TRUNCATE_EXISTING) {
    return ERROR_INVALID_PARAMETER;
  }
  uint32_t use = SharingUse(desired_access);
  if (creation_disposition == TRUNCATE_EXISTING && (use & kUseWrite) == 0) return ERROR_INVALID_PARAMETER;
  if (path.is_home()) return ERROR_ACCESS_DENIED;
  Result result;
  ScopedFd home(OpenHome(path, &result));
  if (!home.ok()) return result;
  const char* rel = path.relative();

  bool truncates = creation_disposition == CREATE_ALWAYS || creation_disposition == TRUNCATE_EXISTING;
  int oflags = O_NONBLOCK;  // a FIFO must not hang the worker; no effect on files
  if ((use & kUseWrite) || truncates) oflags |= (use & kUseRead) || truncates ? O_RDWR : O_WRONLY;
  else oflags |= O_RDONLY;
  // Files are private to the server's account, whatever the umask.
  mode_t mode = (flags_and_attributes & FILE_ATTRIBUTE_READONLY) ? 0400 : 0600;

  MutexLock guard(&mu_);
  uint32_t h = 0;
  size_t slot = FindFreeSlotLocked(&h);
  if (slot == kCapacity) return ERROR_TOO_MANY_OPEN_FILES;

  // The open, the sharing check and the truncation happen under the lock, so
  // a refused open never truncates and no delete slips in between.
  bool created = false;
  ScopedFd fd;
  if (creation_disposition == CREATE_NEW) {
    fd.Reset(OpenBeneath(home.get(), rel, oflags | O_CREAT | O_EXCL, mode));
    created = true;
  } else if (creation_disposition == OPEN_EXISTING || creation_disposition == TRUNCATE_EXISTING) {
    fd.Reset(OpenBeneath(home.get(), rel, oflags));
  } else {
    // A backup writes into a folder it has just emptied, so the file is
    // mostly new: creating it is tried first, which saves a failed lookup.
    for (int attempt = 0; attempt < 2 && !fd.ok(); ++attempt) {
      fd.Reset(OpenBeneath(home.get(), rel, oflags | O_CREAT | O_EXCL, mode));
      created = fd.ok();
      if (fd.ok() || errno != EEXIST) break;
      fd.Reset(OpenBeneath(home.get(), rel, oflags));
      if (fd.ok() || errno != ENOENT) break;  // ENOENT: deleted meanwhile; create it
    }
  }
  if (!fd.ok()) {
    int err = errno;
    if (err == EEXIST) {
      // A link at the name is met, not an existing file.
      ScopedFd entry(OpenBeneath(home.get(), rel, O_PATH));
      struct stat lst;
      bool link = entry.ok() && ::fstat(entry.get(), &lst) == 0 && S_ISLNK(lst.st_mode);
      return link ? ERROR_ACCESS_DENIED : ERROR_FILE_EXISTS;
    }
    if (err == EISDIR) return ERROR_ACCESS_DENIED;
    return LookupError(home.get(), rel, err);
  }
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return WinErrorFromErrno(errno);
  if (!S_ISREG(st.st_mode)) return ERROR_ACCESS_DENIED;  // a directory is never opened as a file
  // The read-only attribute holds even for a server running as root.
  if (!created && (use & kUseWrite || truncates) && (st.st_mode & S_IWUSR) == 0) return ERROR_ACCESS_DENIED;
  Result sharing = CheckOpenLocked(st.st_dev, st.st_ino, desired_access, share_mode);
  if (!sharing.ok()) return sharing;
  if (truncates && !created && st.st_size != 0 && ::ftruncate(fd.get(), 0) != 0) {
    return WinErrorFromErrno(errno);
  }
  Entry& e = entries_[slot];
  e.handle = h;
  e.fd = fd.Release();
  e.dev = st.st_dev;
  e.ino = st.st_ino;
  e.use = use;
  e.share = share_mode;
  e.pins = 0;
  e.closing = false;
  ++open_count_;
  *handle = h;
  return 0;
}

Result FileRegistry::Close(uint32_t handle) {
  MutexLock guard(&mu_);
  Entry& e = entries_[handle % kCapacity];
  if (handle == 0 || e.handle != handle || e.closing) return ERROR_INVALID_HANDLE;
  e.closing = true;
  if (e.pins == 0) {
    ::close(e.fd);
    e = Entry();
    --open_count_;
  }
  return 0;
}

FileRegistry::Entry* FileRegistry::Pin(uint32_t handle, Result* result) {
  MutexLock guard(&mu_);
  Entry& e = entries_[handle % kCapacity];
  if (handle == 0 || e.handle != handle || e.closing) {
    *result = ERROR_INVALID_HANDLE;
    return nullptr;
  }
  ++e.pins;
  *result = 0;
  return &e;
}

void FileRegistry::Unpin(Entry* e) {
  MutexLock guard(&mu_);
  if (--e->pins == 0 && e->closing) {
    ::close(e->fd);
    *e = Entry();
    --open_count_;
  }
}

Result FileRegistry::ReadAt(uint32_t handle, uint8_t* buffer, uint64_t offset, uint32_t count) {
  Result result;
  Entry* e = Pin(handle, &result);
  if (e == nullptr) return result;
  if ((e->use & kUseRead) == 0) result = ERROR_ACCESS_DENIED;
  else if (offset > kMaxOffset || count > kMaxOffset - offset) result = ERROR_INVALID_PARAMETER;
  size_t done = 0;
  while (result.ok() && done < count) {
    ssize_t n = ::pread(e->fd, buffer + done, count - done, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      result = WinErrorFromErrno(errno);
    } else if (n == 0) {
      result = ERROR_HANDLE_EOF;
    } else {
      done += static_cast<size_t>(n);
    }
  }
  Unpin(e);
  return result;
}

Result FileRegistry::WriteAt(uint32_t handle, const uint8_t* buffer, uint64_t offset, uint32_t count) {
  Result result;
  Entry* e = Pin(handle, &result);
  if (e == nullptr) return result;
  if ((e->use & kUseWrite) == 0) result = ERROR_ACCESS_DENIED;
  else if (offset > kMaxOffset || count > kMaxOffset - offset) result = ERROR_INVALID_PARAMETER;
  size_t done = 0;
  while (result.ok() && done < count) {
    ssize_t n = ::pwrite(e->fd, buffer + done, count - done, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      result = WinErrorFromErrno(errno);
    } else if (n == 0) {
      result = ERROR_DISK_FULL;
    } else {
      done += static_cast<size_t>(n);
    }
  }
  Unpin(e);
  return result;
}

Result FileRegistry::SetEndOfFileAt(uint32_t handle, uint64_t size) {
  Result result;
  Entry* e = Pin(handle, &result);
  if (e == nullptr) return result;
  if ((e->use & kUseWrite) == 0) result = ERROR_ACCESS_DENIED;
  else if (size > kMaxOffset) result = ERROR_INVALID_PARAMETER;
  else if (::ftruncate(e->fd, static_cast<off_t>(size)) != 0) result = WinErrorFromErrno(errno);
  Unpin(e);
  return result;
}

Result FileRegistry::SetSparse(uint32_t handle) {
  Result result;
  Entry* e = Pin(handle, &result);
  if (e != nullptr) Unpin(e);
  return result;
}

Result FileRegistry::GetFileSize(uint32_t handle, uint64_t* size) {
  Result result;
  Entry* e = Pin(handle, &result);
  if (e == nullptr) return result;
  struct stat st;
  if (::fstat(e->fd, &st) != 0) result = WinErrorFromErrno(errno);
  else *size = static_cast<uint64_t>(st.st_size);
  Unpin(e);
  return result;
}

Result FileRegistry::GetFileTime(uint32_t handle, FileTimes* times) {
  Result result;
  Entry* e = Pin(handle, &result);
  if (e == nullptr) return result;
  struct statx sx;
  if (::statx(e->fd, "", AT_EMPTY_PATH, STATX_BTIME | STATX_ATIME | STATX_MTIME, &sx) != 0) {
    result = WinErrorFromErrno(errno);
  } else {
    auto ts = [](const statx_timestamp& t) {
      timespec out{};
      out.tv_sec = static_cast<time_t>(t.tv_sec);
      out.tv_nsec = static_cast<long>(t.tv_nsec);
      return out;
    };
    times->last_access = FileTimeFromTimespec(ts(sx.stx_atime));
    times->last_write = FileTimeFromTimespec(ts(sx.stx_mtime));
    times->creation = (sx.stx_mask & STATX_BTIME) ? FileTimeFromTimespec(ts(sx.stx_btime)) : times->last_write;
  }
  Unpin(e);
  return result;
}

Result FileRegistry::SetFileTime(uint32_t handle, const FileTimes& times) {
  Result result;
  Entry* e = Pin(handle, &result);
  if (e == nullptr) return result;
  // 0 leaves a time as it is; so does all-ones, which Windows reads as
  // "stop updating" and which has no date.
  auto to_ts = [](uint64_t ft) {
    if (ft == 0 || ft == ~0ull) {
      timespec omit{};
      omit.tv_nsec = UTIME_OMIT;
      return omit;
    }
    return TimespecFromFileTime(ft);
  };
  timespec ts[2] = {to_ts(times.last_access), to_ts(times.last_write)};
  if ((e->use & kUseWrite) == 0) {
    result = ERROR_ACCESS_DENIED;
  } else if (ts[0].tv_nsec != UTIME_OMIT || ts[1].tv_nsec != UTIME_OMIT) {
    if (::futimens(e->fd, ts) != 0) result = WinErrorFromErrno(errno);
  }
  Unpin(e);
  return result;
}

size_t FileRegistry::OpenCount() {
  MutexLock guard(&mu_);
  return open_count_;
}

}  // namespace tervane
