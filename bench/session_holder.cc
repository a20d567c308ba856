#include "bench/session_holder.h"

#include "client/net/remote_path_ops.h"
#include "client/net/remote_session.h"

namespace tervane::bench {

SessionHolder::~SessionHolder() { CloseAll(); }

uint32_t SessionHolder::Open(const std::string& address, uint16_t port, uint32_t count) {
  for (uint32_t i = 0; i < count; ++i) {
    RemoteSession* session = nullptr;
    uint32_t result = KOVA_Connect(address.c_str(), &session, port);
    if (result != 0) return result;
    sessions_.push_back(session);
    result = KOVA_Heartbeat(session);
    if (result != 0) return result;
  }
  return 0;
}

uint32_t SessionHolder::Heartbeat() {
  for (RemoteSession* session : sessions_) {
    uint32_t result = KOVA_Heartbeat(session);
    if (result != 0) return result;
  }
  return 0;
}

void SessionHolder::CloseAll() {
  for (RemoteSession* session : sessions_) KOVA_Disconnect(session);
  sessions_.clear();
}

}  // namespace tervane::bench
