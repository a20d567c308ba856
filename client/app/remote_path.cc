#include "client/app/remote_path.h"

#include <cstdint>
#include <vector>

#include "client/app/name_mapping.h"
#include "shared/platform/remote_name.h"
#include "shared/platform/text_codec.h"
#include "shared/platform/win_error.h"

namespace tervane {
namespace {

constexpr const char* kWeekdays[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};

bool IsDriveLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// A component must stay one name on the server: the server splits on both
// separators and refuses what Windows could not hold.
bool IsAcceptableComponent(std::string_view c) {
  if (c == "." || c == "..") return false;
  if (c.find('\\') != std::string_view::npos) return false;
  return CheckRemoteName(c, SIZE_MAX) == 0;
}

}  // namespace

const char* WeekdayName(int tm_wday) {
  if (tm_wday < 0 || tm_wday > 6) return nullptr;
  return kWeekdays[tm_wday];
}

const char* WeekdayOfLocalDate(time_t when) {
  tm local{};
  if (::localtime_r(&when, &local) == nullptr) return kWeekdays[0];
  return WeekdayName(local.tm_wday);
}

Result MapRemoteName(std::string_view day, std::string_view local_path, std::string* remote_utf8) {
  remote_utf8->clear();
  const bool marker = !local_path.empty() && local_path.back() == '|';
  if (marker) local_path.remove_suffix(1);

  std::vector<std::string_view> parts;
  char drive = 0;
  if (local_path.size() >= 3 && IsDriveLetter(local_path[0]) && local_path[1] == ':' &&
      (local_path[2] == '\\' || local_path[2] == '/')) {
    // A drive path keeps its letter as the first folder; both separators
    // split it, as Windows takes both.
    drive = local_path[0];
    local_path.remove_prefix(3);
    size_t start = 0;
    for (size_t i = 0; i <= local_path.size(); ++i) {
      if (i == local_path.size() || local_path[i] == '\\' || local_path[i] == '/') {
        if (i > start) parts.push_back(local_path.substr(start, i - start));
        start = i + 1;
      }
    }
  } else if (!local_path.empty() && local_path.front() == '/') {
    // POSIX: only "/" separates, a backslash is part of a name (and refused below).
    size_t start = 0;
    for (size_t i = 0; i <= local_path.size(); ++i) {
      if (i == local_path.size() || local_path[i] == '/') {
        if (i > start) parts.push_back(local_path.substr(start, i - start));
        start = i + 1;
      }
    }
  } else {
    return ERROR_INVALID_NAME;
  }
  if (parts.empty() && drive == 0) return ERROR_PATH_NOT_FOUND;

  std::string out(day);
  if (drive != 0) {
    out.push_back('\\');
    out.push_back(drive);
  }
  for (std::string_view part : parts) {
    const std::string remote = MapNameToRemote(part);
    if (!IsAcceptableComponent(remote)) return ERROR_INVALID_NAME;
    out.push_back('\\');
    out.append(remote);
  }
  if (marker) out.push_back('|');
  *remote_utf8 = std::move(out);
  return 0;
}

Result MapRemoteWireName(std::string_view day, std::string_view local_path, std::string* remote_wire) {
  remote_wire->clear();
  std::string utf8;
  const Result mapped = MapRemoteName(day, local_path, &utf8);
  if (!mapped.ok()) return mapped;
  char wire[kMaxRemoteName + 1];
  size_t len = 0;
  const uint32_t converted = Utf8ToWire(utf8, wire, sizeof(wire), &len);
  if (converted != 0) return converted;
  remote_wire->assign(wire, len);
  return 0;
}

}  // namespace tervane
