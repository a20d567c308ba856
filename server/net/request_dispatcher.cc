#include "server/net/request_dispatcher.h"

#include "server/net/server_log.h"
#include "server/net/service_settings.h"
#include "shared/platform/tick.h"
#include "shared/protocol/byte_order.h"
#include "shared/protocol/frame_header.h"
#include "shared/protocol/result_codes.h"

namespace tervane {

DispatchOutcome RequestDispatcher::OnHeader(ClientContext& c) {
  c.last_activity.store(GetTickCount(), std::memory_order_relaxed);
  uint16_t code = HeaderCode(c.buffer);
  RequestState rs = MapRequestCode(code);
  if (rs != STAGE_NOT_MAPPED) {
    uint32_t length = HeaderPayloadLength(c.buffer);
    if (length > kMaxPayload) return DispatchOutcome::kRelease;
    c.stage = rs;
    c.io_kind = IO_RECEIVE;
    c.offset = kHeaderSize;
    c.remaining = length;
    return DispatchOutcome::kReceivePayload;
  }
  // Header-only requests: whatever payload the header announces is not read.
  switch (code) {
    case OP_OPEN_SESSION:
      c.session.open = true;
      StoreU32(c.payload(), GetTickCount());
      ServerLog(LogKind::kConnection, "[打开会话]\n");
      return PrepareReply(c, 0, 4);
    case OP_CLOSE_SESSION:
      c.session.open = false;
      ServerLog(LogKind::kConnection, "[关闭会话]\n");
      return PrepareReply(c, 0, 0);
    case OP_HEARTBEAT:
      ServerLog(LogKind::kRequest, "[心跳包]\n");
      return PrepareReply(c, 0, 0);
    default:
      return PrepareReply(c, 0, 0);
  }
}

DispatchOutcome RequestDispatcher::OnPayload(ClientContext& c) {
  const HandlerReply reply = handlers_.Handle(c.stage, c.session, Frame(c.buffer));
  return PrepareReply(c, reply.result, reply.length);
}

DispatchOutcome RequestDispatcher::OnReplySent(ClientContext& c) {
  c.last_activity.store(GetTickCount(), std::memory_order_relaxed);
  c.io_kind = IO_RECEIVE;
  c.stage = STAGE_HEADER;
  c.offset = 0;
  c.remaining = kHeaderSize;
  // The reply just sent is still in the buffer.
  const Result result = HeaderResult(c.buffer);
  if (HeaderCode(c.buffer) != OP_LOGIN || result.ok()) return DispatchOutcome::kReceiveHeader;
  if (++c.session.failed_logins >= kMaxFailedLogins) {
    ServerLog(LogKind::kFailure, "Login failed %d times: [%s] connection closed\n",
              static_cast<int>(c.session.failed_logins), PeerText(c.session).text);
    return DispatchOutcome::kRelease;
  }
  // An unknown name is how every workstation's first run begins (it then
  // registers and logs in again), so it costs no pause; a wrong password
  // and every other refusal do.
  return result == RESULT_NOT_LOGGED_IN ? DispatchOutcome::kReceiveHeader : DispatchOutcome::kReceiveHeaderLater;
}

DispatchOutcome RequestDispatcher::PrepareReply(ClientContext& c, Result result, uint32_t length) {
  // Error replies carry no payload, whatever a handler left in the buffer.
  if (!result.ok() || length > kMaxPayload) length = 0;
  SetReplyFields(c.buffer, result.code(), length);
  c.stage = STAGE_REPLY;
  c.io_kind = IO_SEND;
  c.offset = 0;
  c.remaining = static_cast<uint32_t>(kHeaderSize) + length;
  return DispatchOutcome::kSendReply;
}

}  // namespace tervane
