#include "server/net/server_log.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "testing/captured_stdout.h"
#include "shared/platform/stdout_line.h"

namespace tervane {
namespace {

using testing::CapturedStdout;

TEST(ServerLogTest, WritesFormattedLinesUnchangedAndInOrder) {
  CapturedStdout out;
  ServerLog(LogKind::kFailure, "[打开文件] Result: %d\n", 2);
  ServerLog(LogKind::kConnection, "客户机:[%s] 连接文件服务器!\n", "127.0.0.1");
  // A '%' in an argument is written as text, never taken as a format.
  ServerLog(LogKind::kRequest, "%s", "100%d\n");
  out.Restore();
  EXPECT_EQ(out.Text(),
            "[打开文件] Result: 2\n"
            "客户机:[127.0.0.1] 连接文件服务器!\n"
            "100%d\n");
}

TEST(ServerLogTest, CutsLongLinesTo255Bytes) {
  CapturedStdout out;
  std::string long_text(400, 'x');
  ServerLog(LogKind::kRequest, "%s\n", long_text.c_str());
  out.Restore();
  EXPECT_EQ(out.Text(), std::string(255, 'x'));
}

// The storage layer's lines are failures by the result they end with.
TEST(ServerLogTest, AtErrorsOnlyFailuresAreWrittenStorageLinesIncluded) {
  CapturedStdout out;
  LogWriter::Global().SetLevel(LogLevel::kErrors);
  ServerLog(LogKind::kConnection, "Client is close socket!\n");
  ServerLog(RequestLineKind(0), "[移除目录] Result: %d\n", 0);
  ServerLog(RequestLineKind(145), "[移除目录] Result: %d\n", 145);
  PrintStdoutLine("MyDeleteFile:[%s] Result: %d\n", "/s/a/Mon/ok.txt", 0);
  PrintStdoutLine("MyDeleteFile:[%s] Result: %d\n", "/s/a/Mon/Result: 0", 5);
  LogWriter::Global().SetLevel(LogLevel::kRequests);
  out.Restore();
  EXPECT_EQ(out.Text(), "[移除目录] Result: 145\nMyDeleteFile:[/s/a/Mon/Result: 0] Result: 5\n");
}

TEST(ServerLogTest, LinesFromManyThreadsStayWhole) {
  CapturedStdout out;
  constexpr int kThreads = 4;
  constexpr int kLines = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kLines; ++i) {
        ServerLog(LogKind::kRequest, "thread %d line %03d ................................\n", t, i);
      }
    });
  }
  for (auto& th : threads) th.join();
  out.Restore();
  std::string text = out.Text();
  size_t lines = 0;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    ASSERT_NE(end, std::string::npos);
    std::string line = text.substr(start, end - start);
    int t = -1, i = -1;
    ASSERT_EQ(std::sscanf(line.c_str(), "thread %d line %d", &t, &i), 2) << line;
    EXPECT_EQ(line.size(), std::string("thread 0 line 000 ................................").size());
    ++lines;
    start = end + 1;
  }
  EXPECT_EQ(lines, static_cast<size_t>(kThreads * kLines));
}

}  // namespace
}  // namespace tervane
