#include "client/app/client_session.h"

#include <cstdio>
#include <memory>

#include "client/app/md5.h"
#include "client/app/result_words.h"
#include "client/app/session_ui.h"
#include "client/app/sync_engine.h"
#include "client/net/list_task.h"
#include "client/net/remote_path_ops.h"
#include "client/net/remote_session.h"
#include "client/net/status_sink.h"
#include "shared/platform/text_codec.h"
#include "shared/platform/win_error.h"
#include "shared/protocol/result_codes.h"

namespace tervane {

ClientSession::ClientSession() { KOVA_NetStartup(); }

ClientSession::~ClientSession() {
  Disconnect();
  KOVA_NetCleanup();
}

Result ClientSession::Connect(const std::string& address, uint16_t port) {
  Disconnect();
  RemoteSession* session = nullptr;
  const Result result = KOVA_Connect(address.c_str(), &session, port);
  if (result.ok()) {
    connection_ = session;
    if (reply_timeout_ms_ != 0) KOVA_SetReplyTimeout(session, reply_timeout_ms_);
  }
  return result;
}

void ClientSession::Disconnect() {
  if (connection_ != nullptr) {
    KOVA_Disconnect(connection_);
    connection_ = nullptr;
  }
}

Result ClientSession::Register(const char* user, const char* password) {
  if (user == nullptr || password == nullptr) return 1;
  if (connection_ == nullptr) return WSAENOTCONN;
  return KOVA_RegisterUser(connection_, user, PasswordDigest(password));
}

Result ClientSession::Login(const char* user, const char* password) {
  if (user == nullptr || password == nullptr) return 1;
  if (connection_ == nullptr) return WSAENOTCONN;
  const Result result = KOVA_Login(connection_, user, PasswordDigest(password));
  if (!result.ok()) return result;
  user_name_ = user;
  current_directory_ = "\\";
  return RefreshSpace();
}

Result ClientSession::RefreshSpace() {
  if (connection_ == nullptr) return WSAENOTCONN;
  uint32_t space = 0;
  uint32_t files = 0;
  const Result result = KOVA_GetSpaceInfo(connection_, &space, &files);
  if (result.ok()) {
    space_left_ = space;
    files_left_ = files;
  }
  return result;
}

Result ClientSession::List(StatusSink* status, const std::string& remote_dir) {
  if (connection_ == nullptr) return 1;
  auto task = std::make_unique<ListTask>();
  if (!Utf8ToWire(remote_dir, &task->directory_name)) return 1;
  task->status = status;
  task->session = connection_;
  RunListTask(std::move(task));
  // The helper shows its own failures and returns nothing more; the home is
  // the one directory whose name is also its tracked path.
  if (remote_dir == "\\") current_directory_ = "\\";
  return 0;
}

Result ClientSession::Delete(const std::string& name, bool directory) {
  if (connection_ == nullptr) return WSAENOTCONN;
  std::string wire;
  if (!Utf8ToWire(name, &wire)) return ERROR_INVALID_NAME;
  const Result result = directory ? KOVA_RemoveDirectory(connection_, wire) : KOVA_DeleteFile(connection_, wire);
  if (!result.ok()) return result;
  return RefreshSpace();
}

Result ClientSession::UploadFile(std::string_view day, const std::string& local_path, bool create_only) {
  return tervane::UploadFile(this, day, local_path, create_only);
}

std::string FormatIpv4(uint32_t a) {
  char text[16];
  std::snprintf(text, sizeof(text), "%u.%u.%u.%u", a >> 24, (a >> 16) & 255, (a >> 8) & 255, a & 255);
  return text;
}

void ReportConnectFailure(SessionUi* ui, const std::string& address, Result code) {
  char text[160];
  std::snprintf(text, sizeof(text), "连接文件服务器失败[%s-Error:%u]", address.c_str(), code.code());
  ui->ShowMessage(kProgramName, text);
  ui->SetCaption(std::string("[") + kProgramName + "]--配置的文件服务器IP无法连接");
}

Result LogIn(ClientSession* session, const std::string& user, SessionUi* ui, StatusSink* status) {
  auto refused = [&](const char* what, Result code) {
    if (status != nullptr) status->ShowStatus(std::string(what) + "[" + user + "]: " + DescribeResult(code) + "\n");
    return code;
  };
  Result login = session->Login(user.c_str(), kSyncPassword);
  // A run started right after another one of this desk (a restore after a
  // backup) may log in before the server has seen the earlier connection
  // close. The server answers a login after a refused one no sooner than a
  // second later, so two more tries give it about two seconds.
  for (int retry = 0; retry < 2 && login == RESULT_ALREADY_LOGGED_IN; ++retry) {
    login = session->Login(user.c_str(), kSyncPassword);
  }
  if (login.ok()) {
    // The listing shows its own failures; the login stands either way.
    static_cast<void>(session->List(status, "\\"));
    return 0;
  }
  if (login != RESULT_NOT_LOGGED_IN) return refused("登录失败", login);  // e.g. wrong password, in use
  const Result registered = session->Register(user.c_str(), kSyncPassword);
  if (!registered.ok()) return refused("注册用户失败", registered);
  const Result second = session->Login(user.c_str(), kSyncPassword);
  if (!second.ok()) {
    static_cast<void>(refused("登录失败", second));  // shown; `second` is the result
    char text[160];
    std::snprintf(text, sizeof(text), "连接备份服务器失败[Error:%u-----注册用户名后登陆失败]", second.code());
    ui->ShowMessage(kProgramName, text);
    ui->ExitProcess(0);
    return second;  // the UI chose not to end the process
  }
  static_cast<void>(session->List(status, "\\"));  // shows its own failures
  return 0;
}

bool ConnectAndLogin(ClientSession* session, uint32_t server_address, uint16_t port, SessionUi* ui,
                     StatusSink* status, const std::string& user) {
  const std::string address = FormatIpv4(server_address);
  const Result connected = session->Connect(address, port);
  if (!connected.ok()) {
    ReportConnectFailure(ui, address, connected);
    return false;
  }
  return LogIn(session, user, ui, status).ok();
}

}  // namespace tervane
