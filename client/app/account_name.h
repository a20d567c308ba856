// The account a workstation backs up into: one per workstation, so that two
// desks never delete each other's weekday folders.
#ifndef TERVANE_CLIENT_APP_ACCOUNT_NAME_H_
#define TERVANE_CLIENT_APP_ACCOUNT_NAME_H_

#include <cstddef>
#include <string>
#include <string_view>

namespace tervane {

// The longest account name the server registers, in bytes on the wire.
inline constexpr size_t kMaxAccountNameWire = 64;

// An account name made from a host name: every character the server refuses
// in a registration name (\ / : * ? " < > |, control bytes, bytes that are
// not UTF-8) becomes "_", "." and ".." become underscores too, and the name
// is cut at a character boundary so that it takes at most 64 bytes on the
// wire. "sync" when nothing is left.
std::string AccountNameFromHost(std::string_view host_name);

// The account of this workstation: `configured` (the settings' USER value)
// when it is not empty, else AccountNameFromHost of the host name.
std::string AccountName(const std::string& configured);

}  // namespace tervane

#endif  // TERVANE_CLIENT_APP_ACCOUNT_NAME_H_
