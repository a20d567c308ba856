#include "bench/child_server.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include "bench/session_holder.h"

namespace tervane::bench {
namespace {

std::string Read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

int Count(const std::string& hay, const std::string& needle) {
  int n = 0;
  for (size_t at = hay.find(needle); at != std::string::npos; at = hay.find(needle, at + needle.size())) ++n;
  return n;
}

// The log is written by the server as it goes; wait for what is expected.
bool WaitForLog(const ChildServer& server, const std::string& text, int count) {
  for (int i = 0; i < 500; ++i) {
    if (Count(Read(server.log_path()), text) >= count) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

TEST(ChildServerTest, ServesHeldSessionsAndStopsCleanly) {
  ChildServer server;
  ASSERT_EQ(server.Start("/tmp"), 0u) << Read(server.log_path());
  ASSERT_TRUE(server.running());
  EXPECT_NE(server.port(), 0);
  std::string dir = server.directory();
  struct stat st {};
  EXPECT_EQ(::stat(server.share().c_str(), &st), 0);

  {
    SessionHolder holder;
    ASSERT_EQ(holder.Open("127.0.0.1", server.port(), 3), 0u);
    EXPECT_EQ(holder.size(), 3u);
    EXPECT_EQ(holder.Heartbeat(), 0u);
    EXPECT_TRUE(WaitForLog(server, "[打开会话]", 3));
    EXPECT_TRUE(WaitForLog(server, "[心跳包]", 6));  // one at open, one more each
    uint64_t peak = server.PeakRssKib();
    EXPECT_GT(peak, 0u);
    EXPECT_LT(peak, 1024u * 1024);
    holder.CloseAll();
    EXPECT_EQ(holder.size(), 0u);
    EXPECT_TRUE(WaitForLog(server, "[关闭会话]", 3));
  }

  EXPECT_EQ(server.Stop(), 0);
  EXPECT_FALSE(server.running());
  EXPECT_EQ(server.PeakRssKib(), 0u);
  EXPECT_EQ(server.Stop(), -1);  // nothing left to stop
  EXPECT_EQ(::stat(dir.c_str(), &st), 0);  // kept until the object goes
}

TEST(ChildServerTest, TheScratchDirectoryGoesWithTheObject) {
  std::string dir;
  {
    ChildServer server;
    ASSERT_EQ(server.Start("/tmp"), 0u);
    dir = server.directory();
  }
  struct stat st {};
  EXPECT_NE(::stat(dir.c_str(), &st), 0);
}

TEST(ChildServerTest, AServerThatCannotStartIsReported) {
  ChildServer missing("/nonexistent/tervanesvr");
  EXPECT_NE(missing.Start("/tmp"), 0u);
  EXPECT_FALSE(missing.running());
  ChildServer nowhere;
  EXPECT_NE(nowhere.Start("/nonexistent-parent"), 0u);
}

TEST(SessionHolderTest, NoServerNoSessions) {
  uint16_t port = PickFreePort();
  ASSERT_NE(port, 0);
  SessionHolder holder;
  EXPECT_NE(holder.Open("127.0.0.1", port, 2), 0u);
  EXPECT_EQ(holder.size(), 0u);
  EXPECT_EQ(holder.Heartbeat(), 0u);  // nothing to send on
}

TEST(RemoveTreeTest, RemovesEverythingButFollowsNoLink) {
  char name[] = "/tmp/tervane-remove-XXXXXX";
  ASSERT_NE(::mkdtemp(name), nullptr);
  std::string top = name;
  ASSERT_EQ(::mkdir((top + "/keep").c_str(), 0755), 0);
  std::ofstream(top + "/keep/file") << "kept";
  ASSERT_EQ(::mkdir((top + "/gone").c_str(), 0755), 0);
  ASSERT_EQ(::mkdir((top + "/gone/sub").c_str(), 0755), 0);
  std::ofstream(top + "/gone/sub/file") << "x";
  ASSERT_EQ(::symlink((top + "/keep").c_str(), (top + "/gone/link").c_str()), 0);
  EXPECT_EQ(RemoveTree(top + "/gone"), 0u);
  struct stat st {};
  EXPECT_NE(::lstat((top + "/gone").c_str(), &st), 0);
  EXPECT_EQ(Read(top + "/keep/file"), "kept");
  EXPECT_EQ(RemoveTree(top + "/gone"), 0u);  // already gone
  EXPECT_EQ(RemoveTree(top), 0u);
  EXPECT_NE(::lstat(top.c_str(), &st), 0);
}

}  // namespace
}  // namespace tervane::bench
