// Operations on names, directories and the account of a session: one request
// and one reply each, under the session lock, through a 300-byte frame.
//
// Results as in remote_session.h; out-values are written only on success.
// Names are wire text (GB18030 bytes, no zero inside; 123 ERROR_INVALID_NAME
// otherwise) relative to the account's current remote directory; a request
// that would not fit its 300-byte frame fails with 206
// (ERROR_FILENAME_EXCED_RANGE) before anything is sent. A null session or
// out pointer gives 87 (ERROR_INVALID_PARAMETER).
#ifndef TERVANE_CLIENT_NET_REMOTE_PATH_OPS_H_
#define TERVANE_CLIENT_NET_REMOTE_PATH_OPS_H_

#include <cstdint>
#include <string_view>

#include "client/net/remote_session.h"
#include "shared/protocol/result.h"

namespace tervane {

Result KOVA_DeleteFile(RemoteSession* session, std::string_view path);
Result KOVA_GetFileAttributes(RemoteSession* session, std::string_view path, uint32_t* attributes);
Result KOVA_SetFileAttributes(RemoteSession* session, std::string_view path, uint32_t attributes);
Result KOVA_CreateDirectory(RemoteSession* session, std::string_view path);
// Removes the directory with everything under it.
Result KOVA_RemoveDirectory(RemoteSession* session, std::string_view path);

// `password_digest` is the 32 lower-case hex digits of the password's MD5.
// Registering does not log in.
Result KOVA_RegisterUser(RemoteSession* session, std::string_view user_name,
                         std::string_view password_digest);
// Binds the account to this connection.
Result KOVA_Login(RemoteSession* session, std::string_view user_name, std::string_view password_digest);

// Sends 8 zero bytes; the two values are what the server sends back.
Result KOVA_GetSpaceInfo(RemoteSession* session, uint32_t* space_left, uint32_t* files_left);
Result KOVA_SetSpaceInfo(RemoteSession* session, uint32_t space_left, uint32_t files_left);

Result KOVA_Rename(RemoteSession* session, std::string_view old_name, std::string_view new_name);

// Refreshes the server's idle timer for this connection; header only.
Result KOVA_Heartbeat(RemoteSession* session);

}  // namespace tervane

#endif  // TERVANE_CLIENT_NET_REMOTE_PATH_OPS_H_
