// The connection that listing, restore and verify work on: the server and
// account of this desk's settings, logged in as a backup run logs in, so
// that they see the copies its runs made.
#ifndef TERVANE_CLIENT_APP_COPY_SESSION_H_
#define TERVANE_CLIENT_APP_COPY_SESSION_H_

#include <cstdint>

namespace tervane {

class ClientSession;
class SessionUi;
class StatusSink;
struct SyncSettings;

// Drops any connection `session` held, connects to the settings' server on
// `port` and logs in. True when logged in; messages go to `ui` and listing
// failures to `status`, as for a backup run.
bool OpenCopySession(ClientSession* session, const SyncSettings& settings, uint16_t port, SessionUi* ui,
                     StatusSink* status);

}  // namespace tervane

#endif  // TERVANE_CLIENT_APP_COPY_SESSION_H_
