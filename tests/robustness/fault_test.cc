// Faults from outside: a client killed in the middle of an upload or of a
// restore, the server killed during a burst of registrations, a share that
// runs out of room, and a server that stops answering in the middle of a
// run. Each test
// runs the real tervanesvr (and the client program where a run is the
// subject) as child processes on loopback and ends them by their own pids.
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "client/app/client_session.h"
#include "client/app/command_line.h"
#include "client/app/md5.h"
#include "client/app/remote_path.h"
#include "client/app/sync_engine.h"
#include "server/store/config_file.h"
#include "shared/protocol/op_codes.h"
#include "shared/protocol/open_flags.h"
#include "testing/child_process.h"
#include "testing/client_run.h"
#include "testing/raw_requests.h"
#include "testing/test_server.h"
#include "testing/temp_dir.h"

namespace tervane::robust {
namespace {

using namespace tervane::testing;

using testing::TestClient;

constexpr uint32_t kDiskFull = 112;  // ERROR_DISK_FULL

// Compares file contents without printing them.
::testing::AssertionResult SameBytes(const std::string& actual, const std::string& expected) {
  if (actual == expected) return ::testing::AssertionSuccess();
  size_t at = 0;
  while (at < actual.size() && at < expected.size() && actual[at] == expected[at]) ++at;
  return ::testing::AssertionFailure() << "contents differ: " << actual.size() << " bytes instead of "
                                       << expected.size() << ", first difference at byte " << at;
}

class FaultTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (TestServer::Binary().empty() || ClientBinary().empty()) {
      GTEST_SKIP() << "tervanesvr or the client program has not been built (TERVANE_BIN_DIR)";
    }
    ASSERT_TRUE(MakeDirs(tmp_.At("src")));
  }

  // Waits until `child`'s open descriptors are back to `count`.
  static bool WaitForDescriptors(const ChildProcess& child, int count, int timeout_ms) {
    const int64_t until = NowMs() + timeout_ms;
    while (child.OpenDescriptors() != count) {
      if (NowMs() >= until) return false;
      ::usleep(10000);
    }
    return true;
  }

  // The remote name of `local_path` in weekday folder `day`, as sent on the wire.
  static std::string WireName(const std::string& day, const std::string& local_path) {
    std::string wire;
    EXPECT_EQ(MapRemoteWireName(day, local_path, &wire), 0u);
    return wire;
  }

  // The server ends well: exit 0, no sanitizer report.
  static void ExpectCleanStop(TestServer& server) {
    std::string problem;
    EXPECT_TRUE(server.StopCleanly(&problem)) << problem << "\n" << server.Log();
  }

  TempDir tmp_;
};

// The server notices a client that dies while it uploads: the connection is
// released, the file it held open (exclusively, as uploads open) is closed,
// and both the path and the account are free for the next connection.
TEST_F(FaultTest, ClientKilledMidUploadFreesConnectionFileAndAccount) {
  TestServer server;
  ASSERT_TRUE(server.Start()) << server.Log();
  const int descriptors_before = server.process().OpenDescriptors();
  ASSERT_GT(descriptors_before, 0);

  const std::string local = tmp_.At("src/big.bin");
  ASSERT_TRUE(WriteFile(local, PatternBytes(64u << 20, 1)));
  ASSERT_TRUE(WriteClientSettings(tmp_.At("client.ini"), {tmp_.At("src")}));
  ChildProcess client;
  ASSERT_TRUE(client.Start(ClientSyncOptions(tmp_.At("client.ini"), server.port(), tmp_.At("client.log"))));

  // Frozen as soon as its first piece is written, then killed: the server
  // holds the file open at that moment.
  ASSERT_TRUE(server.WaitForLog("[写文件] Result: 0", 1, 20000)) << server.Log();
  ASSERT_TRUE(client.Signal(SIGSTOP));
  ASSERT_EQ(server.CountInLog("[关闭文件]"), 0) << "the upload ended before the client could be stopped";
  ASSERT_GT(server.process().OpenDescriptors(), descriptors_before);
  const int released_before = server.CountInLog("Server Close ClientSocket!");
  client.Kill();

  EXPECT_TRUE(server.WaitForLog("Server Close ClientSocket!", released_before + 1, 10000)) << server.Log();
  EXPECT_TRUE(WaitForDescriptors(server.process(), descriptors_before, 10000))
      << "descriptors: " << server.process().OpenDescriptors() << ", before: " << descriptors_before;

  const std::string day = OnlyWeekdayFolder(server.share());
  ASSERT_FALSE(day.empty());
  TestClient again;
  ASSERT_TRUE(ConnectAndLogIn(again, server.port(), kSyncUserName, PasswordDigest(kSyncPassword)))
      << "the killed client's account is still bound";
  uint32_t handle = 0;
  EXPECT_EQ(again.CreateFile(WireName(day, local), GENERIC_WRITE, 0, OPEN_EXISTING, &handle), 0u)
      << "the killed client's file is still held open";
  EXPECT_NE(handle, 0u);
  EXPECT_EQ(again.CloseFile(handle), 0u);
  again.Close();

  // And a whole run goes through again (with a smaller file, to stay quick).
  const std::string content = PatternBytes(300000, 2);
  ASSERT_TRUE(WriteFile(local, content));
  const int code = RunToEnd(ClientSyncOptions(tmp_.At("client.ini"), server.port(), tmp_.At("client2.log")), 30000);
  EXPECT_EQ(code, 0) << ReadFile(tmp_.At("client2.log"));
  EXPECT_TRUE(SameBytes(ReadFile(ServerCopyPath(server.share(), OnlyWeekdayFolder(server.share()), local)), content));
  ExpectCleanStop(server);
}

