// Moving the account's current remote directory and collecting its listing.
#ifndef TERVANE_CLIENT_NET_REMOTE_DIRECTORY_H_
#define TERVANE_CLIENT_NET_REMOTE_DIRECTORY_H_

#include <cstdint>
#include <string_view>

#include "client/net/remote_session.h"
#include "shared/protocol/result.h"

namespace tervane {

// Moves the current directory to `name` ("\" the home, a child's name enters
// it, the parent's name goes back up; wire text) and collects the listing:
// `buffer` receives the chunks back to back, each an 8-byte ListingHeader
// followed by its ListingRecords (shared/protocol/payloads.h decodes them),
// and *size (in: the buffer's size) receives the bytes used.
//
// Results: 0; 0x3530 for a missing directory (buffer untouched); 14
// (ERROR_OUTOFMEMORY) when the listing does not fit, with *size set to the
// bytes the whole listing needs (chunks that did fit are in the buffer); the
// results of remote_session.h otherwise. An empty directory returns 0 with
// the buffer and *size unchanged. Holds the session lock across all chunks.
// `buffer` may be null only when *size is 0.
Result KOVA_SetCurDirectory(RemoteSession* session, std::string_view name, uint8_t* buffer, uint32_t* size);

}  // namespace tervane

#endif  // TERVANE_CLIENT_NET_REMOTE_DIRECTORY_H_
