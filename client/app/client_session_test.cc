#include "client/app/client_session.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "client/app/md5.h"
#include "testing/test_recorders.h"
#include "testing/fake_peer.h"
#include "shared/protocol/op_codes.h"
#include "shared/protocol/payloads.h"
#include "shared/protocol/result_codes.h"

namespace tervane {
namespace {

using testing::FakePeer;

constexpr uint32_t kLoopback = 0x7F000001;

// A fake that answers the session, space and listing requests and gives the
// login results in order (0 once they run out), and `register_result`.
struct ScriptedLogin {
  std::vector<uint32_t> login_results;
  uint32_t register_result = 0;
  size_t logins = 0;
  std::vector<std::string> credentials = {};  // "name:digest" of each login and register
  std::vector<std::string> listed = {};

  uint32_t Handle(const FakePeer::Request& r, std::vector<uint8_t>* reply) {
    std::string_view name, digest;
    uint32_t capacity = 0;
    switch (r.header.code) {
      case OP_OPEN_SESSION:
        reply->assign(4, 0);
        return 0;
      case OP_LOGIN:
      case OP_REGISTER_USER:
        if (!DecodeTwoStringRequest(r.payload.data(), r.payload.size(), &name, &digest)) return 87;
        credentials.emplace_back(std::string(name) + ":" + std::string(digest));
        if (r.header.code == OP_REGISTER_USER) return register_result;
        return logins < login_results.size() ? login_results[logins++] : 0;
      case OP_GET_SPACE_INFO:
        reply->resize(8);
        EncodeSpaceInfo(123456, 789, reply->data(), reply->size());
        return 0;
      case OP_LIST_DIRECTORY:
        if (DecodeListDirectoryRequest(r.payload.data(), r.payload.size(), &name, &capacity)) listed.emplace_back(name);
        reply->assign(8, 0);  // an empty chunk ends the listing
        return 0;
      default:
        return 0;
    }
  }
};

// A known account logs in with the digest, queries the space and lists
// "\"; an unknown one (0x3501) is registered and logged in again. An account
// in use is tried twice more (the server may not yet have seen this desk's
// previous connection close); other refusals and a failed registration end
// the attempt with a status line naming the code; a failed login after
// registering shows its message and asks for the process to end with 0.
// Null arguments give 1 and send nothing; without a connection the
// operations fail instead of crashing.
TEST(ClientSessionTest, LoginSequencesAndBadArguments) {
  const uint16_t O = OP_OPEN_SESSION, L = OP_LOGIN, R = OP_REGISTER_USER, S = OP_GET_SPACE_INFO, D = OP_LIST_DIRECTORY;
  const struct {
    std::vector<uint32_t> logins;
    uint32_t register_result;
    bool ok;
    std::vector<uint16_t> codes;
    std::string status;   // the one status line, if any
    std::string message;  // the one message box, if any
  } kCases[] = {
      {{0}, 0, true, {O, L, S, D}, "", ""},
      {{RESULT_NOT_LOGGED_IN, 0}, 0, true, {O, L, R, L, S, D}, "", ""},
      {{RESULT_ALREADY_LOGGED_IN, 0}, 0, true, {O, L, L, S, D}, "", ""},
      {{RESULT_ALREADY_LOGGED_IN, RESULT_ALREADY_LOGGED_IN, RESULT_ALREADY_LOGGED_IN}, 0, false, {O, L, L, L},
       "登录失败[sync]: 账户正在使用 (0x3503)\n", ""},
      {{RESULT_WRONG_PASSWORD}, 0, false, {O, L}, "登录失败[sync]: 密码错误 (0x3502)\n", ""},
      {{5}, 0, false, {O, L}, "登录失败[sync]: 拒绝访问 (Error:5)\n", ""},
      {{RESULT_NOT_LOGGED_IN}, RESULT_USER_EXISTS, false, {O, L, R}, "注册用户失败[sync]: 用户名已存在 (0x3500)\n", ""},
      {{RESULT_NOT_LOGGED_IN, RESULT_WRONG_PASSWORD}, 0, false, {O, L, R, L}, "登录失败[sync]: 密码错误 (0x3502)\n",
       "Ostrova|连接备份服务器失败[Error:13570-----注册用户名后登陆失败]"},
  };
  const std::string credentials = std::string(kSyncUserName) + ":" + PasswordDigest(kSyncPassword);
  for (const auto& c : kCases) {
    SCOPED_TRACE(::testing::PrintToString(c.logins));
    ScriptedLogin script{.login_results = c.logins, .register_result = c.register_result};
    FakePeer fake(FakePeer::Answering([&](const auto& r, auto* out) { return script.Handle(r, out); }));
    ClientSession session;
    testing::RecordingUi ui;
    testing::RecordingStatus status;
    EXPECT_EQ(ConnectAndLogin(&session, kLoopback, fake.port(), &ui, &status), c.ok);
    EXPECT_EQ(fake.Codes(), c.codes);
    EXPECT_EQ(script.credentials, std::vector<std::string>(fake.CountOf(L) + fake.CountOf(R), credentials));
    EXPECT_EQ(status.lines(), c.status.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.status});
    EXPECT_EQ(ui.messages, c.message.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.message});
    EXPECT_EQ(ui.exit_codes, c.message.empty() ? std::vector<int>{} : std::vector<int>{0});
    EXPECT_TRUE(ui.captions.empty());
    if (!c.ok) continue;
    // The session keeps the figures the server reported.
    EXPECT_EQ(script.listed, std::vector<std::string>{"\\"});
    EXPECT_EQ(session.user_name(), "sync");
    EXPECT_EQ(session.current_directory(), "\\");
    EXPECT_EQ(session.Register(nullptr, "x"), 1u);
    EXPECT_EQ(session.Register("sync", nullptr), 1u);
    EXPECT_EQ(session.Login(nullptr, "x"), 1u);
    EXPECT_EQ(session.Login("sync", nullptr), 1u);
    EXPECT_EQ(fake.Codes(), c.codes) << "a call with a null argument sent something";
    session.Disconnect();
    EXPECT_EQ(session.connection(), nullptr);
    EXPECT_NE(session.Login("sync", "x"), 0u);
    EXPECT_NE(session.Delete("Mon", true), 0u);
    EXPECT_NE(session.RefreshSpace(), 0u);
    EXPECT_EQ(session.List(nullptr, "\\"), 1u);
    EXPECT_NE(session.UploadFile("Mon", "/tmp/x", false), 0u);
  }
}

}  // namespace
}  // namespace tervane
