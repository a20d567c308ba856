#include "server/store/config_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>

#include "shared/platform/remote_name.h"
#include "shared/platform/win_error.h"
#include "shared/protocol/result_codes.h"

namespace tervane {
namespace {

// The value from *pos to the next line end (CR LF, LF, or a CR alone); *pos
// moves past that line end. False when no line end follows.
bool ReadValue(std::string_view text, size_t* pos, std::string_view* value) {
  size_t end = text.find_first_of("\r\n", *pos);
  if (end == std::string_view::npos) return false;
  *value = text.substr(*pos, end - *pos);
  if (text[end] == '\r') ++end;
  if (end < text.size() && text[end] == '\n') ++end;
  *pos = end;
  return true;
}

// Past a "]" and the line end right behind it.
bool SkipHeader(std::string_view text, size_t* pos) {
  size_t bracket = text.find(']', *pos);
  if (bracket == std::string_view::npos) return false;
  *pos = bracket + 1;
  std::string_view rest;
  if (!ReadValue(text, pos, &rest)) return false;
  return rest.empty();
}

bool OnlyLineEnds(std::string_view text) {
  return text.find_first_not_of("\r\n") == std::string_view::npos;
}

bool ReadAll(int fd, std::string* out) {
  char buf[8192];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return true;
    out->append(buf, static_cast<size_t>(n));
  }
}

bool WriteAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

// The line number (from 1) of the byte at `pos`.
int LineAt(std::string_view text, size_t pos) {
  int line = 1;
  for (size_t i = 0; i < pos && i < text.size(); ++i) {
    if (text[i] == '\n' || (text[i] == '\r' && (i + 1 >= text.size() || text[i + 1] != '\n'))) ++line;
  }
  return line;
}

uint32_t Malformed(std::string_view text, size_t pos, std::string what, ServerConfig* out) {
  out->error_line = LineAt(text, pos);
  out->error = std::move(what);
  return RESULT_CONFIG_MALFORMED;
}

uint32_t Parse(std::string_view text, ServerConfig* out) {
  size_t pos = 0;
  if (!SkipHeader(text, &pos)) return Malformed(text, 0, "expected the header line [SharePath]", out);
  size_t at = pos;
  std::string_view root;
  if (!ReadValue(text, &pos, &root)) return Malformed(text, at, "the share root line has no line end", out);
  if (root.empty()) return Malformed(text, at, "the share root is empty", out);
  if (root.size() > kMaxPath - 1) return Malformed(text, at, "the share root is longer than 259 bytes", out);
  if (root[0] != '/') return Malformed(text, at, "the share root is not an absolute path", out);
  if (root.find_first_not_of('/') == std::string_view::npos) {
    return Malformed(text, at, "the share root may not be / itself", out);
  }
  if (root.find('\0') != std::string_view::npos) return Malformed(text, at, "the share root holds a NUL byte", out);
  out->share_root.assign(root);
  if (out->share_root.back() != '/') out->share_root.push_back('/');
  if (out->share_root.size() > kMaxPath - 1) {
    return Malformed(text, at, "the share root is longer than 259 bytes with its final /", out);
  }

  while (!OnlyLineEnds(text.substr(pos))) {
    at = text.find_first_not_of("\r\n", pos);
    if (!SkipHeader(text, &pos)) return Malformed(text, at, "expected a header line such as [User]", out);
    std::string_view name;
    std::string_view password;
    at = pos;
    if (!ReadValue(text, &pos, &name)) return Malformed(text, at, "the user name line has no line end", out);
    size_t password_at = pos;
    if (!ReadValue(text, &pos, &password)) {
      return Malformed(text, password_at, "the password line of \"" + std::string(name) + "\" is missing or has no line end", out);
    }
    if (name.size() >= kUserNameField || CheckUserName(name) == ERROR_FILENAME_EXCED_RANGE) {
      return Malformed(text, at, "the user name is longer than 64 bytes", out);
    }
    if (CheckUserName(name) != 0) {
      return Malformed(text, at, "the user name \"" + std::string(name) +
                                     "\" is empty, . or .., or holds one of \\ / : * ? \" < > | or a control byte",
                       out);
    }
    if (CheckPassword(password) != 0) {
      return Malformed(text, password_at, "the password of \"" + std::string(name) +
                                              "\" is longer than 64 bytes or holds a control byte",
                       out);
    }
    std::unique_ptr<UserAccount> account(new (std::nothrow) UserAccount);
    if (!account) return RESULT_OUT_OF_MEMORY;
    std::memcpy(account->name, name.data(), name.size());
    std::memcpy(account->password, password.data(), password.size());
    out->accounts.push_back(std::move(account));
  }
  return 0;
}

}  // namespace

