#include "server/store/beneath.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "shared/platform/win_error.h"

namespace tervane {
namespace {

constexpr int kUnknown = -1;
std::atomic<int> g_mode{kUnknown};
std::atomic<bool> g_kernel_has_openat2{false};

long SysOpenat2(int dir_fd, const char* path, open_how* how) {
#ifdef SYS_openat2
  return ::syscall(SYS_openat2, dir_fd, path, how, sizeof *how);
#else
  (void)dir_fd;
  (void)path;
  (void)how;
  errno = ENOSYS;
  return -1;
#endif
}

// Container filters answer an unknown system call with ENOSYS or EPERM, so
// only a call that opens something proves the kernel has it.
bool ProbeOpenat2() {
  open_how how{};
  how.flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
  long fd = SysOpenat2(AT_FDCWD, "/", &how);
  if (fd < 0) return false;
  ::close(static_cast<int>(fd));
  return true;
}

BeneathMode Mode() {
  int m = g_mode.load(std::memory_order_acquire);
  if (m == kUnknown) {
    bool has = ProbeOpenat2();
    g_kernel_has_openat2.store(has, std::memory_order_release);
    m = static_cast<int>(has ? BeneathMode::kOpenat2 : BeneathMode::kWalk);
    int expected = kUnknown;
    if (!g_mode.compare_exchange_strong(expected, m)) m = expected;
  }
  return static_cast<BeneathMode>(m);
}

int OpenWithOpenat2(int dir_fd, const char* rel, int flags, mode_t mode) {
  open_how how{};
  how.flags = static_cast<uint64_t>(flags);
  // O_TMPFILE contains the O_DIRECTORY bit: a plain directory open must not pass a mode.
  how.mode = ((flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE) ? mode : 0;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
  // EAGAIN: a rename elsewhere raced with the lookup; the kernel asks for a retry.
  for (int attempt = 0; attempt < 8; ++attempt) {
    long fd = SysOpenat2(dir_fd, rel[0] ? rel : ".", &how);
    if (fd >= 0) return static_cast<int>(fd);
    if (errno != EAGAIN && errno != EINTR) return -1;
  }
  errno = EAGAIN;
  return -1;
}

// Intermediate components are opened O_PATH|O_DIRECTORY|O_NOFOLLOW, which a
// link fails with ENOTDIR; report it as ELOOP, as openat2 does.
int OpenComponent(int at, const char* name, int flags, mode_t mode) {
  int fd = ::openat(at, name, flags, mode);
  if (fd < 0 && errno == ENOTDIR) {
    struct stat st;
    if (::fstatat(at, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)) errno = ELOOP;
    else errno = ENOTDIR;
  }
  return fd;
}

int OpenWithWalk(int dir_fd, const char* rel, int flags, mode_t mode) {
  size_t n = std::strlen(rel);
  if (n + 1 > kStorePathCapacity) {
    errno = ENAMETOOLONG;
    return -1;
  }
  char buf[kStorePathCapacity];
  std::memcpy(buf, rel, n + 1);
  // Drop trailing separators so that the last component is a name.
  while (n > 0 && buf[n - 1] == '/') buf[--n] = '\0';
  if (n > 0 && buf[0] == '/') {
    errno = EXDEV;
    return -1;
  }
  int cur = dir_fd;
  ScopedFd owned;
  char* p = buf;
  for (;;) {
    char* slash = std::strchr(p, '/');
    if (slash == nullptr) break;
    *slash = '\0';
    if (p[0] != '\0' && std::strcmp(p, ".") != 0) {
      if (std::strcmp(p, "..") == 0) {
        errno = EXDEV;
        return -1;
      }
      int fd = OpenComponent(cur, p, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC, 0);
      if (fd < 0) return -1;
      owned.Reset(fd);
      cur = fd;
    }
    p = slash + 1;
  }
  if (std::strcmp(p, "..") == 0) {
    errno = EXDEV;
    return -1;
  }
  return OpenComponent(cur, p[0] ? p : ".", flags, mode);
}

}  // namespace

BeneathMode CurrentBeneathMode() { return Mode(); }

void SetBeneathModeForTesting(BeneathMode mode) {
  Mode();  // probe first, so the kernel's answer is known
  if (mode == BeneathMode::kOpenat2 && !g_kernel_has_openat2.load()) mode = BeneathMode::kWalk;
  g_mode.store(static_cast<int>(mode), std::memory_order_release);
}

int OpenBeneath(int dir_fd, const char* rel, int flags, mode_t mode) {
  flags |= O_CLOEXEC | O_NOFOLLOW;
  int fd = Mode() == BeneathMode::kOpenat2 ? OpenWithOpenat2(dir_fd, rel, flags, mode)
                                           : OpenWithWalk(dir_fd, rel, flags, mode);
  if (fd < 0 && errno == ENOTDIR && (flags & O_DIRECTORY) && !(flags & O_CREAT)) {
    // A link where a directory was asked for: the same ELOOP in both modes.
    int saved = errno;
    int probe = Mode() == BeneathMode::kOpenat2
                    ? OpenWithOpenat2(dir_fd, rel, O_PATH | O_NOFOLLOW | O_CLOEXEC, 0)
                    : OpenWithWalk(dir_fd, rel, O_PATH | O_NOFOLLOW | O_CLOEXEC, 0);
    struct stat st;
    bool is_link = probe >= 0 && ::fstat(probe, &st) == 0 && S_ISLNK(st.st_mode);
    if (probe >= 0) ::close(probe);
    errno = is_link ? ELOOP : saved;
  }
  return fd;
}

int OpenParentBeneath(int dir_fd, const char* rel, const char** leaf) {
  const char* slash = std::strrchr(rel, '/');
  if (slash == nullptr) {
    *leaf = rel;
    return ::fcntl(dir_fd, F_DUPFD_CLOEXEC, 0);
  }
  size_t n = static_cast<size_t>(slash - rel);
  if (n + 1 > kStorePathCapacity) {
    errno = ENAMETOOLONG;
    return -1;
  }
  char parent[kStorePathCapacity];
  std::memcpy(parent, rel, n);
  parent[n] = '\0';
  *leaf = slash + 1;
  return OpenBeneath(dir_fd, parent, O_PATH | O_DIRECTORY);
}

Result LookupError(int dir_fd, const char* rel, int err) {
  if (err != ENOENT) return WinErrorFromErrno(err);
  const char* slash = std::strrchr(rel, '/');
  if (slash == nullptr) return ERROR_FILE_NOT_FOUND;
  const char* leaf = nullptr;
  int parent = OpenParentBeneath(dir_fd, rel, &leaf);
  if (parent < 0) return ERROR_PATH_NOT_FOUND;
  ::close(parent);
  return ERROR_FILE_NOT_FOUND;
}

int OpenHome(const StorePath& path, Result* result) {
  if (!path.has_home()) {
    *result = ERROR_PATH_NOT_FOUND;
    return -1;
  }
  char home[kStorePathCapacity];
  std::string_view h = path.home();
  std::memcpy(home, h.data(), h.size());
  home[h.size()] = '\0';
  int fd = ::open(home, O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    int err = errno;
    *result = err == ENOENT ? ERROR_PATH_NOT_FOUND : WinErrorFromErrno(err);
    return -1;
  }
  *result = 0;
  return fd;
}

int OpenInHome(const StorePath& path, int flags, mode_t mode, Result* result) {
  ScopedFd home(OpenHome(path, result));
  if (!home.ok()) return -1;
  int fd = OpenBeneath(home.get(), path.relative(), flags, mode);
  if (fd < 0) {
    int err = errno;
    *result = LookupError(home.get(), path.relative(), err);
    home.Reset();
    errno = err;
    return -1;
  }
  *result = 0;
  return fd;
}

}  // namespace tervane
