#include "server/store/account_manager.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "server/store/config_file.h"
#include "server/store/file_ops.h"
#include "server/store/share_root.h"
#include "shared/platform/remote_name.h"
#include "shared/platform/text_codec.h"
#include "shared/platform/win_error.h"
#include "shared/protocol/result_codes.h"

namespace tervane {
namespace {

// Start-up and registration diagnostics go to standard error; standard
// output carries the server's log.
void Diagnostic(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Diagnostic(const char* format, ...) {
  char line[512];
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  if (n <= 0) return;
  size_t len = static_cast<size_t>(n) < sizeof line ? static_cast<size_t>(n) : sizeof line - 1;
  ssize_t ignored = ::write(STDERR_FILENO, line, len);
  (void)ignored;
}

// The current directory's last component and the one before it (the same
// one when there is only one; both empty at the home), and where the parent
// component ends.
struct CurrentParts {
  std::string_view last;
  std::string_view parent;
  size_t parent_end = 0;
};

CurrentParts SplitCurrent(const char* cur) {
  CurrentParts parts;
  std::string_view c(cur);
  if (c.empty()) return parts;
  size_t slash = c.rfind('/');
  if (slash == std::string_view::npos) {
    parts.last = c;
    parts.parent = c;
    parts.parent_end = c.size();
    return parts;
  }
  parts.last = c.substr(slash + 1);
  size_t before = c.rfind('/', slash - 1);
  size_t start = before == std::string_view::npos ? 0 : before + 1;
  if (slash == 0) start = 0;
  parts.parent = c.substr(start, slash - start);
  parts.parent_end = slash;
  return parts;
}

// What a request creates stays nameable on the wire: its path relative to
// the home is at most 259 bytes as the client would send it.
uint32_t CheckCreatable(const StorePath& path) {
  char wire[kMaxPath];
  return Utf8ToWire(std::string_view(path.relative(), path.relative_size()), wire, sizeof wire) == 0
             ? 0
             : ERROR_FILENAME_EXCED_RANGE;
}

void CopyBounded(char* dst, size_t cap, std::string_view src) {
  size_t n = src.size() < cap - 1 ? src.size() : cap - 1;
  std::memcpy(dst, src.data(), n);
  dst[n] = '\0';
}

}  // namespace

Result AccountManager::LoadAccounts(const std::string& config_path, uint32_t* max_connections) {
  RemoveStaleConfigTemps(config_path);
  ServerConfig config;
  Result r = ReadConfig(config_path, &config);
  MutexLock guard(&mu_);
  load_problem_.clear();
  if (r == RESULT_CONFIG_MALFORMED) {
    load_problem_ = "line " + std::to_string(config.error_line) + ": " + config.error;
  }
  if (r != 0) return r;
  config_path_ = config_path;
  share_root_ = config.share_root;
  max_space_bytes_ = config.max_space_mb << 20;  // kept in 32 bits, as the limit always was
  max_file_count_ = config.max_file_count;
  max_connections_ = config.max_connections;
  table_ = std::move(config.accounts);
  Diagnostic("%u\n", config.max_space_mb);

  r = PrepareShareRoot(share_root_, &load_problem_);
  if (r != 0) {
    table_.clear();
    return r;
  }
  for (const auto& a : table_) {
    std::string home = share_root_ + a->name;
    Diagnostic("%s\n", home.c_str());
    struct stat st;
    if (::lstat(home.c_str(), &st) != 0) ::mkdir(home.c_str(), 0700);
  }
  *max_connections = max_connections_;
  return 0;
}

void AccountManager::ReleaseAccounts() {
  MutexLock guard(&mu_);
  table_.clear();
}

Result AccountManager::HomeLocked(const UserAccount& a, StorePath* out) const {
  char home[kStorePathCapacity];
  size_t root_len = share_root_.size();
  size_t name_len = std::strlen(a.name);
  if (root_len + name_len + 1 > sizeof home) return ERROR_FILENAME_EXCED_RANGE;
  std::memcpy(home, share_root_.data(), root_len);
  std::memcpy(home + root_len, a.name, name_len);
  return out->SetHome(std::string_view(home, root_len + name_len));
}

UserAccount* AccountManager::FindBoundLocked(uint32_t socket) {
  if (socket == 0) return nullptr;
  for (const auto& a : table_) {
    if (a->bound_socket == socket) return a.get();
  }
  return nullptr;
}

bool AccountManager::UserExists(std::string_view wire_name) {
  char name[kUserNameField];
  size_t len = 0;
  if (WireToUtf8(wire_name, name, sizeof name, &len) != 0) return false;
  MutexLock guard(&mu_);
  for (const auto& a : table_) {
    if (EqualIgnoringAsciiCase(a->name, std::string_view(name, len))) return true;
  }
  return false;
}

int AccountManager::AddUser(std::unique_ptr<UserAccount> record, StorePath* existing_home) {
  if (!record) return 0;
  MutexLock guard(&mu_);
  for (const auto& a : table_) {
    if (EqualIgnoringAsciiCase(a->name, record->name)) return 0;
  }
  StorePath home;
  if (share_root_.empty() || home.SetHome(share_root_) != 0 || home.Append(record->name) != 0) return 0;
  // Whatever is at the home's place (a removed user's copies, a home kept
  // from an older Config.cfg, a link) belongs to someone: it is never
  // deleted, and the name is refused.
  struct stat st;
  if (::lstat(home.full(), &st) == 0 || errno != ENOENT) {
    if (existing_home != nullptr) *existing_home = home;
    return 0;
  }
  const char* name = record->name;
  try {
    table_.push_back(std::move(record));
  } catch (const std::bad_alloc&) {
    return 0;
  }
  Result r = CreateDirectoryPath(home);  // the home itself: 183 once made
  if (r != 0 && r != ERROR_ALREADY_EXISTS) Diagnostic("Creating %s failed: %u\n", home.full(), r.code());
  r = WriteConfig(config_path_, share_root_, table_);
  if (r != 0) Diagnostic("Rewriting %s for [%s] failed: %u\n", config_path_.c_str(), name, r.code());
  return 1;
}

Result AccountManager::RegisterUser(std::string_view wire_name, std::string_view wire_password,
                                      StorePath* existing_home) {
  std::unique_ptr<UserAccount> record;
  Result r = NewUserRecord(wire_name, wire_password, &record);
  if (r != 0) return r;
  if (UserExists(wire_name)) return RESULT_USER_EXISTS;
  StorePath home;
  if (AddUser(std::move(record), &home) == 0 && home.has_home()) {
    if (existing_home != nullptr) *existing_home = home;
    return RESULT_USER_EXISTS;
  }
  return 0;
}

Result AccountManager::Login(std::string_view wire_name, std::string_view wire_password, uint32_t socket) {
  if (wire_name.data() == nullptr) return 1;
  if (wire_password.data() == nullptr) return 2;
  if (socket == 0) return ERROR_INVALID_PARAMETER;
  char name[kUserNameField];
  size_t name_len = 0;
  if (WireToUtf8(wire_name, name, sizeof name, &name_len) != 0) return RESULT_NOT_LOGGED_IN;
  char password[kPasswordField * 2];
  size_t password_len = 0;
  bool password_ok = WireToUtf8(wire_password, password, sizeof password, &password_len) == 0;
  MutexLock guard(&mu_);
  for (const auto& a : table_) {
    if (std::string_view(a->name) != std::string_view(name, name_len)) continue;
    if (!password_ok || std::string_view(a->password) != std::string_view(password, password_len)) {
      return RESULT_WRONG_PASSWORD;
    }
    if (a->bound_socket != 0) return RESULT_ALREADY_LOGGED_IN;
    // One connection is bound to one account: a second login on it moves
    // the binding.
    for (const auto& other : table_) {
      if (other->bound_socket == socket) other->bound_socket = 0;
    }
    a->bound_socket = socket;
    return 0;
  }
  return RESULT_NOT_LOGGED_IN;
}

void AccountManager::Logout(uint32_t socket) {
  if (socket == 0) return;
  MutexLock guard(&mu_);
  for (const auto& a : table_) {
    if (a->bound_socket != socket) continue;
    a->bound_socket = 0;
    if (a->listing_cursor) a->listing_cursor->Close();
  }
}

Result AccountManager::GetUserPath(uint32_t socket, StorePath* out) {
  MutexLock guard(&mu_);
  UserAccount* a = FindBoundLocked(socket);
  if (a == nullptr) return RESULT_NOT_LOGGED_IN;
  StorePath path;
  Result r = HomeLocked(*a, &path);
  if (r == 0) r = path.Append(a->current_directory);
  if (r == 0) *out = path;
  return r;
}

Result AccountManager::ComposeUserPath(uint32_t socket, std::string_view wire_name, StorePath* out,
                                         bool creates) {
  StorePath path;
  Result r = GetUserPath(socket, &path);
  if (r != 0) return r;
  r = path.AppendWire(wire_name);
  if (r == 0 && creates) r = CheckCreatable(path);
  if (r == 0) *out = path;
  return r;
}

Result AccountManager::ResolveListingPath(uint32_t socket, std::string_view wire_name, StorePath* directory,
                                            char* resume_name, std::unique_ptr<ListingCursor>* cursor) {
  MutexLock guard(&mu_);
  UserAccount* a = FindBoundLocked(socket);
  if (a == nullptr) return RESULT_NOT_LOGGED_IN;
  char name_buf[kStorePathCapacity];
  size_t name_len = 0;
  Result r = WireToUtf8(wire_name, name_buf, sizeof name_buf, &name_len);
  if (r != 0) return r;
  std::string_view name(name_buf, name_len);
  StorePath path;
  r = HomeLocked(*a, &path);
  if (r != 0) return r;
  if (name != "\\") {
    CurrentParts parts = SplitCurrent(a->current_directory);
    if (EqualIgnoringAsciiCase(name, parts.last)) {
      r = path.Append(a->current_directory);
    } else if (EqualIgnoringAsciiCase(name, parts.parent)) {
      r = path.Append(std::string_view(a->current_directory, parts.parent_end));
    } else {
      r = path.Append(a->current_directory);
      if (r == 0) r = path.Append(name);
      if (r == 0) {
        Result found = PathExists(path);  // 5 for a link: never listed through
        if (found != 0) r = found == ERROR_ACCESS_DENIED ? found : RESULT_NO_SUCH_DIRECTORY;
      }
    }
    if (r != 0) return r;
  }
  *directory = path;
  if (std::strcmp(a->resume_directory, path.relative()) == 0) {
    CopyBounded(resume_name, kMaxPath, a->resume_name);
  } else {
    resume_name[0] = '\0';
  }
  if (cursor != nullptr) {
    if (!a->listing_cursor) a->listing_cursor.reset(new (std::nothrow) ListingCursor());
    *cursor = std::move(a->listing_cursor);
  }
  return 0;
}

Result AccountManager::SaveListingResume(uint32_t socket, const StorePath& directory, const char* resume_name,
                                           std::unique_ptr<ListingCursor> cursor) {
  if (resume_name == nullptr) return RESULT_NO_RESUME_NAME;
  MutexLock guard(&mu_);
  UserAccount* a = FindBoundLocked(socket);
  if (a == nullptr) return RESULT_NOT_LOGGED_IN;
  if (cursor) a->listing_cursor = std::move(cursor);
  CopyBounded(a->resume_name, sizeof a->resume_name, resume_name);
  CopyBounded(a->resume_directory, sizeof a->resume_directory, directory.relative());
  return 0;
}

Result AccountManager::ChangeCurrentDirectory(uint32_t socket, std::string_view wire_name) {
  MutexLock guard(&mu_);
  UserAccount* a = FindBoundLocked(socket);
  if (a == nullptr) return RESULT_NOT_LOGGED_IN;
  char name_buf[kStorePathCapacity];
  size_t name_len = 0;
  Result r = WireToUtf8(wire_name, name_buf, sizeof name_buf, &name_len);
  if (r != 0) return r;
  std::string_view name(name_buf, name_len);
  if (name == "\\") {
    a->current_directory[0] = '\0';
    return 0;
  }
  CurrentParts parts = SplitCurrent(a->current_directory);
  if (EqualIgnoringAsciiCase(name, parts.last)) return 0;
  if (EqualIgnoringAsciiCase(name, parts.parent)) {
    a->current_directory[parts.parent_end] = '\0';
    return 0;
  }
  StorePath path;
  r = HomeLocked(*a, &path);
  if (r == 0) r = path.Append(a->current_directory);
  if (r == 0) r = path.Append(name);
  if (r != 0) return r;
  // Only a directory becomes the current directory.
  bool is_dir = false;
  if (PathExists(path, &is_dir) != 0 || !is_dir) return RESULT_NO_SUCH_DIRECTORY;
  CopyBounded(a->current_directory, sizeof a->current_directory, path.relative());
  return 0;
}

Result AccountManager::ResolveCreatePath(uint32_t socket, std::string_view wire_path, StorePath* out,
                                           bool* has_file) {
  *has_file = false;
  MutexLock guard(&mu_);
  UserAccount* a = FindBoundLocked(socket);
  if (a == nullptr) {
    out->Clear();
    return RESULT_NOT_LOGGED_IN;
  }
  bool directory_only = !wire_path.empty() && wire_path.back() == '|';
  if (directory_only) wire_path.remove_suffix(1);
  StorePath path;
  Result r = HomeLocked(*a, &path);
  if (r == 0) r = path.AppendWire(wire_path);
  if (r == 0) r = CheckCreatable(path);
  if (r != 0) return r;
  StorePath directory = path;
  bool file = !directory_only && !path.is_home();
  if (file) directory.RemoveLast();
  // One lookup when the chain is there, as it is for all but the first file
  // of a directory; the chain is made only when it is not. A link on the way
  // is 5, never a failed creation.
  bool is_dir = false;
  Result found = PathExists(directory, &is_dir);
  if (found == ERROR_ACCESS_DENIED) {
    r = found;
  } else if (found != 0 || !is_dir) {
    r = CreateDirectoryPath(directory);
    if (r == ERROR_ALREADY_EXISTS) r = (PathExists(directory, &is_dir) == 0 && is_dir) ? 0 : 1;
    else if (r != 0 && r != ERROR_ACCESS_DENIED) r = 1;
  }
  *out = path;
  *has_file = file && r == 0;
  return r;
}

Result AccountManager::GetSpaceInfo(uint32_t socket, uint32_t* space_left, uint32_t* files_left) {
  (void)space_left;
  (void)files_left;
  MutexLock guard(&mu_);
  return FindBoundLocked(socket) ? 0 : RESULT_NOT_LOGGED_IN;
}

Result AccountManager::SetSpaceInfo(uint32_t socket, uint32_t space_left, uint32_t files_left) {
  (void)space_left;
  (void)files_left;
  MutexLock guard(&mu_);
  return FindBoundLocked(socket) ? 0 : RESULT_NOT_LOGGED_IN;
}

Result AccountManager::GetUsage(uint32_t socket, uint32_t* used_bytes, uint32_t* file_count) {
  (void)used_bytes;
  (void)file_count;
  MutexLock guard(&mu_);
  return FindBoundLocked(socket) ? 0 : RESULT_NOT_LOGGED_IN;
}

Result AccountManager::SetUsage(uint32_t socket, uint32_t used_bytes, uint32_t file_count) {
  (void)used_bytes;
  (void)file_count;
  MutexLock guard(&mu_);
  return FindBoundLocked(socket) ? 0 : RESULT_NOT_LOGGED_IN;
}

std::string AccountManager::share_root() {
  MutexLock guard(&mu_);
  return share_root_;
}

uint32_t AccountManager::max_space_bytes() {
  MutexLock guard(&mu_);
  return max_space_bytes_;
}

uint32_t AccountManager::max_file_count() {
  MutexLock guard(&mu_);
  return max_file_count_;
}

size_t AccountManager::account_count() {
  MutexLock guard(&mu_);
  return table_.size();
}

bool AccountManager::CurrentDirectoryOf(std::string_view utf8_name, std::string* out) {
  MutexLock guard(&mu_);
  for (const auto& a : table_) {
    if (std::string_view(a->name) == utf8_name) {
      *out = a->current_directory;
      return true;
    }
  }
  return false;
}

}  // namespace tervane
