#include "client/app/settings.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include "shared/platform/remote_name.h"
#include "shared/platform/win_error.h"

namespace tervane {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

// The value of `key` in section `section`, as an initialisation-file reader
// returns it: blanks around it removed, one pair of enclosing quotes dropped,
// cut to `buffer` - 1 bytes. Empty when the key is missing.
std::string ReadValue(std::string_view text, std::string_view section, std::string_view key,
                      size_t buffer) {
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  bool in_section = false;
  while (!text.empty()) {
    const size_t eol = text.find('\n');
    std::string_view line = Trim(text.substr(0, eol));
    text = eol == std::string_view::npos ? std::string_view() : text.substr(eol + 1);
    if (line.empty() || line.front() == ';') continue;
    if (line.front() == '[') {
      const size_t close = line.find(']');
      in_section = close != std::string_view::npos && EqualIgnoringAsciiCase(Trim(line.substr(1, close - 1)), section);
      continue;
    }
    if (!in_section) continue;
    const size_t eq = line.find('=');
    if (eq == std::string_view::npos || !EqualIgnoringAsciiCase(Trim(line.substr(0, eq)), key)) continue;
    std::string_view value = Trim(line.substr(eq + 1));
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front()) {
      value = value.substr(1, value.size() - 2);
    }
    return std::string(value.substr(0, buffer - 1));
  }
  return std::string();
}

// Reads an unsigned decimal of 1..max_digits digits at *pos.
bool ReadNumber(std::string_view s, size_t* pos, size_t max_digits, int* out) {
  size_t n = 0;
  int value = 0;
  while (*pos < s.size() && n < max_digits && s[*pos] >= '0' && s[*pos] <= '9') {
    value = value * 10 + (s[*pos] - '0');
    ++*pos;
    ++n;
  }
  if (n == 0) return false;
  *out = value;
  return true;
}

bool ReadChar(std::string_view s, size_t* pos, std::string_view allowed) {
  if (*pos >= s.size() || allowed.find(s[*pos]) == std::string_view::npos) return false;
  ++*pos;
  return true;
}

int DaysInMonth(int year, int month) {
  static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month == 2 && ((year % 4 == 0 && year % 100 != 0) || year % 400 == 0)) return 29;
  return kDays[month - 1];
}

bool ParseDate(std::string_view s, size_t* pos, StartTime* t) {
  int y, m, d;
  if (!ReadNumber(s, pos, 4, &y) || !ReadChar(s, pos, "-/") || !ReadNumber(s, pos, 2, &m) ||
      !ReadChar(s, pos, "-/") || !ReadNumber(s, pos, 2, &d)) {
    return false;
  }
  if (y < 100 || m < 1 || m > 12 || d < 1 || d > DaysInMonth(y, m)) return false;
  t->year = y;
  t->month = m;
  t->day = d;
  return true;
}

bool ParseTimeOfDay(std::string_view s, size_t* pos, StartTime* t) {
  int h, mi, se;
  if (!ReadNumber(s, pos, 2, &h) || !ReadChar(s, pos, ":") || !ReadNumber(s, pos, 2, &mi) ||
      !ReadChar(s, pos, ":") || !ReadNumber(s, pos, 2, &se)) {
    return false;
  }
  if (h > 23 || mi > 59 || se > 59) return false;
  t->hour = h;
  t->minute = mi;
  t->second = se;
  return true;
}

// Entries that could not be written so that they load back.
Result CheckEntries(const SyncSettings& settings, std::string* dirs_value) {
  Result result;
  for (const std::string& dir : settings.directories) {
    if (!IsStorableDirectory(dir)) {
      result = ERROR_INVALID_NAME;
      continue;
    }
    dirs_value->append(dir);
    dirs_value->push_back('|');
  }
  return result;
}

std::atomic<unsigned> g_temp_counter{0};

Result WriteAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return WinErrorFromErrno(errno);
    }
    done += static_cast<size_t>(n);
  }
  return 0;
}

}  // namespace

std::string SettingsPathFor(const std::string& exe_dir, const char* xdg_config_home, const char* home) {
  const std::string beside = exe_dir + kSettingsFileName;
  // Beside the program, as a copy unpacked into a folder of its own keeps it.
  if (::access(beside.c_str(), F_OK) == 0 || ::access(exe_dir.c_str(), W_OK) == 0) return beside;
  // An installed program (/usr/bin) cannot keep it there: each user gets one
  // under the per-user configuration folder instead.
  if (xdg_config_home != nullptr && xdg_config_home[0] == '/') {
    return std::string(xdg_config_home) + "/tervane/" + kSettingsFileName;
  }
  if (home != nullptr && home[0] == '/') return std::string(home) + "/.config/tervane/" + kSettingsFileName;
  return beside;
}