// A restore killed in the middle of a file leaves nothing under the file's
// real name, only its temporary file; the next restore puts the whole file
// in place.
TEST_F(FaultTest, RestoreKilledMidFileLeavesNoPartialFile) {
  TestServer server;
  ASSERT_TRUE(server.Start()) << server.Log();
  const std::string local = tmp_.At("src/big.bin");
  const std::string content = PatternBytes(64u << 20, 3);
  ASSERT_TRUE(WriteFile(local, content));
  ASSERT_TRUE(WriteClientSettings(tmp_.At("client.ini"), {tmp_.At("src")}));
  ASSERT_EQ(RunToEnd(ClientSyncOptions(tmp_.At("client.ini"), server.port(), tmp_.At("sync.log")), 60000), 0)
      << ReadFile(tmp_.At("sync.log"));
  const std::string day = OnlyWeekdayFolder(server.share());
  ASSERT_FALSE(day.empty());

  ChildOptions restore;
  restore.argv = {ClientBinary(), "--restore", day, local, "--to", tmp_.At("out"),
                  "--settings", tmp_.At("client.ini"), "--port", std::to_string(server.port())};
  restore.output_path = tmp_.At("restore.log");
  const int reads_before = server.CountInLog("[读文件] Result: 0");
  ChildProcess client;
  ASSERT_TRUE(client.Start(restore));
  ASSERT_TRUE(server.WaitForLog("[读文件] Result: 0", reads_before + 1, 20000)) << server.Log();
  ASSERT_TRUE(client.Signal(SIGSTOP));
  const std::string dest = tmp_.At("out") + local;
  const std::string folder = dest.substr(0, dest.rfind('/'));
  ASSERT_FALSE(Exists(dest)) << "the restore ended before the client could be stopped";
  client.Kill();
  const std::vector<std::string> left = ListFiles(folder);
  ASSERT_EQ(left.size(), 1u);
  EXPECT_EQ(left[0].rfind(".tervane-restore-", 0), 0u) << left[0];
  EXPECT_LT(ReadFile(folder + "/" + left[0]).size(), content.size());

  restore.output_path = tmp_.At("restore2.log");
  EXPECT_EQ(RunToEnd(restore, 60000), 0) << ReadFile(tmp_.At("restore2.log"));
  EXPECT_TRUE(SameBytes(ReadFile(dest), content));
  ExpectCleanStop(server);
}

