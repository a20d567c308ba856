#include "server/net/server_log.h"

#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "shared/platform/stdout_line.h"
#include "testing/test_recorders.h"

namespace tervane {
namespace {

// Lines are written as formatted, in order, cut to 255 bytes; a '%' in an
// argument is text, never a format. At "errors" the storage layer's lines
// are failures by the result they end with; which kinds each level keeps is
// LogWriterTest's.
TEST(ServerLogTest, WritesLinesUnchangedCutsLongOnesAndAtErrorsOnlyFailures) {
  testing::CapturedStdout out;
  ServerLog(LogKind::kFailure, "[打开文件] Result: %d\n", 2);
  ServerLog(LogKind::kRequest, "%s", "100%d\n");
  ServerLog(LogKind::kRequest, "%s\n", std::string(400, 'x').c_str());
  LogWriter::Global().SetLevel(LogLevel::kErrors);
  PrintStdoutLine("MyDeleteFile:[%s] Result: %d\n", "/s/a/Mon/ok.txt", 0);
  PrintStdoutLine("MyDeleteFile:[%s] Result: %d\n", "/s/a/Mon/Result: 0", 5);
  LogWriter::Global().SetLevel(LogLevel::kRequests);
  out.Restore();
  EXPECT_EQ(out.Text(), "[打开文件] Result: 2\n100%d\n" + std::string(255, 'x') +
                            "MyDeleteFile:[/s/a/Mon/Result: 0] Result: 5\n");
}

// Identical lines from four threads: any line torn by another's shows as a
// change in the whole output.
TEST(ServerLogTest, LinesFromManyThreadsStayWhole) {
  const std::string line(60, 'x');
  testing::CapturedStdout out;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 200; ++i) ServerLog(LogKind::kRequest, "%s\n", line.c_str());
    });
  }
  for (auto& th : threads) th.join();
  out.Restore();
  std::string expected;
  for (int i = 0; i < 800; ++i) expected += line + "\n";
  EXPECT_EQ(out.Text(), expected);
}

}  // namespace
}  // namespace tervane
