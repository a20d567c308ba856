// The client's connection to the server with its login state, and the
// automatic login with the workstation's account.
#ifndef TERVANE_CLIENT_APP_CLIENT_SESSION_H_
#define TERVANE_CLIENT_APP_CLIENT_SESSION_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "shared/protocol/op_codes.h"
#include "shared/protocol/result.h"

namespace tervane {

struct RemoteSession;
class SessionUi;
class StatusSink;

// The program's display name: caption of its message boxes and windows.
inline constexpr char kProgramName[] = "Ostrova";
// The account of older clients, and of a workstation whose host name gives
// no usable name; registered on first use like any account.
inline constexpr char kSyncUserName[] = "sync";
// The one password of every workstation's account.
inline constexpr char kSyncPassword[] = "tvbk";

// Closed (no connection) -> connected (Connect) -> logged in (Login);
// Disconnect returns to closed. Not thread-safe: it serves one run at a time
// (the sync engine's run lock sees to that); single requests on its
// connection are serialised by the connection's own lock.
class ClientSession {
 public:
  ClientSession();
  ~ClientSession();  // disconnects

  ClientSession(const ClientSession&) = delete;
  ClientSession& operator=(const ClientSession&) = delete;

  // Opens a connection to `address` (dotted IPv4 text) on `port`, dropping
  // any connection held before. The result of KOVA_Connect.
  Result Connect(const std::string& address, uint16_t port = kDefaultPort);

  // How long any one wait for reply bytes may last on the connections opened
  // from now on, in milliseconds; 0 keeps the library's default. A server
  // that stops answering then fails the run instead of holding it.
  void SetReplyTimeout(uint32_t timeout_ms) { reply_timeout_ms_ = timeout_ms; }

  // Closes the connection, if any; cannot fail.
  void Disconnect();

  // 1 when either argument is null; else the server's result for the user
  // name and the digest of `password`. Register does not log in.
  Result Register(const char* user, const char* password);
  // On success also records the user name, sets the current remote
  // directory to "\" and returns the result of RefreshSpace.
  Result Login(const char* user, const char* password);

  // Asks the server for space left and files left and keeps them.
  Result RefreshSpace();

  // Moves the account's current remote directory to `remote_dir` (UTF-8;
  // "\" is the home) and collects its listing; failures are reported on
  // `status`. 1 when there is no connection or the name cannot be sent,
  // otherwise 0.
  Result List(StatusSink* status, const std::string& remote_dir);

  // Deletes the remote file `name` (UTF-8, relative to the current remote
  // directory), or with `directory` set the directory with everything under
  // it. On success the result of RefreshSpace.
  Result Delete(const std::string& name, bool directory);

  // Uploads one local file (or, with `create_only`, sends the directory
  // marker "<dir>|") below the weekday folder `day`. See UploadFile in
  // client/app/sync_engine.h.
  Result UploadFile(std::string_view day, const std::string& local_path, bool create_only);

  // The open connection, or nullptr. Owned by the session.
  RemoteSession* connection() const { return connection_; }
  const std::string& user_name() const { return user_name_; }
  const std::string& current_directory() const { return current_directory_; }
  uint32_t space_left() const { return space_left_; }
  uint32_t files_left() const { return files_left_; }

 private:
  RemoteSession* connection_ = nullptr;
  std::string user_name_;
  std::string current_directory_;
  uint32_t space_left_ = 0;
  uint32_t files_left_ = 0;
  uint32_t reply_timeout_ms_ = 0;
};

// Opens `session` to the server at `server_address` (IPv4, host byte order,
// first octet in the high byte) on `port` and logs in as `user` with the
// fixed password, registering the account when the server does not know it;
// then lists "\" so that the account stands at the top of its tree. True
// when logged in. A failed connect is shown with ReportConnectFailure; a
// refused login or registration as LogIn shows it. The caller drops any
// previous connection first.
bool ConnectAndLogin(ClientSession* session, uint32_t server_address, uint16_t port, SessionUi* ui,
                     StatusSink* status, const std::string& user = kSyncUserName);

// The message and caption of a connect that failed with `code`.
void ReportConnectFailure(SessionUi* ui, const std::string& address, Result code);

// Logs the connected `session` in as `user`, registering the account on
// 0x3501, then lists "\". 0 when logged in, else the refusing code: a
// refused login or registration is shown on `status` as
// "登录失败[user]: words (code)" or "注册用户失败[user]: ..."; a login that
// fails right after a registration also shows its message and asks `ui` to
// end the process with 0.
Result LogIn(ClientSession* session, const std::string& user, SessionUi* ui, StatusSink* status);

// "a.b.c.d" for an IPv4 address in host byte order.
std::string FormatIpv4(uint32_t host_order_address);

}  // namespace tervane

#endif  // TERVANE_CLIENT_APP_CLIENT_SESSION_H_