// Every registration the server answered is in Config.cfg when it comes back
// after being killed at any moment of a burst of registrations: the file is
// replaced whole, never left half written.
TEST_F(FaultTest, ServerKilledDuringRegistrationsKeepsEveryAnsweredOne) {
  TestServer server;
  std::set<std::string> answered;  // name; the password is "pw-" + name
  constexpr int kRounds = 3;
  constexpr int kThreads = 4;
  for (int round = 0; round < kRounds; ++round) {
    ASSERT_TRUE(server.Start()) << "Config.cfg did not load after a kill:\n" << server.Log();

    // What was answered before the last kill is all there.
    ServerConfig config;
    ASSERT_EQ(ReadConfig(server.config_path(), &config), 0u) << ReadFile(server.config_path());
    std::set<std::string> loaded;
    for (const auto& account : config.accounts) {
      loaded.insert(account->name);
      EXPECT_EQ(std::string(account->password), "pw-" + std::string(account->name));
    }
    for (const std::string& name : answered) EXPECT_EQ(loaded.count(name), 1u) << name << " was lost";
    EXPECT_EQ(loaded.size(), config.accounts.size()) << "a user is in Config.cfg twice";
    if (!answered.empty()) {
      TestClient probe;
      EXPECT_TRUE(ConnectAndLogIn(probe, server.port(), *answered.rbegin(), "pw-" + *answered.rbegin()));
    }

    std::mutex mu;
    std::atomic<bool> stop{false};
    std::atomic<int> count{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        // One registration per connection, as the server allows.
        for (int i = 0; !stop.load() && i < 10000; ++i) {
          const std::string name = "r" + std::to_string(round) + "t" + std::to_string(t) + "u" + std::to_string(i);
          TestClient c;
          if (!c.Connect(server.port())) return;  // the server is gone
          if (c.Register(name, "pw-" + name) == 0) {
            std::lock_guard<std::mutex> hold(mu);
            answered.insert(name);
            ++count;
          }
        }
      });
    }
    // Killed after a different number of answered registrations each round,
    // so the kill meets the rewrite at different points.
    const int64_t until = NowMs() + 20000;
    while (count.load() < 8 + round * 7 && NowMs() < until) ::usleep(500);
    ::usleep(static_cast<useconds_t>(round * 1500));
    ASSERT_TRUE(server.process().Signal(SIGKILL));
    int status = 0;
    ASSERT_TRUE(server.process().Wait(5000, &status));
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
    stop.store(true);
    for (std::thread& t : threads) t.join();
    EXPECT_GE(count.load(), 8 + round * 7) << "too few registrations were answered before the kill";
  }
  ASSERT_TRUE(server.Start()) << server.Log();
  ServerConfig config;
  ASSERT_EQ(ReadConfig(server.config_path(), &config), 0u);
  std::set<std::string> loaded;
  for (const auto& account : config.accounts) loaded.insert(account->name);
  for (const std::string& name : answered) EXPECT_EQ(loaded.count(name), 1u) << name << " was lost";
  ExpectCleanStop(server);
}

// With a file-size limit on the server process (what a full quota or an
// operator's limit does), a write that would pass it fails with 112 and
// the server goes on serving; a backup run reports the one file that did
// not fit with "上传失败" and its reason, deletes its remote file, and
// uploads the rest.
TEST_F(FaultTest, FileSizeLimitFailsTheWriteAndTheRunGoesOn) {
  constexpr uint64_t kLimit = 1u << 20;
  TestServer server(UserList{{"filler", "pw"}});
  server.LimitFileSize(kLimit);
  ASSERT_TRUE(server.Start()) << server.Log();

  TestClient raw;
  ASSERT_TRUE(ConnectAndLogIn(raw, server.port(), "filler", "pw"));
  uint32_t handle = 0;
  ASSERT_EQ(raw.CreateFile("f.bin", GENERIC_READ | GENERIC_WRITE, 0, CREATE_ALWAYS, &handle), 0u);
  EXPECT_EQ(Call(raw, OP_WRITE_FILE, WritePayload(handle, 0, std::string(1000, 'a'))), 0u);
  EXPECT_EQ(Call(raw, OP_WRITE_FILE, WritePayload(handle, kLimit - 100, std::string(4096, 'b'))), kDiskFull);
  EXPECT_EQ(Call(raw, OP_SET_FILE_SIZE, SetSizePayload(handle, 2 * kLimit)), kDiskFull);
  ASSERT_EQ(raw.Heartbeat(), 0u) << "the server did not survive the failed write:\n" << server.Log();
  EXPECT_EQ(raw.CloseFile(handle), 0u);
  raw.Close();
  EXPECT_TRUE(server.process().running());

  // Three configured directories; the middle one holds the file that does not fit.
  const std::string a = PatternBytes(10000, 3);
  const std::string c = PatternBytes(20000, 4);
  ASSERT_TRUE(MakeDirs(tmp_.At("src/a")) && MakeDirs(tmp_.At("src/b")) && MakeDirs(tmp_.At("src/c")));
  ASSERT_TRUE(WriteFile(tmp_.At("src/a/a.txt"), a));
  ASSERT_TRUE(WriteFile(tmp_.At("src/b/big.bin"), PatternBytes(3 * kLimit, 5)));
  ASSERT_TRUE(WriteFile(tmp_.At("src/c/c.txt"), c));
  ASSERT_TRUE(WriteClientSettings(tmp_.At("client.ini"), {tmp_.At("src/a"), tmp_.At("src/b"), tmp_.At("src/c")}));
  const int code = RunToEnd(ClientSyncOptions(tmp_.At("client.ini"), server.port(), tmp_.At("client.log")), 30000);
  const std::string output = ReadFile(tmp_.At("client.log"));
  EXPECT_EQ(code, 1) << output;
  size_t failures = 0;
  for (size_t at = output.find("上传失败"); at != std::string::npos; at = output.find("上传失败", at + 1)) ++failures;
  EXPECT_EQ(failures, 1u) << output;
  EXPECT_NE(output.find("上传失败\n  " + tmp_.At("src/b/big.bin") + ": 磁盘空间不足 (Error:112)\n"), std::string::npos)
      << output;
  EXPECT_NE(output.find("]\n已上传 2 个文件 (30000 字节), 3 个目录, 失败 1 个, 用时 "), std::string::npos) << output;
  const std::string day = OnlyWeekdayFolder(server.share());
  EXPECT_TRUE(SameBytes(ReadFile(ServerCopyPath(server.share(), day, tmp_.At("src/a/a.txt"))), a));
  EXPECT_TRUE(SameBytes(ReadFile(ServerCopyPath(server.share(), day, tmp_.At("src/c/c.txt"))), c));
  // No copy of the right size with the wrong content stays behind.
  EXPECT_FALSE(Exists(ServerCopyPath(server.share(), day, tmp_.At("src/b/big.bin"))));
  EXPECT_GE(server.CountInLog("Result: 112"), 3) << server.Log();
  EXPECT_TRUE(server.process().running()) << server.Log();
  ExpectCleanStop(server);
}

