// The client's settings file: server address, daily start time and the
// directories to back up, in one section of an initialisation file beside
// the executable.
//
//   [BK_CFG_INIF]
//   IP=192.168.1.20
//   BEGIN_TM=2024-05-06 12:30:00
//   BK_DIRS=/home/ann/docs|/srv/data|
//   USER=desk-ann                 (optional: the account; default from the host name)
//
// Text is UTF-8. Section and key names are matched without regard to case;
// keys are written in the order above and nothing else is kept.
#ifndef TERVANE_CLIENT_APP_SETTINGS_H_
#define TERVANE_CLIENT_APP_SETTINGS_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "shared/protocol/result.h"

namespace tervane {

inline constexpr char kSettingsFileName[] = "BK_CLIENT_CFG.ini";
inline constexpr char kSettingsSection[] = "BK_CFG_INIF";

// Read buffers of the three values, terminator included: longer values are
// cut to one byte less.
inline constexpr size_t kIpValueBuffer = 16;
inline constexpr size_t kBeginTimeValueBuffer = 260;
inline constexpr size_t kDirsValueBuffer = 1024;
inline constexpr size_t kUserValueBuffer = 260;

// What an IP value that is missing or not a dotted IPv4 address loads as.
inline constexpr uint32_t kInvalidAddress = 0xFFFFFFFFu;

// A date and time of day. Only hour, minute and second matter to a run; the
// date is kept so that it reads back as it was written.
struct StartTime {
  int year = 2000;
  int month = 1;   // 1..12
  int day = 1;     // 1..31
  int hour = 0;    // 0..23
  int minute = 0;  // 0..59
  int second = 0;  // 0..59
};

// A plain record; copy it freely.
struct SyncSettings {
  uint32_t server_address = 0;  // IPv4 in host byte order (first octet in the high byte)
  StartTime start_time;
  bool start_time_valid = true;  // false when BEGIN_TM could not be read; start_time kept its old value
  std::vector<std::string> directories;  // absolute local paths, in list order
  std::string user;  // USER: the account to back up into; empty when the file has none
};

// The settings file beside the running executable, where a copy unpacked
// into a folder of its own keeps it. When that folder is not writable and
// holds no settings file (an installed program in /usr/bin), the per-user
// file $XDG_CONFIG_HOME/tervane/BK_CLIENT_CFG.ini, or
// $HOME/.config/tervane/BK_CLIENT_CFG.ini, instead; its folder is created
// when missing.
std::string DefaultSettingsPath();
// Creates the folders above `settings_path` that are missing.
void CreateSettingsFolder(const std::string& settings_path);
// The rule above for an executable folder `exe_dir` (ending in '/').
std::string SettingsPathFor(const std::string& exe_dir, const char* xdg_config_home, const char* home);

// Loads `path` into *settings, following these rules:
//  - IP: the first 15 bytes, as a dotted IPv4 address; empty or malformed
//    gives kInvalidAddress.
//  - BEGIN_TM: the first 259 bytes, "YYYY-MM-DD HH:MM:SS" or "YYYY-MM-DD"
//    (midnight); anything else sets start_time_valid to false and leaves
//    start_time as the caller had it.
//  - BK_DIRS: the first 1023 bytes; each entry ends with "|"; a piece
//    without its "|" is ignored, and an entry of fewer than 2 bytes ends the
//    list. directories is replaced.
//  - USER: the first 259 bytes; empty when missing.
// A missing key reads as empty text. Returns 0, or ERROR_FILE_NOT_FOUND (2)
// / another file error when the file cannot be read (nothing is changed).
// Thread-safe (touches only its arguments and the file).
Result LoadSettings(const std::string& path, SyncSettings* settings);

// Parses the text of a settings file as LoadSettings does.
void ParseSettingsText(std::string_view text, SyncSettings* settings);

// Writes the whole file anew (USER only when settings.user is not empty): a temporary file beside it, flushed to disk,
// then renamed over `path`, so a crash leaves the old file or the new one,
// never none. Returns 0 when written and every directory will load back;
// ERROR_INVALID_NAME (123) when some entry could not be stored (it holds "|"
// or a line break, or is shorter than 2 bytes: such an entry is left out,
// the rest is written); ERROR_FILENAME_EXCED_RANGE (206) when the written
// BK_DIRS value is longer than 1023 bytes, so that entries past that point
// will not load back; a file error (e.g. ERROR_ACCESS_DENIED) when nothing
// could be written, the old file then stays as it was.
Result SaveSettings(const std::string& path, const SyncSettings& settings);

// The text SaveSettings writes (entries that cannot be stored left out).
std::string FormatSettingsText(const SyncSettings& settings);

// True when `directory` can be stored in BK_DIRS and load back unchanged.
bool IsStorableDirectory(std::string_view directory);

// "YYYY-MM-DD HH:MM:SS", and its parser (which also takes "YYYY-MM-DD").
std::string FormatStartTime(const StartTime& t);
bool ParseStartTime(std::string_view text, StartTime* t);

}  // namespace tervane

#endif  // TERVANE_CLIENT_APP_SETTINGS_H_
