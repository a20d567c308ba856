#include "client/app/copy_session.h"

#include "client/app/account_name.h"
#include "client/app/client_session.h"
#include "client/app/settings.h"

namespace tervane {

bool OpenCopySession(ClientSession* session, const SyncSettings& settings, uint16_t port, SessionUi* ui,
                     StatusSink* status) {
  session->Disconnect();
  return ConnectAndLogin(session, settings.server_address, port, ui, status, AccountName(settings.user));
}

}  // namespace tervane
