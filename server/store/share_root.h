// The share root made ready before the server serves anything, so that a
// root it cannot use stops the start with its reason instead of failing
// every upload later.
//
// Called once at start, before any worker exists.
#ifndef TERVANE_SERVER_STORE_SHARE_ROOT_H_
#define TERVANE_SERVER_STORE_SHARE_ROOT_H_

#include <cstdint>
#include <string>

#include "shared/protocol/result.h"

namespace tervane {

// Creates each missing directory of `root` (absolute, ending in '/') from
// the top, each 0700, then checks that the root is a directory
// in which the server can create a file, by creating and removing a probe
// file there. 0, or RESULT_SHARE_ROOT_UNUSABLE with *problem saying which
// path failed and why, e.g. "cannot create /srv/file/share: Not a directory".
Result PrepareShareRoot(const std::string& root, std::string* problem);

}  // namespace tervane

#endif  // TERVANE_SERVER_STORE_SHARE_ROOT_H_