// Keeps a mount of a small file system private to this process and its
// children, and takes it away again.
class SmallFileSystem {
 public:
  // False (with the reason) where mounting is not allowed.
  bool Mount(const std::string& where, const char* size, std::string* why) {
    if (::geteuid() != 0) {
      *why = "not running as root";
      return false;
    }
    if (::unshare(CLONE_NEWNS) != 0) {
      *why = "no mount namespace: " + std::string(std::strerror(errno));
      return false;
    }
    if (::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount("tervane-full", where.c_str(), "tmpfs", 0, (std::string("size=") + size).c_str()) != 0) {
      *why = "mount refused: " + std::string(std::strerror(errno));
      return false;
    }
    where_ = where;
    return true;
  }
  ~SmallFileSystem() {
    if (!where_.empty()) ::umount2(where_.c_str(), MNT_DETACH);
  }

 private:
  std::string where_;
};

// A share on a file system that is really full: writes fail with 112 once
// it is, the server goes on, and the run reports the file, leaves no copy
// of it, and goes on to its end.
TEST_F(FaultTest, FullFileSystemFailsTheWriteAndTheRunGoesOn) {
  const std::string root = tmp_.At("small");
  ASSERT_TRUE(MakeDirs(root));
  SmallFileSystem fs;
  std::string why;
  if (!fs.Mount(root, "2m", &why)) GTEST_SKIP() << "a small file system cannot be mounted here: " << why;

  TestServer server;
  ASSERT_TRUE(server.WriteConfig({{"filler", "pw"}}, root + "/"));
  ASSERT_TRUE(server.Start()) << server.Log();
  TestClient raw;
  ASSERT_TRUE(ConnectAndLogIn(raw, server.port(), "filler", "pw"));
  uint32_t handle = 0;
  ASSERT_EQ(raw.CreateFile("fill.bin", GENERIC_READ | GENERIC_WRITE, 0, CREATE_ALWAYS, &handle), 0u);
  uint32_t result = 0;
  const std::string piece = PatternBytes(65536, 6);
  uint64_t offset = 0;
  for (int i = 0; i < 64 && result == 0; ++i, offset += piece.size()) {
    result = Call(raw, OP_WRITE_FILE, WritePayload(handle, offset, piece));
  }
  EXPECT_EQ(result, kDiskFull);
  EXPECT_GT(offset, 65536u * 8) << "the file system filled up far too early";
  EXPECT_EQ(raw.CloseFile(handle), 0u);
  // Room again for the run's first directory.
  EXPECT_EQ(Call(raw, OP_DELETE_FILE, PathPayload("fill.bin")), 0u);
  EXPECT_EQ(raw.Heartbeat(), 0u);
  raw.Close();

  const std::string a = PatternBytes(10000, 7);
  ASSERT_TRUE(MakeDirs(tmp_.At("src/a")) && MakeDirs(tmp_.At("src/b")) && MakeDirs(tmp_.At("src/c")));
  ASSERT_TRUE(WriteFile(tmp_.At("src/a/a.txt"), a));
  ASSERT_TRUE(WriteFile(tmp_.At("src/b/big.bin"), PatternBytes(4u << 20, 8)));
  ASSERT_TRUE(WriteFile(tmp_.At("src/c/c.txt"), PatternBytes(20000, 9)));
  ASSERT_TRUE(WriteClientSettings(tmp_.At("client.ini"), {tmp_.At("src/a"), tmp_.At("src/b"), tmp_.At("src/c")}));
  const int code = RunToEnd(ClientSyncOptions(tmp_.At("client.ini"), server.port(), tmp_.At("client.log")), 30000);
  const std::string output = ReadFile(tmp_.At("client.log"));
  EXPECT_EQ(code, 1) << output;
  EXPECT_NE(output.find("上传失败"), std::string::npos) << output;
  EXPECT_NE(output.find("目录备份完毕"), std::string::npos) << "the run did not go on to its end:\n" << output;
  EXPECT_GE(server.CountInLog("[写文件] Result: 112"), 2) << server.Log();
  const std::string day = OnlyWeekdayFolder(root + "/");
  EXPECT_TRUE(SameBytes(ReadFile(ServerCopyPath(root + "/", day, tmp_.At("src/a/a.txt"))), a));
  EXPECT_FALSE(Exists(ServerCopyPath(root + "/", day, tmp_.At("src/b/big.bin"))));
  TestClient after;
  EXPECT_TRUE(ConnectAndLogIn(after, server.port(), "filler", "pw")) << "the server did not survive:\n"
                                                                      << server.Log();
  ExpectCleanStop(server);
}

