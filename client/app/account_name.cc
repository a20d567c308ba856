#include "client/app/account_name.h"

#include <unistd.h>

#include <climits>
#include <cstring>

#include "client/app/client_session.h"
#include "shared/platform/text_codec.h"

namespace tervane {
namespace {

// Length of the UTF-8 sequence starting at s[i], or 0 when it is not one.
size_t Utf8Length(std::string_view s, size_t i) {
  const unsigned char c = static_cast<unsigned char>(s[i]);
  size_t n = 0;
  if (c < 0x80) return 1;
  if ((c & 0xE0) == 0xC0 && c >= 0xC2) n = 2;
  else if ((c & 0xF0) == 0xE0) n = 3;
  else if ((c & 0xF8) == 0xF0 && c <= 0xF4) n = 4;
  else return 0;
  if (i + n > s.size()) return 0;
  for (size_t k = 1; k < n; ++k) {
    if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return 0;
  }
  return n;
}

bool Refused(unsigned char c) { return c < 0x20 || c == 0x7F || std::strchr("\\/:*?\"<>|", c) != nullptr; }

size_t WireLength(const std::string& utf8) {
  std::string wire;
  return Utf8ToWire(utf8, &wire) ? wire.size() : SIZE_MAX;
}

}  // namespace

std::string AccountNameFromHost(std::string_view host) {
  std::string name;
  for (size_t i = 0; i < host.size();) {
    const size_t n = Utf8Length(host, i);
    std::string piece;
    if (n == 0) {
      piece = "_";
      i += 1;
    } else if (n == 1) {
      piece = Refused(static_cast<unsigned char>(host[i])) ? "_" : std::string(1, host[i]);
      i += 1;
    } else {
      piece.assign(host.substr(i, n));
      i += n;
      if (WireLength(piece) == SIZE_MAX) piece = "_";  // e.g. an encoded surrogate
    }
    // Cut at a character boundary once the wire form would pass the limit.
    if (WireLength(name + piece) > kMaxAccountNameWire) break;
    name += piece;
  }
  if (name == "." || name == "..") name.assign(name.size(), '_');
  return name.empty() ? std::string(kSyncUserName) : name;
}

std::string AccountName(const std::string& configured) {
  if (!configured.empty()) return configured;
  char host[HOST_NAME_MAX + 1] = {};
  if (::gethostname(host, sizeof(host) - 1) != 0) host[0] = '\0';
  return AccountNameFromHost(host);
}

}  // namespace tervane
