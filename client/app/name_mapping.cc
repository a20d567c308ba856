#include "client/app/name_mapping.h"

#include <cstdint>

namespace tervane {
namespace {

// The printable characters, in the order of their private-use code points
// U+F020 .. U+F027.
constexpr std::string_view kPrintables = "\"*:<>?\\|";

// U+F000 + low as UTF-8: EF 80 80+low (low < 0x40).
void AppendPrivateUse(unsigned low, std::string* out) {
  out->push_back(static_cast<char>(0xEF));
  out->push_back(static_cast<char>(0x80));
  out->push_back(static_cast<char>(0x80 + low));
}

}  // namespace

std::string MapNameToRemote(std::string_view local_component) {
  std::string out;
  out.reserve(local_component.size());
  for (char ch : local_component) {
    const auto c = static_cast<unsigned char>(ch);
    const size_t printable = kPrintables.find(ch);
    if (c >= 0x01 && c <= 0x1F) {
      AppendPrivateUse(c, &out);
    } else if (printable != std::string_view::npos) {
      AppendPrivateUse(0x20 + static_cast<unsigned>(printable), &out);
    } else {
      out.push_back(ch);
    }
  }
  return out;
}

std::string MapNameToLocal(std::string_view remote_component) {
  std::string out;
  out.reserve(remote_component.size());
  for (size_t i = 0; i < remote_component.size(); ++i) {
    if (i + 2 < remote_component.size() && static_cast<unsigned char>(remote_component[i]) == 0xEF &&
        static_cast<unsigned char>(remote_component[i + 1]) == 0x80) {
      const unsigned low = static_cast<unsigned char>(remote_component[i + 2]) - 0x80u;
      if (low >= 0x01 && low <= 0x1F) {
        out.push_back(static_cast<char>(low));
        i += 2;
        continue;
      }
      if (low >= 0x20 && low < 0x20 + kPrintables.size()) {
        out.push_back(kPrintables[low - 0x20]);
        i += 2;
        continue;
      }
    }
    out.push_back(remote_component[i]);
  }
  return out;
}

}  // namespace tervane