// A server that stops answering in the middle of a run (stopped, not gone:
// its connection stays open) ends the run within the client's reply
// time-out with one line naming the lost connection and a file that was in
// flight, and exit 2; so does a server killed in the middle of a run.
TEST_F(FaultTest, LostServerEndsTheRunWithOneLine) {
  TestServer server;
  ASSERT_TRUE(server.Start()) << server.Log();
  ASSERT_TRUE(WriteFile(tmp_.At("src/big.bin"), PatternBytes(64u << 20, 10)));
  ASSERT_TRUE(WriteFile(tmp_.At("src/small.txt"), PatternBytes(1000, 11)));
  ASSERT_TRUE(WriteClientSettings(tmp_.At("client.ini"), {tmp_.At("src")}));
  // Several files are in flight at once: the line names the first of them.
  const std::string lost = "与服务器的连接中断，备份中止: " + tmp_.At("src/");
  auto after_start = [](const std::string& output) {
    const std::string start = "开始一个目录备份...\n";
    return output.substr(output.find(start) + start.size());
  };

  constexpr uint32_t kReplyTimeoutMs = 1000;
  ChildProcess client;
  ASSERT_TRUE(client.Start(
      ClientSyncOptions(tmp_.At("client.ini"), server.port(), tmp_.At("client.log"), kReplyTimeoutMs)));
  ASSERT_TRUE(server.WaitForLog("[写文件] Result: 0", 1, 20000)) << server.Log();
  ASSERT_TRUE(server.process().Signal(SIGSTOP));
  const int64_t stopped_at = NowMs();

  int status = 0;
  const bool ended = client.Wait(20000, &status);
  const int64_t took = NowMs() - stopped_at;
  // Counted while the server is stopped: neither the run's connection nor
  // the next one is released yet.
  const int released = server.CountInLog("Server Close ClientSocket!");
  server.process().Signal(SIGCONT);
  ASSERT_TRUE(ended) << "the run still hangs 20 s after the server stopped answering";
  EXPECT_LT(took, 10000) << "the run took " << took << " ms to give up";
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 2) << ReadFile(tmp_.At("client.log"));
  std::string rest = after_start(ReadFile(tmp_.At("client.log")));
  EXPECT_EQ(rest.rfind(lost, 0), 0u) << rest;
  EXPECT_EQ(rest.find('\n'), rest.size() - 1) << rest;  // one line
  EXPECT_NE(rest.find(": 服务器没有及时回应 (Error:10060)\n"), std::string::npos) << rest;

  // Once it runs again, the server serves new connections.
  TestClient after;
  ASSERT_TRUE(after.Connect(server.port()));
  EXPECT_EQ(after.OpenSession(), 0u);
  EXPECT_EQ(after.Heartbeat(), 0u);
  after.Close();

  // The stopped run's requests still in the socket are served before its
  // connection is released; only then are the writes counted.
  ASSERT_TRUE(server.WaitForLog("Server Close ClientSocket!", released + 2, 20000)) << server.Log();
  const int writes = server.CountInLog("[写文件] Result: 0");
  ChildProcess second;
  ASSERT_TRUE(second.Start(ClientSyncOptions(tmp_.At("client.ini"), server.port(), tmp_.At("client2.log"))));
  ASSERT_TRUE(server.WaitForLog("[写文件] Result: 0", writes + 1, 20000)) << server.Log();
  server.process().Kill();
  ASSERT_TRUE(second.Wait(20000, &status)) << "the run still goes on 20 s after the server died";
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 2);
  const std::string output = ReadFile(tmp_.At("client2.log"));
  rest = after_start(output);
  EXPECT_EQ(rest.rfind(lost, 0), 0u) << output;
  EXPECT_EQ(output.find(kUploadFailedText), std::string::npos) << output;
}

