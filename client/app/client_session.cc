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

uint32_t ClientSession::Connect(const std::string& address, uint16_t port) {
  Disconnect();
  RemoteSession* session = nullptr;
  const uint32_t result = KOVA_Connect(address.c_str(), &session, port);
  if (result == 0) {
    connection_ = session;
    if (reply_timeout_ms_ != 0) KOVA_SetReplyTimeout(session, reply_timeout_ms_);
  }
  return result;
}

uint32_t ClientSession::Disconnect() {
  if (connection_ != nullptr) {
    KOVA_Disconnect(connection_);
    connection_ = nullptr;
  }
  return 0;
}

uint32_t ClientSession::Register(const char* user, const char* password) {
  if (user == nullptr || password == nullptr) return 1;
  if (connection_ == nullptr) return WSAENOTCONN;
  return KOVA_RegisterUser(connection_, user, PasswordDigest(password));
}

uint32_t ClientSession::Login(const char* user, const char* password) {
  if (user == nullptr || password == nullptr) return 1;
  if (connection_ == nullptr) return WSAENOTCONN;
  const uint32_t result = KOVA_Login(connection_, user, PasswordDigest(password));
  if (result != 0) return result;
  user_name_ = user;
  current_directory_ = "\\";
  return RefreshSpace();
}

uint32_t ClientSession::RefreshSpace() {
  if (connection_ == nullptr) return WSAENOTCONN;
  uint32_t space = 0;
  uint32_t files = 0;
  const uint32_t result = KOVA_GetSpaceInfo(connection_, &space, &files);
  if (result == 0) {
    space_left_ = space;
    files_left_ = files;
  }
  return result;
}

uint32_t ClientSession::List(StatusSink* status, const std::string& remote_dir) {
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

uint32_t ClientSession::Delete(const std::string& name, bool directory) {
  if (connection_ == nullptr) return WSAENOTCONN;
  std::string wire;
  if (!Utf8ToWire(name, &wire)) return ERROR_INVALID_NAME;
  const uint32_t result =
      directory ? KOVA_RemoveDirectory(connection_, wire) : KOVA_DeleteFile(connection_, wire);
  if (result != 0) return result;
  return RefreshSpace();
}

uint32_t ClientSession::UploadFile(std::string_view day, const std::string& local_path, bool create_only) {
  return tervane::UploadFile(this, day, local_path, create_only);
}

std::string FormatIpv4(uint32_t a) {
  char text[16];
  std::snprintf(text, sizeof(text), "%u.%u.%u.%u", a >> 24, (a >> 16) & 255, (a >> 8) & 255, a & 255);
  return text;
}

void ReportConnectFailure(SessionUi* ui, const std::string& address, uint32_t code) {
  char text[160];
  std::snprintf(text, sizeof(text), "连接文件服务器失败[%s-Error:%u]", address.c_str(), code);
  ui->ShowMessage(kProgramName, text);
  ui->SetCaption(std::string("[") + kProgramName + "]--配置的文件服务器IP无法连接");
}

uint32_t LogIn(ClientSession* session, const std::string& user, SessionUi* ui, StatusSink* status) {
  auto refused = [&](const char* what, uint32_t code) {
    if (status != nullptr) status->ShowStatus(std::string(what) + "[" + user + "]: " + DescribeResult(code) + "\n");
    return code;
  };
  uint32_t login = session->Login(user.c_str(), kSyncPassword);
  // A run started right after another one of this desk (a restore after a
  // backup) may log in before the server has seen the earlier connection
  // close. The server answers a login after a refused one no sooner than a
  // second later, so two more tries give it about two seconds.
  for (int retry = 0; retry < 2 && login == RESULT_ALREADY_LOGGED_IN; ++retry) {
    login = session->Login(user.c_str(), kSyncPassword);
  }
  if (login == 0) {
    session->List(status, "\\");
    return 0;
  }
  if (login != RESULT_NOT_LOGGED_IN) return refused("登录失败", login);  // e.g. wrong password, in use
  const uint32_t registered = session->Register(user.c_str(), kSyncPassword);
  if (registered != 0) return refused("注册用户失败", registered);
  const uint32_t second = session->Login(user.c_str(), kSyncPassword);
  if (second != 0) {
    refused("登录失败", second);
    char text[160];
    std::snprintf(text, sizeof(text), "连接备份服务器失败[Error:%u-----注册用户名后登陆失败]", second);
    ui->ShowMessage(kProgramName, text);
    ui->ExitProcess(0);
    return second;  // the UI chose not to end the process
  }
  session->List(status, "\\");
  return 0;
}

bool ConnectAndLogin(ClientSession* session, uint32_t server_address, uint16_t port, SessionUi* ui,
                     StatusSink* status, const std::string& user) {
  const std::string address = FormatIpv4(server_address);
  const uint32_t connected = session->Connect(address, port);
  if (connected != 0) {
    ReportConnectFailure(ui, address, connected);
    return false;
  }
  return LogIn(session, user, ui, status) == 0;
}

}  // namespace tervane
