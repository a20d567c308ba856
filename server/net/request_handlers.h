// The handlers of the requests that carry a payload (request states 2 to
// 22). Each sees the request's frame and the connection's Session, never the
// transport: it reads the request payload, writes its reply payload over it,
// and returns the result and the reply payload length. Handle-based requests
// act only on handles the session opened; names are resolved by the account
// manager inside the user's home.
//
// Thread-safety: the handlers keep no state of their own; two workers may
// run them at once for different sessions. Each call touches only the given
// session and frame and the store objects, which lock for themselves.
// No heap allocation except the account record of OP_REGISTER_USER.
#ifndef TERVANE_SERVER_NET_REQUEST_HANDLERS_H_
#define TERVANE_SERVER_NET_REQUEST_HANDLERS_H_

#include <cstdint>

#include "server/net/frame.h"
#include "server/net/session.h"
#include "shared/protocol/op_codes.h"
#include "shared/protocol/result.h"

namespace tervane {

class AccountManager;
class FileRegistry;

struct HandlerReply {
  Result result;
  uint32_t length = 0;  // reply payload bytes, over the request payload
};

// Largest byte count one OP_READ_FILE may ask for.
inline constexpr uint32_t kMaxReadCount = 0x10000;

class RequestHandlers {
 public:
  // Both must outlive the handlers.
  RequestHandlers(AccountManager& accounts, FileRegistry& files) : accounts_(accounts), files_(files) {}

  // Runs the handler of `stage` on the complete request in `frame` and
  // writes its log line. A payload its decoder refuses gets
  // ERROR_INVALID_PARAMETER (87); a handle not held in session.open_files
  // gets ERROR_INVALID_HANDLE (6), except for OP_CLOSE_FILE, which answers
  // 0. A stage outside 2..22 gets 87. A registration after a successful one
  // in the same session gets ERROR_ACCESS_DENIED (5); a successful login
  // sets session.logged_in; both refusals and failed logins are logged with
  // the peer's address and the name.
  HandlerReply Handle(RequestState stage, Session& session, Frame frame);

 private:
  Result ReduceUsage(uint32_t key, uint32_t bytes, uint32_t files);
  HandlerReply CreateFile(Session& s, uint8_t* p, uint32_t len);
  HandlerReply ReadFile(Session& s, uint8_t* p, uint32_t len);
  HandlerReply WriteFile(Session& s, uint8_t* p, uint32_t len);
  HandlerReply DeleteFile(Session& s, uint8_t* p, uint32_t len);
  HandlerReply GetFileSize(Session& s, uint8_t* p, uint32_t len);
  HandlerReply GetFileTime(Session& s, uint8_t* p, uint32_t len);
  HandlerReply GetFileAttributes(Session& s, uint8_t* p, uint32_t len);
  HandlerReply SetFileSize(Session& s, uint8_t* p, uint32_t len);
  HandlerReply SetFileTime(Session& s, uint8_t* p, uint32_t len);
  HandlerReply SetFileAttributes(Session& s, uint8_t* p, uint32_t len);
  HandlerReply CloseFile(Session& s, uint8_t* p, uint32_t len);
  HandlerReply CreateDirectory(Session& s, uint8_t* p, uint32_t len);
  HandlerReply RemoveDirectory(Session& s, uint8_t* p, uint32_t len);
  HandlerReply SetSparse(Session& s, uint8_t* p, uint32_t len);
  HandlerReply RegisterUser(Session& s, uint8_t* p, uint32_t len);
  HandlerReply Login(Session& s, uint8_t* p, uint32_t len);
  HandlerReply GetSpaceInfo(Session& s, uint8_t* p, uint32_t len);
  HandlerReply ListDirectory(Session& s, uint8_t* p, uint32_t len);
  HandlerReply Rename(Session& s, uint8_t* p, uint32_t len);
  HandlerReply SetSpaceInfo(Session& s, uint8_t* p, uint32_t len);

  AccountManager& accounts_;
  FileRegistry& files_;
};

}  // namespace tervane

#endif  // TERVANE_SERVER_NET_REQUEST_HANDLERS_H_