// With every one of the server's ten connections held, a headless run is
// turned away; it says so, waits, tries again, and goes through once a
// connection is freed.
TEST_F(FaultTest, BusyServerIsTriedAgain) {
  TestServer server;
  ASSERT_TRUE(server.Start()) << server.Log();
  std::vector<std::unique_ptr<TestClient>> holders;
  for (int i = 0; i < 10; ++i) {
    holders.push_back(std::make_unique<TestClient>());
    ASSERT_TRUE(holders.back()->Connect(server.port()));
    ASSERT_EQ(holders.back()->OpenSession(), 0u) << i;
  }
  ASSERT_TRUE(WriteFile(tmp_.At("src/a.txt"), "a"));
  ASSERT_TRUE(WriteClientSettings(tmp_.At("client.ini"), {tmp_.At("src")}));
  ChildProcess client;
  ASSERT_TRUE(client.Start(ClientSyncOptions(tmp_.At("client.ini"), server.port(), tmp_.At("client.log"), 0, 500)));
  const int64_t until = NowMs() + 20000;
  while (ReadFile(tmp_.At("client.log")).find("分钟后重试") == std::string::npos && NowMs() < until) ::usleep(10000);
  ASSERT_NE(ReadFile(tmp_.At("client.log")).find("连接文件服务器失败[127.0.0.1]: "), std::string::npos)
      << ReadFile(tmp_.At("client.log"));
  holders.pop_back();
  int status = 0;
  ASSERT_TRUE(client.Wait(30000, &status));
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << ReadFile(tmp_.At("client.log"));
  EXPECT_EQ(ReadFile(ServerCopyPath(server.share(), OnlyWeekdayFolder(server.share()), tmp_.At("src/a.txt"))), "a");
  holders.clear();
  ExpectCleanStop(server);
}

// The time-out option of the headless run takes milliseconds from 1 to one
// day and refuses anything else.
TEST(ReplyTimeoutOption, ParsesWithinItsBounds) {
  auto parse = [](std::vector<std::string> args, CommandLineOptions* options) {
    args.insert(args.begin(), "tervaneclt");
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    return ParseCommandLine(static_cast<int>(argv.size()), argv.data(), options);
  };
  CommandLineOptions options;
  ASSERT_TRUE(parse({"--sync", "--reply-timeout-ms", "1500"}, &options)) << options.error;
  EXPECT_EQ(options.reply_timeout_ms, 1500u);
  ASSERT_TRUE(parse({"--sync", "--reply-timeout-ms=1"}, &options)) << options.error;
  EXPECT_EQ(options.reply_timeout_ms, 1u);
  ASSERT_TRUE(parse({"--sync"}, &options));
  EXPECT_EQ(options.reply_timeout_ms, 0u);
  for (const char* bad : {"0", "-5", "86400001", "12x", ""}) {
    EXPECT_FALSE(parse({"--sync", "--reply-timeout-ms", bad}, &options)) << bad;
  }
}

}  // namespace
}  // namespace tervane::robust
