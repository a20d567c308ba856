#include "server/store/share_report.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "server/store/config_file.h"

namespace tervane {
namespace {

constexpr const char* kWeekdays[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};

// Adds what the directory `fd` holds to *copy; takes `fd` over. Depth is
// bounded by the protocol's path length, so recursion stays shallow.
void AddTree(int fd, WeekdayCopy* copy) {
  DIR* dir = ::fdopendir(fd);
  if (dir == nullptr) {
    ::close(fd);
    return;
  }
  while (dirent* e = ::readdir(dir)) {
    if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
    struct stat st;
    if (::fstatat(::dirfd(dir), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (st.st_mtime > copy->newest) copy->newest = st.st_mtime;
    if (S_ISREG(st.st_mode)) {
      ++copy->files;
      copy->bytes += static_cast<uint64_t>(st.st_size);
    } else if (S_ISDIR(st.st_mode)) {
      int child = ::openat(::dirfd(dir), e->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (child >= 0) AddTree(child, copy);
    }
  }
  ::closedir(dir);
}

}  // namespace

Result ReadShareReport(const std::string& config_path, time_t now, std::vector<AccountCopies>* out) {
  ServerConfig config;
  Result r = ReadConfig(config_path, &config);
  if (r != 0) return r;
  out->clear();
  for (const auto& account : config.accounts) {
    AccountCopies a;
    a.name = account->name;
    const std::string home = config.share_root + a.name + "/";
    for (const char* day : kWeekdays) {
      const std::string folder = home + day;
      struct stat st;
      if (::lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) continue;
      WeekdayCopy copy;
      copy.weekday = day;
      copy.newest = st.st_mtime;
      int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (fd >= 0) AddTree(fd, &copy);
      if (copy.newest > a.newest) a.newest = copy.newest;
      a.copies.push_back(copy);
    }
    a.stale = a.copies.empty() || now - a.newest > kStaleAfterSeconds;
    out->push_back(std::move(a));
  }
  return 0;
}

}  // namespace tervane
