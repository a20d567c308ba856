#include "server/store/share_root.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "shared/protocol/result_codes.h"

namespace tervane {
namespace {

uint32_t Unusable(std::string* problem, const char* what, const std::string& path, int error) {
  *problem = std::string(what) + " " + path + ": " + std::strerror(error);
  return RESULT_SHARE_ROOT_UNUSABLE;
}

}  // namespace

Result PrepareShareRoot(const std::string& root, std::string* problem) {
  for (size_t i = 1; i < root.size(); ++i) {
    if (root[i] != '/') continue;
    std::string prefix = root.substr(0, i);
    struct stat st;
    if (::stat(prefix.c_str(), &st) == 0) continue;
    if (errno != ENOENT && errno != ENOTDIR) return Unusable(problem, "cannot look up", prefix, errno);
    // What the server makes is its own alone.
    if (::mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) {
      return Unusable(problem, "cannot create", prefix, errno);
    }
  }
  const std::string dir = root.substr(0, root.size() - 1);  // "plain/" of a file would read as ENOTDIR
  struct stat st;
  if (::stat(dir.c_str(), &st) != 0) return Unusable(problem, "cannot look up", dir, errno);
  if (!S_ISDIR(st.st_mode)) return Unusable(problem, "cannot use", dir, ENOTDIR);
  // Permission bits alone do not tell: a read-only mount, an ACL or a
  // sandbox that hides the path are found only by trying.
  std::string probe = root + ".tervane-probe-XXXXXX";
  int fd = ::mkstemp(probe.data());
  if (fd < 0) return Unusable(problem, "cannot write in", dir, errno);
  ::close(fd);
  ::unlink(probe.c_str());
  return 0;
}

}  // namespace tervane
