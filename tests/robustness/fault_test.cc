// Faults from outside: a client killed mid-upload or mid-restore, the server
// killed during registrations, a share out of room, a server that stops
// answering mid-run. The real programs run as children on loopback, ended by
// their own pids.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "server/store/config_file.h"
#include "shared/protocol/op_codes.h"
#include "shared/protocol/open_flags.h"
#include "testing/child_process.h"
#include "testing/test_client.h"
#include "testing/temp_dir.h"
#include "testing/test_server.h"

namespace tervane::robust {
namespace {

using namespace tervane::testing;

constexpr uint32_t kDiskFull = 112;  // ERROR_DISK_FULL

// The server ends well (exit 0, no sanitizer report) when server_ goes.
class FaultTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (TestServer::Binary().empty() || ClientBinary().empty()) {
      GTEST_SKIP() << "tervanesvr or the client program has not been built (TERVANE_BIN_DIR)";
    }
    ASSERT_TRUE(WriteClientSettings(tmp_.At("client.ini"), {tmp_.At("src")}));
  }

  // A backup of src/, holding a 64 MiB file of `seed`'s bytes, as a child;
  // returns once the running server has written the first piece of it.
  void StartBackupOfABigFile(ChildProcess* client, uint64_t seed, uint32_t reply_timeout_ms = 0) {
    ASSERT_TRUE(WriteFile(tmp_.At("src/big.bin"), PatternBytes(64u << 20, seed)));
    const std::string settings = tmp_.At("client.ini");
    ASSERT_TRUE(client->Start(ClientSyncOptions(settings, server_.port(), tmp_.At("client.log"), reply_timeout_ms)));
    ASSERT_TRUE(server_.WaitForLog("[写文件] Result: 0", 1, 20000)) << server_.Log();
  }

  TempDir tmp_;
  TestServer server_;
};

// A client dying mid-upload has its connection released and its exclusively
// open file closed, so the next run replaces the same file. A restore killed
// mid-file leaves only its temporary file; the next one puts the file whole.
TEST_F(FaultTest, ClientKilledMidUploadOrMidRestoreLeavesNothingHalfDone) {
  ASSERT_TRUE(server_.Start()) << server_.Log();
  const int descriptors_before = server_.process().OpenDescriptors();
  ASSERT_GT(descriptors_before, 0);
  ChildProcess client;
  ASSERT_NO_FATAL_FAILURE(StartBackupOfABigFile(&client, 1));
  ASSERT_TRUE(client.Signal(SIGSTOP));
  const std::string local = tmp_.At("src/big.bin"), content = ReadFile(local);
  ASSERT_EQ(server_.CountInLog("[关闭文件]"), 0) << "the upload ended before the client could be stopped";
  ASSERT_GT(server_.process().OpenDescriptors(), descriptors_before);
  const int released_before = server_.CountInLog("Server Close ClientSocket!");
  client.Kill();
  EXPECT_TRUE(server_.WaitForLog("Server Close ClientSocket!", released_before + 1, 10000)) << server_.Log();
  const int64_t until = NowMs() + 10000;
  while (server_.process().OpenDescriptors() != descriptors_before && NowMs() < until) ::usleep(10000);
  EXPECT_EQ(server_.process().OpenDescriptors(), descriptors_before) << "the killed client's file stays open";
  ASSERT_EQ(RunToEnd(ClientSyncOptions(tmp_.At("client.ini"), server_.port(), tmp_.At("sync.log")), 60000), 0)
      << ReadFile(tmp_.At("sync.log"));
  const std::string day = OnlyWeekdayFolder(server_.share());
  EXPECT_TRUE(ReadFile(ServerCopyPath(server_.share(), day, local)) == content) << "the copy differs";
  ChildOptions restore;
  restore.argv = {ClientBinary(), "--restore", day, local, "--to", tmp_.At("out"),
                  "--settings", tmp_.At("client.ini"), "--port", std::to_string(server_.port())};
  restore.output_path = tmp_.At("restore.log");
  const int reads_before = server_.CountInLog("[读文件] Result: 0");
  ASSERT_TRUE(client.Start(restore));
  ASSERT_TRUE(server_.WaitForLog("[读文件] Result: 0", reads_before + 1, 20000)) << server_.Log();
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
  EXPECT_TRUE(ReadFile(dest) == content) << "the restored file differs";
}

