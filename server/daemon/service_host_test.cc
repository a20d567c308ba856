// The service as an operator meets it: started as a child process on
// loopback, its log read from standard output, stopped with SIGTERM.
#include "server/daemon/service_host.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "testing/test_client.h"
#include "testing/test_server.h"
#include "shared/protocol/op_codes.h"
#include "shared/protocol/open_flags.h"

namespace tervane {
namespace {

using testing::CountOf;
using testing::Reply;
using testing::TestClient;
using testing::TestServer;

constexpr char kPassword[] = "0123456789abcdef0123456789abcdef";
constexpr char kStarting[] = "[20070319]: Starting NFS Io Data-Service....\n";
constexpr char kClosing[] = "[20070319]: Closing NFS Io Data-Service....\n";
constexpr char kSeparator[] = "============================================================\n";

TEST(ServiceHostTest, ExitStatusKeepsAFailedStartNonZero) {
  EXPECT_EQ(ExitStatusForCode(0x3610), 0x10);
  EXPECT_EQ(ExitStatusForCode(0x3650), 0x50);
  EXPECT_EQ(ExitStatusForCode(10048), 98) << "not 0x40, the status of a malformed file";
  EXPECT_EQ(ExitStatusForCode(0x3500), 1);  // low byte 0 must not read as success
  EXPECT_EQ(ExitStatusForCode(256), 1);
}

TEST(ServiceHostTest, ASessionLogsItsLinesInOrderAndTheStopIsClean) {
  TestServer server;
  ASSERT_TRUE(server.Start()) << server.Errors();
  {
    TestClient client;
    ASSERT_TRUE(client.Connect(server.port()));
    Reply open;
    ASSERT_TRUE(client.Exchange(OP_OPEN_SESSION, {}, &open));
    EXPECT_EQ(open.result(), 0u);
    EXPECT_EQ(open.payload.size(), 4u);  // the server's tick
    EXPECT_EQ(client.Heartbeat(), 0u);
    EXPECT_EQ(client.CloseSession(), 0u);
  }
  ASSERT_TRUE(server.WaitForLog("Server Close ClientSocket!\n"));
  EXPECT_EQ(server.Stop(), 0);
  std::vector<std::string> expected = {
      kStarting,
      kSeparator,
      "客户机:[127.0.0.1] 连接文件服务器!\n",
      "[打开会话]\n",
      "[心跳包]\n",
      "[关闭会话]\n",
      "Client is close socket!\n",
      "Server Close ClientSocket!\n",
      kClosing,
  };
  EXPECT_EQ(server.LogLines(), expected);

  std::vector<std::string> notes = server.Notifications();
  ASSERT_GE(notes.size(), 3u);
  EXPECT_EQ(notes.front().rfind("STATUS=", 0), 0u);
  size_t ready = notes.size();
  size_t stopping = notes.size();
  for (size_t i = 0; i < notes.size(); ++i) {
    if (notes[i].find("READY=1") != std::string::npos) ready = i;
    if (notes[i] == "STOPPING=1") stopping = i;
  }
  EXPECT_LT(ready, stopping);
  EXPECT_EQ(stopping, notes.size() - 1);
}

// Below the default level only connection, session, account and failure
// lines are written; at "errors" only the failures.
TEST(ServiceHostTest, TheLogLevelsKeepConnectionAndFailureLines) {
  const struct {
    const char* level;
    std::vector<std::string> lines;
  } cases[] = {
      {"connections",
       {kStarting, kSeparator, "客户机:[127.0.0.1] 连接文件服务器!\n", "[打开会话]\n", "[打开文件] Result: 2\n",
        "[关闭会话]\n", "Client is close socket!\n", "Server Close ClientSocket!\n", kClosing}},
      {"errors", {"[打开文件] Result: 2\n"}},
  };
  for (const auto& c : cases) {
    TestServer server(testing::UserList{{"alice", kPassword}});
    ASSERT_TRUE(server.Start({"--log-level", c.level})) << server.Errors();
    TestClient client;
    ASSERT_TRUE(client.Connect(server.port()));
    ASSERT_EQ(client.OpenSession(), 0u);
    ASSERT_EQ(client.Login("alice", kPassword), 0u);
    uint32_t handle = 0;
    ASSERT_EQ(client.CreateFile("kept.txt", GENERIC_WRITE, 0, CREATE_ALWAYS, &handle), 0u);
    ASSERT_EQ(client.CreateFile("missing.txt", GENERIC_READ, 0, OPEN_EXISTING, &handle), 2u);
    ASSERT_EQ(client.Heartbeat(), 0u);
    ASSERT_EQ(client.CloseSession(), 0u);
    client.Close();
    // Where the level keeps the release line, it comes before the stop's.
    if (c.lines.size() > 1) {
      ASSERT_TRUE(server.WaitForLog("Server Close ClientSocket!\n")) << c.level;
    }
    EXPECT_EQ(server.Stop(), 0);
    EXPECT_EQ(server.LogLines(), c.lines) << c.level;
  }
}

// Nobody reads the log: requests are answered all the same (far more lines
// than the pipe holds), and the server still stops in time.
TEST(ServiceHostTest, AStalledLogReaderHoldsUpNoRequest) {
  TestServer server;
  server.StallOutput();
  ASSERT_TRUE(server.Start()) << server.Errors();
  TestClient client;
  ASSERT_TRUE(client.Connect(server.port()));
  for (int i = 0; i < 2000; ++i) ASSERT_EQ(client.Heartbeat(), 0u) << i;
  EXPECT_EQ(server.Stop(), 0);
}

TEST(ServiceHostTest, AStopWithClientsConnectedReleasesThemAllAndExitsZero) {
  TestServer server(testing::UserList{{"alice", kPassword}});
  ASSERT_TRUE(server.Start()) << server.Errors();
  TestClient clients[3];
  for (TestClient& c : clients) {
    ASSERT_TRUE(c.Connect(server.port()));
    ASSERT_EQ(c.OpenSession(), 0u);
  }
  ASSERT_EQ(clients[0].Login("alice", kPassword), 0u);
  uint32_t handle = 0;
  ASSERT_EQ(clients[0].CreateFile("kept.txt", GENERIC_WRITE, 0, CREATE_ALWAYS, &handle), 0u);

  EXPECT_EQ(server.Stop(5000), 0);
  for (TestClient& c : clients) EXPECT_TRUE(c.WaitClosed(3000));
  std::string log = server.Log();
  size_t closing = log.find(kClosing);
  ASSERT_NE(closing, std::string::npos);
  EXPECT_EQ(CountOf(log.substr(closing), "Server Close ClientSocket!\n"), 3);
  EXPECT_EQ(server.Errors().find("did not end"), std::string::npos);
}

TEST(ServiceHostTest, AMissingConfigFailsTheStartWithItsCode) {
  TestServer server;
  int status = server.RunToExit({"--config", server.dir() + "/nowhere/Config.cfg", "--port", "1",
                                 "--listen", "127.0.0.1"});
  EXPECT_EQ(status, 13840 & 0xFF);
  EXPECT_NE(server.Errors().find("13840"), std::string::npos) << server.Errors();
  EXPECT_EQ(server.Log(), kStarting);  // nothing else started, so nothing to close
  for (const std::string& n : server.Notifications()) EXPECT_EQ(n.find("READY=1"), std::string::npos);
}

TEST(ServiceHostTest, APortInUseFailsTheStartInsteadOfServingNothing) {
  int blocker = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  ASSERT_EQ(::bind(blocker, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(::listen(blocker, 1), 0);
  ASSERT_EQ(::getsockname(blocker, reinterpret_cast<sockaddr*>(&addr), &len), 0);
  TestServer server;
  int status = server.RunToExit({"--config", server.config_path(), "--port", std::to_string(ntohs(addr.sin_port)),
                                 "--listen", "127.0.0.1"});
  ::close(blocker);
  EXPECT_EQ(status, 98);
  EXPECT_NE(server.Errors().find("10048: the address and port are already in use (listening on 127.0.0.1:" +
                                 std::to_string(ntohs(addr.sin_port)) + ")"),
            std::string::npos)
      << server.Errors();
  // The data service had started, so its stop runs and is logged.
  EXPECT_EQ(server.Log(), std::string(kStarting) + kClosing);
}

// A share root the server cannot use, or a malformed Config.cfg, stops the
// start with the path or line at fault; nothing is served.
TEST(ServiceHostTest, AnUnusableShareRootOrAMalformedFileFailsTheStartWithItsReason) {
  TestServer server;
  const std::string file = server.dir() + "/plain";
  ASSERT_TRUE(std::ofstream(file).good());
  struct Case {
    std::string config;
    int status;
    std::string says;
  };
  const Case cases[] = {
      {"[SharePath]\r\n" + file + "/share/\r\n", 0x50, "cannot create " + file + "/share: Not a directory"},
      {"[SharePath]\r\n" + file + "\r\n", 0x50, "cannot use " + file + ": Not a directory"},
      {"[SharePath]\r\n/proc/\r\n", 0x50, "cannot write in /proc: "},  // refused even to root
      {"[SharePath]\r\n/srv/s/\r\n[User]\r\nbob\r\n", 0x40,
       "malformed (" + server.config_path() + "): line 5: the password line of \"bob\""},
  };
  for (const Case& c : cases) {
    std::ofstream(server.config_path(), std::ios::trunc) << c.config;
    EXPECT_EQ(server.RunToExit({"--config", server.config_path(), "--port", "1", "--listen", "127.0.0.1"}),
              c.status);
    EXPECT_NE(server.Errors().find(c.says), std::string::npos) << server.Errors();
    EXPECT_EQ(server.Log(), kStarting);
  }
}

// --report reads the share with no server running: a fresh and a stale
// account, as text and as JSON; exit 1 while any is stale.
TEST(ServiceHostTest, ReportMarksTheAccountWithoutARecentCopyStale) {
  TestServer server(testing::UserList{{"alice", kPassword}, {"bob", kPassword}});
  const std::string mon = server.share() + "alice/Mon";
  const std::string tue = server.share() + "bob/Tue";
  ASSERT_EQ(::system(("mkdir -p " + mon + " " + tue + " && printf 12345 >" + mon + "/a.txt && printf 123 >" + tue +
                      "/b.txt && touch -d '3 days ago' " + tue + "/b.txt " + tue)
                         .c_str()),
            0);
  EXPECT_EQ(server.RunToExit({"--report", "--config", server.config_path()}), 1);
  const std::string text = server.Log();
  EXPECT_NE(text.find("alice                ok    newest copy "), std::string::npos) << text;
  EXPECT_NE(text.find("bob                  STALE newest copy "), std::string::npos) << text;
  EXPECT_NE(text.find("  Mon  "), std::string::npos) << text;
  EXPECT_NE(text.find("1 files                5 bytes"), std::string::npos) << text;

  EXPECT_EQ(server.RunToExit({"--report", "--json", "--config", server.config_path()}), 1);
  const std::string json = server.Log();
  EXPECT_NE(json.find("{\"name\":\"alice\",\"stale\":false,"), std::string::npos) << json;
  EXPECT_NE(json.find("{\"name\":\"bob\",\"stale\":true,"), std::string::npos) << json;
  EXPECT_NE(json.find("{\"weekday\":\"Tue\","), std::string::npos) << json;
  EXPECT_NE(json.find("\"files\":1,\"bytes\":3}"), std::string::npos) << json;

  ASSERT_EQ(::system(("touch " + tue).c_str()), 0);
  EXPECT_EQ(server.RunToExit({"--report", "--config", server.config_path()}), 0) << server.Log();
  EXPECT_EQ(server.RunToExit({"--report", "--config", server.dir() + "/none.cfg"}), 2);
}

TEST(ServiceHostTest, HelpVersionAndBadOptions) {
  TestServer server;
  EXPECT_EQ(server.RunToExit({"--help"}), 0);
  EXPECT_NE(server.Log().find("--config FILE"), std::string::npos);
  EXPECT_EQ(server.RunToExit({"--version"}), 0);
  EXPECT_EQ(server.Log().rfind("tervanesvr ", 0), 0u);
  EXPECT_EQ(server.RunToExit({"--port", "none"}), 2);
  EXPECT_NE(server.Errors().find("--port"), std::string::npos);
  EXPECT_EQ(server.Log(), "");
}

}  // namespace
}  // namespace tervane
