#include "server/store/store_path.h"

#include <cstring>

#include "shared/platform/remote_name.h"
#include "shared/platform/text_codec.h"
#include "shared/platform/win_error.h"

namespace tervane {

Result StorePath::SetHome(std::string_view home) {
  while (home.size() > 1 && home.back() == '/') home.remove_suffix(1);
  if (home.empty() || home[0] != '/' || home == "/") return ERROR_INVALID_PARAMETER;
  if (home.size() + 1 > sizeof full_) return ERROR_FILENAME_EXCED_RANGE;
  if (std::memchr(home.data(), '\0', home.size()) != nullptr) return ERROR_INVALID_NAME;
  std::memcpy(full_, home.data(), home.size());
  full_[home.size()] = '\0';
  home_len_ = static_cast<uint16_t>(home.size());
  len_ = home_len_;
  return 0;
}

Result StorePath::Append(std::string_view name) {
  if (!has_home()) return ERROR_INVALID_PARAMETER;
  // Checked whole before anything is copied, so a refused name leaves the
  // path as it was.
  uint32_t check = CheckRemoteName(name, sizeof full_ - 1);
  if (check != 0) return check;
  size_t len = len_;
  size_t start = 0;
  while (start <= name.size()) {
    size_t end = start;
    while (end < name.size() && !IsRemoteSeparator(name[end])) ++end;
    std::string_view component = name.substr(start, end - start);
    start = end + 1;
    if (component.empty() || component == ".") continue;
    if (len + 1 + component.size() + 1 > sizeof full_) {
      full_[len_] = '\0';
      return ERROR_FILENAME_EXCED_RANGE;
    }
    full_[len++] = '/';
    std::memcpy(full_ + len, component.data(), component.size());
    len += component.size();
  }
  full_[len] = '\0';
  len_ = static_cast<uint16_t>(len);
  return 0;
}

Result StorePath::AppendWire(std::string_view wire_name) {
  char utf8[kStorePathCapacity];
  size_t n = 0;
  Result r = WireToUtf8(wire_name, utf8, sizeof utf8, &n);
  if (r != 0) return r;
  return Append(std::string_view(utf8, n));
}

void StorePath::RemoveLast() {
  if (is_home()) return;
  size_t i = len_;
  while (i > home_len_ && full_[i - 1] != '/') --i;
  // i - 1 is the '/' in front of the last component.
  len_ = static_cast<uint16_t>(i - 1);
  full_[len_] = '\0';
}

void StorePath::Clear() {
  full_[0] = '\0';
  home_len_ = 0;
  len_ = 0;
}

std::string_view StorePath::leaf() const {
  if (is_home()) return std::string_view();
  size_t i = len_;
  while (full_[i - 1] != '/') --i;
  return std::string_view(full_ + i, len_ - i);
}

}  // namespace tervane
