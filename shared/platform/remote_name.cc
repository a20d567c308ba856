#include "shared/platform/remote_name.h"

#include "shared/platform/win_error.h"

namespace tervane {
namespace {

bool IsForbiddenByte(unsigned char c) {
  if (c < 0x20) return true;
  switch (c) {
    case ':': case '*': case '?': case '"': case '<': case '>': case '|':
      return true;
    default:
      return false;
  }
}

}  // namespace

uint32_t CheckRemoteName(std::string_view name, size_t max_length) {
  if (name.size() > max_length) return ERROR_FILENAME_EXCED_RANGE;
  uint32_t result = 0;
  size_t start = 0;
  while (start <= name.size()) {
    size_t end = start;
    while (end < name.size() && !IsRemoteSeparator(name[end])) ++end;
    std::string_view component = name.substr(start, end - start);
    if (component == "..") return ERROR_ACCESS_DENIED;
    for (unsigned char c : component) {
      if (IsForbiddenByte(c)) result = ERROR_INVALID_NAME;
    }
    start = end + 1;
  }
  return result;
}

}  // namespace tervane
