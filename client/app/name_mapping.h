// Local names the server cannot hold travel under a reversible name.
//
// The server refuses \ : * ? " < > | and control bytes in a name, since a
// Windows share could not hold them. A Linux file may carry any of them, so
// each such character of a local name component is replaced by a character
// of Unicode's private-use area, the same ones Samba's catia/fruit modules
// and macOS SMB clients use, so that a share read by those tools shows the
// names they would show:
//   0x01-0x1F -> U+F001-U+F01F
//   "  -> U+F020   *  -> U+F021   :  -> U+F022   <  -> U+F023
//   >  -> U+F024   ?  -> U+F025   \  -> U+F026   |  -> U+F027
// Everything else, UTF-8 or not, passes through unchanged byte for byte.
#ifndef TERVANE_CLIENT_APP_NAME_MAPPING_H_
#define TERVANE_CLIENT_APP_NAME_MAPPING_H_

#include <string>
#include <string_view>

namespace tervane {

// One local name component (no "/") to the name it has on the server.
std::string MapNameToRemote(std::string_view local_component);

// One name component as the server holds it back to the local name:
// the inverse of MapNameToRemote. A name that holds "/" after mapping back
// cannot be a local name; callers refuse it (it never comes from a backup).
std::string MapNameToLocal(std::string_view remote_component);

}  // namespace tervane

#endif  // TERVANE_CLIENT_APP_NAME_MAPPING_H_
