// The service as an operator meets it: started as a child process on
// loopback, its log read from standard output, stopped with SIGTERM.
#include "server/daemon/service_host.h"

#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "testing/temp_dir.h"
#include "testing/test_client.h"
#include "testing/test_server.h"

namespace tervane {
namespace {

using testing::TestClient;
using testing::TestServer;

constexpr char kPassword[] = "0123456789abcdef0123456789abcdef";
constexpr char kStarting[] = "[20070319]: Starting NFS Io Data-Service....\n";
constexpr char kClosing[] = "[20070319]: Closing NFS Io Data-Service....\n";

// One session at "connections": connection and session lines, in order,
// and not the heartbeat's, which the default level keeps, so the option
// reaches the log; which kinds each level keeps is LogWriterTest's. The
// service manager hears the stages, READY=1 and STOPPING=1 last.
TEST(ServiceHostTest, TheConnectionsLevelWritesItsLinesInOrderAndTheStopIsClean) {
  TestServer server;
  ASSERT_TRUE(server.Start({"--log-level", "connections"})) << server.Errors();
  TestClient client;
  ASSERT_TRUE(client.Connect(server.port()));
  ASSERT_EQ(client.OpenSession(), 0u);
  ASSERT_EQ(client.Heartbeat(), 0u);
  ASSERT_EQ(client.CloseSession(), 0u);
  client.Close();
  // The release line comes before the stop's.
  ASSERT_TRUE(server.WaitForLog("Server Close ClientSocket!\n"));
  EXPECT_EQ(server.Stop(), 0);
  const std::vector<std::string> lines = {kStarting, "============================================================\n",
                                          "客户机:[127.0.0.1] 连接文件服务器!\n", "[打开会话]\n", "[关闭会话]\n",
                                          "Client is close socket!\n", "Server Close ClientSocket!\n", kClosing};
  EXPECT_EQ(server.LogLines(), lines);

  const std::vector<std::string> notes = server.Notifications();
  ASSERT_GE(notes.size(), 3u);
  EXPECT_EQ(notes.front().rfind("STATUS=", 0), 0u);
  EXPECT_NE(notes[notes.size() - 2].find("READY=1"), std::string::npos);
  EXPECT_EQ(notes.back(), "STOPPING=1");
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

// A start that fails exits with the code's status and one line naming the
// code, the cause and where; nothing is served. Only a failure after the
// data service started (the listening socket) logs the stop.
TEST(ServiceHostTest, AFailedStartExitsWithItsCodeAndSaysWhy) {
  EXPECT_EQ(ExitStatusForCode(0x3500), 1);  // a code whose low byte is zero still exits non-zero
  TestServer holder;  // holds the port
  ASSERT_TRUE(holder.Start()) << holder.Errors();
  const std::string port = std::to_string(holder.port());
  TestServer server;
  const std::string file = server.dir() + "/plain";
  ASSERT_TRUE(testing::WriteFile(file, ""));
  const std::string good = "[SharePath]\r\n" + server.share() + "\r\n";
  const struct {
    std::string config;  // empty: no file at all
    std::string port;
    int status;
    std::string says;
  } cases[] = {
      {"", "1", 0x10, "13840: the configuration file does not exist"},
      {good, port, 98, "10048: the address and port are already in use (listening on 127.0.0.1:" + port + ")"},
      {"[SharePath]\r\n" + file + "/share/\r\n", "1", 0x50, "cannot create " + file + "/share: Not a directory"},
      {"[SharePath]\r\n" + file + "\r\n", "1", 0x50, "cannot use " + file + ": Not a directory"},
      {"[SharePath]\r\n/proc/\r\n", "1", 0x50, "cannot write in /proc: "},  // refused even to root
      {"[SharePath]\r\n/srv/s/\r\n[User]\r\nbob\r\n", "1", 0x40,
       "malformed (" + server.config_path() + "): line 5: the password line of \"bob\""},
  };
  for (const auto& c : cases) {
    ::unlink(server.config_path().c_str());
    ASSERT_TRUE(c.config.empty() || testing::WriteFile(server.config_path(), c.config));
    EXPECT_EQ(server.RunToExit({"--config", server.config_path(), "--port", c.port, "--listen", "127.0.0.1"}),
              c.status);
    EXPECT_NE(server.Errors().find(c.says), std::string::npos) << server.Errors();
    EXPECT_EQ(server.Log(), c.status == 98 ? std::string(kStarting) + kClosing : kStarting);
    for (const std::string& n : server.Notifications()) EXPECT_EQ(n.find("READY=1"), std::string::npos);
  }
}

// --report reads the share with no server running: a fresh and a stale
// account, as text and as JSON; exit 1 while any is stale, 2 without a file.
TEST(ServiceHostTest, ReportHelpVersionAndBadOptions) {
  TestServer server(testing::UserList{{"alice", kPassword}, {"bob", kPassword}});
  const std::string mon = server.share() + "alice/Mon";
  const std::string tue = server.share() + "bob/Tue";
  ASSERT_TRUE(testing::WriteFile(mon + "/a.txt", "12345") && testing::WriteFile(tue + "/b.txt", "123"));
  ASSERT_EQ(::system(("touch -d '3 days ago' " + tue + "/b.txt " + tue).c_str()), 0);
  const struct {
    const char* json;
    std::vector<std::string> says;
  } forms[] = {{nullptr,
                {"alice                ok    newest copy ", "bob                  STALE newest copy ", "  Mon  ",
                 "1 files                5 bytes"}},
               {"--json",
                {"{\"name\":\"alice\",\"stale\":false,", "{\"name\":\"bob\",\"stale\":true,",
                 "{\"weekday\":\"Tue\",", "\"files\":1,\"bytes\":3}"}}};
  for (const auto& f : forms) {
    std::vector<std::string> args = {"--report", "--config", server.config_path()};
    if (f.json) args.push_back(f.json);
    EXPECT_EQ(server.RunToExit(args), 1);
    for (const std::string& s : f.says) EXPECT_NE(server.Log().find(s), std::string::npos) << server.Log();
  }
  ASSERT_EQ(::system(("touch " + tue).c_str()), 0);
  EXPECT_EQ(server.RunToExit({"--report", "--config", server.config_path()}), 0) << server.Log();
  EXPECT_EQ(server.RunToExit({"--report", "--config", server.dir() + "/none.cfg"}), 2);
  // The help names the options; a bad option exits 2 and names it.
  EXPECT_EQ(server.RunToExit({"--help"}), 0);
  EXPECT_NE(server.Log().find("--max-connections"), std::string::npos) << server.Log();
  EXPECT_EQ(server.RunToExit({"--version"}), 0);
  EXPECT_EQ(server.Log(), "tervanesvr 1.0.0\n");
  EXPECT_EQ(server.RunToExit({"--port", "none"}), 2);
  EXPECT_TRUE(server.Errors().find("--port") != std::string::npos && server.Log().empty());
}

}  // namespace
}  // namespace tervane