// Every answered registration is in Config.cfg after a kill at any moment of
// a burst of them: the file is replaced whole, never half written.
TEST_F(FaultTest, ServerKilledDuringRegistrationsKeepsEveryAnsweredOne) {
  std::set<std::string> answered;  // name; the password is "pw-" + name
  constexpr int kRounds = 3;
  constexpr int kThreads = 4;
  for (int round = 0; round <= kRounds; ++round) {
    ASSERT_TRUE(server_.Start()) << "Config.cfg did not load after a kill:\n" << server_.Log();
    // What was answered before the last kill is all there.
    ServerConfig config;
    ASSERT_EQ(ReadConfig(server_.config_path(), &config), 0u) << ReadFile(server_.config_path());
    std::set<std::string> loaded;
    for (const auto& account : config.accounts) {
      loaded.insert(account->name);
      EXPECT_EQ(std::string(account->password), "pw-" + std::string(account->name));
    }
    for (const std::string& name : answered) EXPECT_EQ(loaded.count(name), 1u) << name << " was lost";
    EXPECT_EQ(loaded.size(), config.accounts.size()) << "a user is in Config.cfg twice";
    if (round == kRounds) break;
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
          if (!c.Connect(server_.port())) return;  // the server is gone
          if (c.Register(name, "pw-" + name) == 0) {
            std::lock_guard<std::mutex> hold(mu);
            answered.insert(name);
            ++count;
          }
        }
      });
    }
    // A different count each round, so the kill meets the rewrite elsewhere.
    const int64_t until = NowMs() + 20000;
    while (count.load() < 8 + round * 7 && NowMs() < until) ::usleep(500);
    ::usleep(static_cast<useconds_t>(round * 1500));
    int status = 0;
    EXPECT_TRUE(server_.process().Signal(SIGKILL) && server_.process().Wait(5000, &status));
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
    stop.store(true);
    for (std::thread& t : threads) t.join();
    EXPECT_GE(count.load(), 8 + round * 7) << "too few registrations were answered before the kill";
  }
}

// A file-size limit on the server process (a quota or an operator's limit)
// gives EFBIG, which the server takes without dying of SIGXFSZ: 64 KiB writes
// go through until one fails with 112 (after 512 KiB at least), a size past
// the limit fails too, and the server goes on (ENOSPC takes the same road).
TEST_F(FaultTest, FileSizeLimitFailsTheWriteAndTheServerGoesOn) {
  constexpr uint64_t kLimit = 1u << 20;
  ASSERT_TRUE(server_.WriteConfig({{"filler", "pw"}}));
  server_.LimitFileSize(kLimit);
  ASSERT_TRUE(server_.Start()) << server_.Errors();
  TestClient raw;
  ASSERT_TRUE(ConnectAndLogIn(raw, server_.port(), "filler", "pw"));
  uint32_t handle = 0, result = 0;
  ASSERT_EQ(raw.CreateFile("fill.bin", GENERIC_READ | GENERIC_WRITE, 0, CREATE_ALWAYS, &handle), 0u);
  const std::string piece = PatternBytes(65536, 6);
  uint64_t offset = 0;
  for (; offset < (64u << 20) && result == 0; offset += piece.size()) {
    result = Call(raw, OP_WRITE_FILE, WritePayload(handle, offset, piece));
  }
  EXPECT_EQ(result, kDiskFull);
  EXPECT_GT(offset, 65536u * 8) << "the share filled up far too early";
  EXPECT_EQ(Call(raw, OP_SET_FILE_SIZE, SetSizePayload(handle, 2 * kLimit)), kDiskFull);
  EXPECT_EQ(raw.CloseFile(handle), 0u);
  EXPECT_EQ(raw.Heartbeat(), 0u) << "the server did not survive the failed write:\n" << server_.Log();
}

// A server stopped mid-run (its connection stays open) ends the run within
// the reply time-out, 1 s here (the default ten minutes would outlast the
// 20 s wait), with exit 2 and one line naming the lost connection and the
// time-out (the line's form is SyncEngineFakeTest's).
TEST_F(FaultTest, LostServerEndsTheRunWithOneLine) {
  ASSERT_TRUE(server_.Start()) << server_.Log();
  ChildProcess client;
  ASSERT_NO_FATAL_FAILURE(StartBackupOfABigFile(&client, 10, 1000));
  ASSERT_TRUE(server_.process().Signal(SIGSTOP));
  int status = 0;
  const bool ended = client.Wait(20000, &status);
  server_.process().Signal(SIGCONT);
  ASSERT_TRUE(ended) << "the run still hangs 20 s after the server stopped answering";
  ASSERT_TRUE(WIFEXITED(status));
  const std::string output = ReadFile(tmp_.At("client.log"));
  EXPECT_EQ(WEXITSTATUS(status), 2) << output;
  EXPECT_EQ(CountOf(output, "与服务器的连接中断，备份中止: "), 1) << output;
  EXPECT_NE(output.find(": 服务器没有及时回应 (Error:10060)\n"), std::string::npos) << output;
}

}  // namespace
}  // namespace tervane::robust
