#include "client/app/local_walk.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <string_view>

#include "shared/platform/win_error.h"

namespace tervane {
namespace {

// The kind of an entry the listing could not type by itself, or of a link.
LocalEntryKind KindByStat(int dir_fd, const char* name) {
  struct stat st {};
  if (::fstatat(dir_fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return LocalEntryKind::kUnreadable;
  if (S_ISDIR(st.st_mode)) return LocalEntryKind::kDirectory;
  if (S_ISREG(st.st_mode)) return LocalEntryKind::kFile;
  if (!S_ISLNK(st.st_mode)) return LocalEntryKind::kSkipped;
  struct stat target {};
  if (::fstatat(dir_fd, name, &target, 0) != 0) return LocalEntryKind::kFile;
  return S_ISREG(target.st_mode) ? LocalEntryKind::kFile : LocalEntryKind::kSkipped;
}

}  // namespace

bool ListLocalDirectory(const std::string& directory, std::vector<LocalEntry>* entries, uint32_t* read_error) {
  entries->clear();
  *read_error = 0;
  DIR* dir = ::opendir(directory.c_str());
  if (dir == nullptr) {
    *read_error = WinErrorFromErrno(errno, ErrnoTarget::kDirectory);
    return false;
  }
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(dir);
    if (entry == nullptr) {
      if (errno != 0) *read_error = WinErrorFromErrno(errno, ErrnoTarget::kDirectory);
      break;
    }
    const std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    // Most file systems type each entry in the listing itself, which spares
    // a stat per entry; links and untyped entries are looked at.
    LocalEntryKind kind;
    switch (entry->d_type) {
      case DT_DIR: kind = LocalEntryKind::kDirectory; break;
      case DT_REG: kind = LocalEntryKind::kFile; break;
      case DT_FIFO:
      case DT_SOCK:
      case DT_CHR:
      case DT_BLK: kind = LocalEntryKind::kSkipped; break;
      default: kind = KindByStat(::dirfd(dir), entry->d_name); break;
    }
    entries->push_back(LocalEntry{std::string(name), kind});
  }
  ::closedir(dir);
  return true;
}

}  // namespace tervane
