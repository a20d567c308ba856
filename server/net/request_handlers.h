// The handlers of the requests that carry a payload (request states 2 to
// 22). Each works on the connection's frame buffer: it reads the request
// payload from offset 28 and writes its reply payload over it, and returns
// the result code and the reply payload length. Handle-based requests act
// only on handles this connection opened; names are resolved by the account
// manager inside the user's home.
//
// Thread-safety: the handlers keep no state of their own; two workers may
// run them at once for different connections. Each call touches only the
// given connection and the store objects, which lock for themselves.
// No heap allocation except the account record of OP_REGISTER_USER.
#ifndef TERVANE_SERVER_NET_REQUEST_HANDLERS_H_
#define TERVANE_SERVER_NET_REQUEST_HANDLERS_H_

#include <cstdint>

#include "server/net/client_context.h"

namespace tervane {

class AccountManager;
class FileRegistry;

struct HandlerReply {
  uint32_t result = 0;
  uint32_t length = 0;  // reply payload bytes at offset 28
};

// Largest byte count one OP_READ_FILE may ask for.
inline constexpr uint32_t kMaxReadCount = 0x10000;

class RequestHandlers {
 public:
  // Both must outlive the handlers.
  RequestHandlers(AccountManager& accounts, FileRegistry& files) : accounts_(accounts), files_(files) {}

  // Runs the handler of `stage` on the complete request in c.buffer (its
  // payload length is the header's) and writes its log line. A payload its
  // decoder refuses gets ERROR_INVALID_PARAMETER (87); a handle not held in
  // c.open_files gets ERROR_INVALID_HANDLE (6), except for OP_CLOSE_FILE,
  // which answers 0. A stage outside 2..22 gets 87. A registration after a
  // successful one on the same connection gets ERROR_ACCESS_DENIED (5); a
  // successful login sets c.logged_in; both refusals and failed logins are
  // logged with the peer's address and the name.
  HandlerReply Handle(RequestState stage, ClientContext& c);

 private:
  uint32_t ReduceUsage(uint32_t key, uint32_t bytes, uint32_t files);
  HandlerReply CreateFile(ClientContext& c, uint32_t len);
  HandlerReply ReadFile(ClientContext& c, uint32_t len);
  HandlerReply WriteFile(ClientContext& c, uint32_t len);
  HandlerReply DeleteFile(ClientContext& c, uint32_t len);
  HandlerReply GetFileSize(ClientContext& c, uint32_t len);
  HandlerReply GetFileTime(ClientContext& c, uint32_t len);
  HandlerReply GetFileAttributes(ClientContext& c, uint32_t len);
  HandlerReply SetFileSize(ClientContext& c, uint32_t len);
  HandlerReply SetFileTime(ClientContext& c, uint32_t len);
  HandlerReply SetFileAttributes(ClientContext& c, uint32_t len);
  HandlerReply CloseFile(ClientContext& c, uint32_t len);
  HandlerReply CreateDirectory(ClientContext& c, uint32_t len);
  HandlerReply RemoveDirectory(ClientContext& c, uint32_t len);
  HandlerReply SetSparse(ClientContext& c, uint32_t len);
  HandlerReply RegisterUser(ClientContext& c, uint32_t len);
  HandlerReply Login(ClientContext& c, uint32_t len);
  HandlerReply GetSpaceInfo(ClientContext& c, uint32_t len);
  HandlerReply ListDirectory(ClientContext& c, uint32_t len);
  HandlerReply Rename(ClientContext& c, uint32_t len);
  HandlerReply SetSpaceInfo(ClientContext& c, uint32_t len);

  AccountManager& accounts_;
  FileRegistry& files_;
};

}  // namespace tervane

#endif  // TERVANE_SERVER_NET_REQUEST_HANDLERS_H_