std::string DefaultSettingsPath() {
  char exe[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", exe, sizeof(exe) - 1);
  if (n <= 0) return kSettingsFileName;
  const std::string path(exe, static_cast<size_t>(n));
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return kSettingsFileName;
  const std::string exe_dir = path.substr(0, slash + 1);
  const std::string settings = SettingsPathFor(exe_dir, std::getenv("XDG_CONFIG_HOME"), std::getenv("HOME"));
  if (settings.compare(0, exe_dir.size(), exe_dir) != 0) CreateSettingsFolder(settings);
  return settings;
}

void CreateSettingsFolder(const std::string& settings_path) {
  // An existing or uncreatable folder is left to the first save to report.
  for (size_t slash = settings_path.find('/', 1); slash != std::string::npos;
       slash = settings_path.find('/', slash + 1)) {
    ::mkdir(settings_path.substr(0, slash).c_str(), 0755);
  }
}

bool IsStorableDirectory(std::string_view directory) {
  if (directory.size() < 2) return false;  // a short entry would end the list when read back
  if (IsBlank(directory.front()) || directory.front() == '"' || directory.front() == '\'') return false;
  for (char c : directory) {
    if (c == '|' || c == '\n' || c == '\r' || c == '\0') return false;
  }
  return true;
}

std::string FormatStartTime(const StartTime& t) {
  char text[64];
  std::snprintf(text, sizeof(text), "%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour,
                t.minute, t.second);
  return text;
}

bool ParseStartTime(std::string_view text, StartTime* t) {
  text = Trim(text);
  StartTime parsed = *t;
  size_t pos = 0;
  if (text.find('-') != std::string_view::npos || text.find('/') != std::string_view::npos) {
    if (!ParseDate(text, &pos, &parsed)) return false;
    if (pos == text.size()) {
      parsed.hour = parsed.minute = parsed.second = 0;  // a date alone is midnight
      *t = parsed;
      return true;
    }
    if (!ReadChar(text, &pos, " T")) return false;
    while (pos < text.size() && text[pos] == ' ') ++pos;
  }
  if (!ParseTimeOfDay(text, &pos, &parsed) || pos != text.size()) return false;
  *t = parsed;
  return true;
}

void ParseSettingsText(std::string_view text, SyncSettings* settings) {
  const std::string ip = ReadValue(text, kSettingsSection, "IP", kIpValueBuffer);
  in_addr addr{};
  settings->server_address =
      !ip.empty() && ::inet_pton(AF_INET, ip.c_str(), &addr) == 1 ? ntohl(addr.s_addr) : kInvalidAddress;

  const std::string begin = ReadValue(text, kSettingsSection, "BEGIN_TM", kBeginTimeValueBuffer);
  settings->start_time_valid = ParseStartTime(begin, &settings->start_time);

  std::string_view dirs;
  const std::string dirs_value = ReadValue(text, kSettingsSection, "BK_DIRS", kDirsValueBuffer);
  dirs = dirs_value;
  settings->directories.clear();
  for (;;) {
    const size_t bar = dirs.find('|');
    if (bar == std::string_view::npos || bar < 2) break;
    settings->directories.emplace_back(dirs.substr(0, bar));
    dirs.remove_prefix(bar + 1);
  }
  settings->user = ReadValue(text, kSettingsSection, "USER", kUserValueBuffer);
}

Result LoadSettings(const std::string& path, SyncSettings* settings) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return WinErrorFromErrno(errno);
  std::string text;
  char chunk[4096];
  for (;;) {
    const ssize_t n = ::read(fd, chunk, sizeof(chunk));
    if (n < 0) {
      if (errno == EINTR) continue;
      const Result result = WinErrorFromErrno(errno);
      ::close(fd);
      return result;
    }
    if (n == 0) break;
    text.append(chunk, static_cast<size_t>(n));
  }
  ::close(fd);
  ParseSettingsText(text, settings);
  return 0;
}

std::string FormatSettingsText(const SyncSettings& settings) {
  std::string dirs;
  static_cast<void>(CheckEntries(settings, &dirs));  // what cannot be stored is left out
  const uint32_t a = settings.server_address;
  char ip[32];
  std::snprintf(ip, sizeof(ip), "%u.%u.%u.%u", a >> 24, (a >> 16) & 255, (a >> 8) & 255, a & 255);
  std::string text = "[";
  text += kSettingsSection;
  text += "]\nIP=";
  text += ip;
  text += "\nBEGIN_TM=";
  text += FormatStartTime(settings.start_time);
  text += "\nBK_DIRS=";
  text += dirs;
  text += "\n";
  // Written only when set, and only without a line break: a value the file
  // held is kept as it was read.
  if (!settings.user.empty() && settings.user.find_first_of("\r\n") == std::string::npos) {
    text += "USER=";
    text += settings.user;
    text += "\n";
  }
  return text;
}

Result SaveSettings(const std::string& path, const SyncSettings& settings) {
  std::string dirs;
  Result entries = CheckEntries(settings, &dirs);
  if (entries.ok() && dirs.size() > kDirsValueBuffer - 1) entries = ERROR_FILENAME_EXCED_RANGE;
  const std::string text = FormatSettingsText(settings);

  // Written beside the target and renamed over it: the old settings stay
  // until the new ones are complete on disk.
  const std::string temp = path + ".tmp." + std::to_string(::getpid()) + "." +
                           std::to_string(g_temp_counter.fetch_add(1));
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return WinErrorFromErrno(errno);
  Result result = WriteAll(fd, text);
  if (result.ok() && ::fsync(fd) != 0) result = WinErrorFromErrno(errno);
  if (::close(fd) != 0 && result.ok()) result = WinErrorFromErrno(errno);
  if (result.ok() && ::rename(temp.c_str(), path.c_str()) != 0) result = WinErrorFromErrno(errno);
  if (!result.ok()) {
    ::unlink(temp.c_str());
    return result;
  }
  // Make the rename itself durable.
  const size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  const int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    ::fsync(dfd);
    ::close(dfd);
  }
  return entries;
}

}  // namespace tervane