namespace {

// The file a rewrite replaces: `path`, or the file it links to.
std::string ConfigTarget(const std::string& path) {
  char resolved[PATH_MAX];
  struct stat st;
  if (::stat(path.c_str(), &st) == 0 && ::realpath(path.c_str(), resolved) != nullptr) return resolved;
  return path;
}

}  // namespace

Result ReadConfig(const std::string& path, ServerConfig* out) {
  if (path.empty()) return RESULT_CONFIG_NO_PATH;
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return RESULT_CONFIG_MISSING;
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return RESULT_CONFIG_UNREADABLE;
  std::string text;
  bool ok = false;
  try {
    ok = ReadAll(fd, &text);
  } catch (const std::bad_alloc&) {
    ::close(fd);
    return RESULT_OUT_OF_MEMORY;
  }
  ::close(fd);
  if (!ok) return RESULT_CONFIG_UNREADABLE;

  out->max_space_mb = kMaxSpaceMegabytes;
  out->max_file_count = kMaxFileCount;
  out->max_connections = kMaxUserConnections;
  out->accounts.clear();
  out->error_line = 0;
  out->error.clear();
  try {
    Result r = Parse(text, out);
    if (r != 0) out->accounts.clear();
    return r;
  } catch (const std::bad_alloc&) {
    out->accounts.clear();
    return RESULT_OUT_OF_MEMORY;
  }
}

Result WriteConfig(const std::string& path, std::string_view share_root,
                     const std::vector<std::unique_ptr<UserAccount>>& accounts) {
  if (path.empty()) return RESULT_CONFIG_NO_PATH;
  try {
    std::string text = "[SharePath]\r\n";
    text.append(share_root).append("\r\n");
    for (const auto& a : accounts) {
      text.append("[User]\r\n").append(a->name).append("\r\n").append(a->password).append("\r\n");
    }

    // Write beside the file the link points to, if it is one, so the link
    // stays.
    std::string target = ConfigTarget(path);
    constexpr mode_t mode = 0600;
    size_t slash = target.rfind('/');
    std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : target.substr(0, slash));
    std::string temp = target + ".XXXXXX";
    int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) return RESULT_CONFIG_UNREADABLE;
    bool ok = ::fchmod(fd, mode) == 0 && WriteAll(fd, text) && ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    ok = ok && ::rename(temp.c_str(), target.c_str()) == 0;
    if (!ok) {
      ::unlink(temp.c_str());
      return RESULT_CONFIG_UNREADABLE;
    }
    // The rename itself reaches the disk with the directory.
    int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
      ::fsync(dfd);
      ::close(dfd);
    }
    return 0;
  } catch (const std::bad_alloc&) {
    return RESULT_OUT_OF_MEMORY;
  }
}

void RemoveStaleConfigTemps(const std::string& path) {
  if (path.empty()) return;
  std::string target;
  try {
    target = ConfigTarget(path);
  } catch (const std::bad_alloc&) {
    return;
  }
  size_t slash = target.rfind('/');
  std::string_view base = std::string_view(target).substr(slash == std::string::npos ? 0 : slash + 1);
  std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : target.substr(0, slash));
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) return;
  while (struct dirent* e = ::readdir(d)) {
    std::string_view name(e->d_name);
    if (name.size() != base.size() + 7 || name.substr(0, base.size()) != base || name[base.size()] != '.') continue;
    bool suffix_ok = true;
    for (char c : name.substr(base.size() + 1)) suffix_ok = suffix_ok && std::isalnum(static_cast<unsigned char>(c));
    struct stat st;
    if (!suffix_ok || ::fstatat(::dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) continue;
    ::unlinkat(::dirfd(d), e->d_name, 0);
  }
  ::closedir(d);
}

}  // namespace tervane
