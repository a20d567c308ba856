#include "server/store/file_ops.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "server/store/beneath.h"
#include "server/store/file_registry.h"
#include "shared/platform/stdout_line.h"
#include "shared/platform/win_error.h"

namespace tervane {
namespace {

// Attribute bits other than those the file's type and mode stand for are kept
// here, as a little-endian u32.
constexpr char kAttributesXattr[] = "user.tervane.attributes";
constexpr uint32_t FILE_ATTRIBUTE_NORMAL = 0x80;
// A directory's read-only bit stops nothing inside it on Windows, so it is
// kept with the other bits instead of in the mode, where it would.
constexpr uint32_t kNotKeptFile = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY |
                                  FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NORMAL;
constexpr uint32_t kNotKeptDirectory = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NORMAL;

// Homes and directories are private to the server's account, whatever the
// umask.
constexpr mode_t kDirectoryMode = 0700;

// The directory holding a path's last component, opened beneath its home.
struct ParentDir {
  ScopedFd fd;
  const char* leaf = nullptr;
};

Result OpenParent(const StorePath& path, ParentDir* out) {
  if (path.is_home()) return ERROR_ACCESS_DENIED;
  Result result;
  ScopedFd home(OpenHome(path, &result));
  if (!home.ok()) return result;
  out->fd.Reset(OpenParentBeneath(home.get(), path.relative(), &out->leaf));
  if (!out->fd.ok()) {
    int err = errno;
    return err == ENOENT ? ERROR_PATH_NOT_FOUND : WinErrorFromErrno(err);
  }
  return 0;
}

Result StatError(int err) { return err == ENOENT ? ERROR_FILE_NOT_FOUND : WinErrorFromErrno(err); }

// mkdir beneath `home`: the directory and every missing one above it.
Result MakeChain(int home, const char* rel) {
  char buf[kStorePathCapacity];
  size_t n = std::strlen(rel);
  if (n + 1 > sizeof buf) return ERROR_FILENAME_EXCED_RANGE;
  std::memcpy(buf, rel, n + 1);
  int cur = home;
  ScopedFd owned;
  char* p = buf;
  for (;;) {
    char* slash = std::strchr(p, '/');
    if (slash != nullptr) *slash = '\0';
    if (::mkdirat(cur, p, kDirectoryMode) != 0 && errno != EEXIST) return WinErrorFromErrno(errno, ErrnoTarget::kDirectory);
    if (slash == nullptr) return 0;
    int fd = OpenBeneath(cur, p, O_PATH | O_DIRECTORY);
    if (fd < 0) return WinErrorFromErrno(errno, ErrnoTarget::kDirectory);
    owned.Reset(fd);
    cur = fd;
    p = slash + 1;
  }
}

// Removes one directory entry for MyRemoveDirectory.
Result RemoveDirectoryAt(int parent, const char* leaf) {
  if (::unlinkat(parent, leaf, AT_REMOVEDIR) == 0) return 0;
  int err = errno;
  if (err == ENOTEMPTY || err == EEXIST) return ERROR_DIR_NOT_EMPTY;
  if (err == ENOTDIR) return ERROR_DIRECTORY;
  return StatError(err);
}

// Deletes one non-directory entry of a tree the way ZOT_DeleteDirectoryTree
// does: *skipped when the Windows size-open would have failed.
Result DeleteTreeFile(FileRegistry& registry, int dir, const char* name, uint32_t* size, bool* skipped) {
  MutexLock guard(&registry.mu());
  *skipped = false;
  *size = 0;
  struct stat st;
  if (::fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
    *skipped = true;  // gone meanwhile, or unreadable: cannot be opened
    return 0;
  }
  if (S_ISREG(st.st_mode)) {
    if (registry.CheckOpenLocked(st.st_dev, st.st_ino, GENERIC_READ, FILE_SHARE_READ) != 0) {
      *skipped = true;
      return 0;
    }
    *size = static_cast<uint32_t>(st.st_size);
    Result sharing = registry.CheckDeleteLocked(st.st_dev, st.st_ino);
    if (sharing != 0) return sharing;
  }
  if (::unlinkat(dir, name, 0) != 0) return StatError(errno);
  return 0;
}

// A tree delete's log lines show the composed path; one too long for a line
// shows its end, after "...".
constexpr size_t kShownPathBytes = 200;

void TreeLine(const char* what, const char* path, size_t len, Result result) {
  bool cut = len > kShownPathBytes;
  PrintStdoutLine("%s:[%s%s] Result: %d\n", what, cut ? "..." : "", path + (cut ? len - kShownPathBytes : 0),
                  static_cast<int>(result.code()));
}

void TreeLine(const char* what, const std::string& path, Result result) {
  TreeLine(what, path.c_str(), path.size(), result);
}

// One directory of the walk below the tree's top: its identity, to check
// that ".." leads back to it, and where its "/name" starts in the path.
struct TreeLevel {
  dev_t dev;
  ino_t ino;
  size_t name_at;
};

// Deletes the non-directories in `dir` until it meets a sub-directory, whose
// name it puts in *subdir (then true); false when `dir` holds nothing more
// that can go (files held open are left). `path` is dir's composed path.
bool DeleteFilesUntilSubdir(FileRegistry& registry, int dir, std::string* path, uint32_t* bytes, uint32_t* files,
                            std::string* subdir, Result* result) {
  alignas(8) char buf[1024];
  bool deleted_any = true;
  // Deleting while enumerating may make some file systems skip entries, so
  // a pass that deleted something is followed by another from the start.
  while (*result == 0 && deleted_any) {
    deleted_any = false;
    if (::lseek(dir, 0, SEEK_SET) != 0) {
      *result = WinErrorFromErrno(errno);
      return false;
    }
    for (;;) {
      ssize_t n = ::getdents64(dir, buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        *result = WinErrorFromErrno(errno);
        return false;
      }
      if (n == 0) break;
      for (ssize_t off = 0; off < n;) {
        auto* d = reinterpret_cast<const struct dirent64*>(buf + off);
        off += d->d_reclen;
        const char* name = d->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
        unsigned char type = d->d_type;
        if (type == DT_UNKNOWN) {
          struct stat st;
          if (::fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
          type = S_ISDIR(st.st_mode) ? DT_DIR : DT_REG;
        }
        if (type == DT_DIR) {
          *subdir = name;
          return true;
        }
        uint32_t size = 0;
        bool skipped = false;
        Result r = DeleteTreeFile(registry, dir, name, &size, &skipped);
        if (skipped) continue;
        size_t len = path->size();
        path->append("/").append(name);
        TreeLine("MyDeleteFile", *path, r);
        path->resize(len);
        if (r != 0) {
          *result = r;
          return false;
        }
        *bytes += size;
        *files += 1;
        deleted_any = true;
      }
    }
  }
  return false;
}

// Empties the directory open as `top` (fstat'ed as `top_st`) at any depth.
// Only one directory is open at a time: the walk goes down by name with
// O_NOFOLLOW and back up through "..", checking that ".." is the directory
// it came from, so a rename elsewhere can never lead it out of the tree.
Result DeleteContents(FileRegistry& registry, int top, const struct stat& top_st, std::string* path, uint32_t* bytes,
                        uint32_t* files) {
  std::vector<TreeLevel> levels{{top_st.st_dev, top_st.st_ino, path->size()}};
  ScopedFd owned;
  int cur = top;
  Result result;
  std::string subdir;
  for (;;) {
    if (DeleteFilesUntilSubdir(registry, cur, path, bytes, files, &subdir, &result)) {
      size_t name_at = path->size();
      path->append("/").append(subdir);
      ScopedFd child(::openat(cur, subdir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      struct stat st;
      if (!child.ok() || ::fstat(child.get(), &st) != 0) {
        result = StatError(errno);
        TreeLine("ZOT_DeleteDirectoryTree", *path, result);
        path->resize(name_at);
        break;
      }
      levels.push_back({st.st_dev, st.st_ino, name_at});
      owned.Reset(child.Release());
      cur = owned.get();
      continue;
    }
    if (result != 0 || levels.size() == 1) break;
    // `cur` is empty: up to its parent, and remove it there.
    const TreeLevel& parent_level = levels[levels.size() - 2];
    ScopedFd parent(::openat(cur, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    struct stat st;
    if (!parent.ok() || ::fstat(parent.get(), &st) != 0) {
      result = WinErrorFromErrno(errno);
    } else if (st.st_dev != parent_level.dev || st.st_ino != parent_level.ino) {
      result = ERROR_ACCESS_DENIED;  // moved away meanwhile: stop here
    } else {
      result = RemoveDirectoryAt(parent.get(), path->c_str() + levels.back().name_at + 1);
      TreeLine("MyRemoveDirectory", *path, result);
    }
    TreeLine("ZOT_DeleteDirectoryTree", *path, result);
    path->resize(levels.back().name_at);
    levels.pop_back();
    if (result != 0) break;
    owned.Reset(parent.Release());
    cur = owned.get();
  }
  // A failure ends the walk; each directory it was in reports it, as each
  // level of a recursive walk would.
  for (size_t i = levels.size(); result != 0 && i-- > 1;) {
    TreeLine("ZOT_DeleteDirectoryTree", *path, result);
    path->resize(levels[i].name_at);
  }
  return result;
}

}  // namespace

Result CreateDirectoryPath(const StorePath& path) {
  Result result;
  ScopedFd home(OpenHome(path, &result));
  if (!home.ok() && result == ERROR_PATH_NOT_FOUND && path.has_home()) {
    // The home went missing: make it again below the share root.
    char home_path[kStorePathCapacity];
    std::string_view h = path.home();
    std::memcpy(home_path, h.data(), h.size());
    home_path[h.size()] = '\0';
    if (::mkdir(home_path, kDirectoryMode) != 0 && errno != EEXIST) return WinErrorFromErrno(errno, ErrnoTarget::kDirectory);
    home.Reset(OpenHome(path, &result));
  }
  if (!home.ok()) return result;
  if (path.is_home()) return ERROR_ALREADY_EXISTS;
  const char* leaf = nullptr;
  ScopedFd parent(OpenParentBeneath(home.get(), path.relative(), &leaf));
  if (parent.ok()) {
    if (::mkdirat(parent.get(), leaf, kDirectoryMode) == 0) return 0;
    int err = errno;
    struct stat st;
    if (err == EEXIST && ::fstatat(parent.get(), leaf, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)) {
      return ERROR_ACCESS_DENIED;  // a link is never taken for a directory
    }
    return WinErrorFromErrno(err, ErrnoTarget::kDirectory);  // EEXIST: 183
  }
  if (errno != ENOENT) return WinErrorFromErrno(errno, ErrnoTarget::kDirectory);
  // A directory above is missing: create the chain from the home down; the
  // last one existing by then is no failure.
  return MakeChain(home.get(), path.relative());
}

Result MyDeleteFile(FileRegistry& registry, const StorePath& path) {
  ParentDir parent;
  Result result = OpenParent(path, &parent);
  if (result != 0) return result;
  MutexLock guard(&registry.mu());
  struct stat st;
  if (::fstatat(parent.fd.get(), parent.leaf, &st, AT_SYMLINK_NOFOLLOW) != 0) return StatError(errno);
  if (S_ISDIR(st.st_mode)) return ERROR_ACCESS_DENIED;
  if (S_ISREG(st.st_mode)) {
    result = registry.CheckDeleteLocked(st.st_dev, st.st_ino);
    if (result != 0) return result;
  }
  // A read-only mode does not stop an unlink here, so the Windows retry
  // after clearing it is not needed.
  if (::unlinkat(parent.fd.get(), parent.leaf, 0) != 0) return StatError(errno);
  return 0;
}

Result MyRemoveDirectory(const StorePath& path) {
  ParentDir parent;
  Result result = OpenParent(path, &parent);
  if (result != 0) return result;
  return RemoveDirectoryAt(parent.fd.get(), parent.leaf);
}

Result ZOT_DeleteDirectoryTree(FileRegistry& registry, const StorePath& path, uint32_t* bytes, uint32_t* files) {
  if (path.is_home()) return ERROR_ACCESS_DENIED;
  Result result;
  ScopedFd dir(OpenInHome(path, O_RDONLY | O_DIRECTORY, 0, &result));
  if (!dir.ok()) return result;
  struct stat st;
  if (::fstat(dir.get(), &st) != 0) return WinErrorFromErrno(errno);
  try {
    std::string tree_path(path.full(), path.full_size());
    result = DeleteContents(registry, dir.get(), st, &tree_path, bytes, files);
  } catch (const std::bad_alloc&) {
    result = ERROR_NOT_ENOUGH_MEMORY;
  }
  dir.Reset();
  if (result != 0) return result;
  result = MyRemoveDirectory(path);
  TreeLine("MyRemoveDirectory", path.full(), path.full_size(), result);
  return result;
}

Result DeleteFileTakingSize(FileRegistry& registry, const StorePath& path, uint32_t* size) {
  *size = 0;
  ParentDir parent;
  Result result = OpenParent(path, &parent);
  if (result != 0) return result;
  MutexLock guard(&registry.mu());
  struct stat st;
  if (::fstatat(parent.fd.get(), parent.leaf, &st, AT_SYMLINK_NOFOLLOW) != 0) return StatError(errno);
  if (S_ISDIR(st.st_mode)) return ERROR_ACCESS_DENIED;
  if (S_ISREG(st.st_mode)) {
    if (registry.CheckOpenLocked(st.st_dev, st.st_ino, GENERIC_READ, FILE_SHARE_READ) == 0) {
      *size = static_cast<uint32_t>(st.st_size);
    }
    // The plain delete of the request has no read-only retry.
    if ((st.st_mode & S_IWUSR) == 0) return ERROR_ACCESS_DENIED;
    result = registry.CheckDeleteLocked(st.st_dev, st.st_ino);
    if (result != 0) return result;
  }
  if (::unlinkat(parent.fd.get(), parent.leaf, 0) != 0) return StatError(errno);
  return 0;
}

Result GetFileAttributesAt(const StorePath& path, uint32_t* attributes) {
  Result result;
  // A readable descriptor carries the extended attribute; a link (refused
  // as ELOOP) or an unreadable file falls back to the entry itself.
  ScopedFd fd(OpenInHome(path, O_RDONLY | O_NONBLOCK, 0, &result));
  bool readable = fd.ok();
  if (!readable) {
    if (result != ERROR_ACCESS_DENIED) return result;
    fd.Reset(OpenInHome(path, O_PATH, 0, &result));
    if (!fd.ok()) return result;
  }
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return WinErrorFromErrno(errno);
  if (S_ISLNK(st.st_mode)) return ERROR_ACCESS_DENIED;
  bool is_dir = S_ISDIR(st.st_mode);
  uint32_t a = is_dir ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
  if (!is_dir && (st.st_mode & S_IWUSR) == 0) a |= FILE_ATTRIBUTE_READONLY;
  if (readable && (is_dir || S_ISREG(st.st_mode))) {
    uint8_t raw[4];
    if (::fgetxattr(fd.get(), kAttributesXattr, raw, sizeof raw) == static_cast<ssize_t>(sizeof raw)) {
      uint32_t kept = raw[0] | (raw[1] << 8) | (raw[2] << 16) | (static_cast<uint32_t>(raw[3]) << 24);
      a |= kept & ~(is_dir ? kNotKeptDirectory : kNotKeptFile);
    }
  }
  *attributes = a;
  return 0;
}

Result SetFileAttributesAt(const StorePath& path, uint32_t attributes) {
  Result result;
  ScopedFd fd(OpenInHome(path, O_RDONLY | O_NONBLOCK, 0, &result));
  if (!fd.ok()) return result;
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return WinErrorFromErrno(errno);
  bool is_dir = S_ISDIR(st.st_mode);
  if (!is_dir && !S_ISREG(st.st_mode)) return ERROR_ACCESS_DENIED;
  if (!is_dir) {
    mode_t mode = st.st_mode & 07777;
    mode_t want = (attributes & FILE_ATTRIBUTE_READONLY) ? (mode & ~0222) : (mode | S_IWUSR);
    if (want != mode && ::fchmod(fd.get(), want) != 0) return WinErrorFromErrno(errno);
  }
  uint32_t kept = attributes & ~(is_dir ? kNotKeptDirectory : kNotKeptFile);
  if (kept != 0) {
    uint8_t raw[4] = {static_cast<uint8_t>(kept), static_cast<uint8_t>(kept >> 8),
                      static_cast<uint8_t>(kept >> 16), static_cast<uint8_t>(kept >> 24)};
    (void)::fsetxattr(fd.get(), kAttributesXattr, raw, sizeof raw, 0);  // no user xattrs: dropped
  } else {
    (void)::fremovexattr(fd.get(), kAttributesXattr);
  }
  return 0;
}

Result MoveFileAt(FileRegistry& registry, const StorePath& from, const StorePath& to) {
  if (from.is_home() || to.is_home()) return ERROR_ACCESS_DENIED;
  ParentDir src;
  Result result = OpenParent(from, &src);
  if (result != 0) return result;
  ParentDir dst;
  result = OpenParent(to, &dst);
  if (result != 0) return result;
  MutexLock guard(&registry.mu());
  struct stat st;
  if (::fstatat(src.fd.get(), src.leaf, &st, AT_SYMLINK_NOFOLLOW) != 0) return StatError(errno);
  if (S_ISLNK(st.st_mode)) return ERROR_ACCESS_DENIED;
  if (S_ISREG(st.st_mode)) {
    result = registry.CheckDeleteLocked(st.st_dev, st.st_ino);
    if (result != 0) return result;
  }
  if (::renameat2(src.fd.get(), src.leaf, dst.fd.get(), dst.leaf, RENAME_NOREPLACE) == 0) return 0;
  int err = errno;
  if (err == EINVAL) {
    // The file system may lack RENAME_NOREPLACE; the registry lock keeps
    // our own requests from creating the target between check and rename.
    struct stat target;
    if (::fstatat(dst.fd.get(), dst.leaf, &target, AT_SYMLINK_NOFOLLOW) == 0) return ERROR_ALREADY_EXISTS;
    if (::renameat(src.fd.get(), src.leaf, dst.fd.get(), dst.leaf) == 0) return 0;
    err = errno;
    if (err == EINVAL) return ERROR_ACCESS_DENIED;  // a directory into itself
  }
  if (err == EEXIST || err == ENOTEMPTY) return ERROR_ALREADY_EXISTS;
  return StatError(err);
}

Result PathExists(const StorePath& path, bool* is_directory) {
  Result result;
  ScopedFd fd(OpenInHome(path, O_PATH, 0, &result));
  if (!fd.ok()) return result;
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return WinErrorFromErrno(errno);
  if (S_ISLNK(st.st_mode)) return ERROR_ACCESS_DENIED;
  if (is_directory != nullptr) *is_directory = S_ISDIR(st.st_mode);
  return 0;
}

}  // namespace tervane
