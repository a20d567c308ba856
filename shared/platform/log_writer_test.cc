#include "shared/platform/log_writer.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include <gtest/gtest.h>

namespace tervane {
namespace {

// A pipe whose write end the writer gets; the test reads the other end.
struct Pipe {
  Pipe() { EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0); }
  ~Pipe() { CloseWriteEnd(), ::close(fds[0]); }
  void CloseWriteEnd() { fds[1] = fds[1] >= 0 ? ::close(fds[1]), -1 : -1; }
  std::string ReadToEnd() const {  // until the write end is closed
    std::string text;
    char chunk[4096];
    for (ssize_t n; (n = ::read(fds[0], chunk, sizeof chunk)) > 0;) text.append(chunk, static_cast<size_t>(n));
    return text;
  }
  int fds[2] = {-1, -1};
};

void Log(LogWriter& writer, LogKind kind, const std::string& text) { writer.Write(kind, text.data(), text.size()); }

TEST(LogWriterTest, EachLevelKeepsItsKindsOfLine) {
  Pipe pipe;
  LogWriter writer(pipe.fds[1], 8);  // not started: each line is written at once
  for (LogLevel level : {LogLevel::kRequests, LogLevel::kConnections, LogLevel::kErrors}) {
    writer.SetLevel(level);
    Log(writer, LogKind::kRequest, "request\n");
    Log(writer, LogKind::kConnection, "connection\n");
    Log(writer, RequestLineKind(2), "failure\n");
  }
  pipe.CloseWriteEnd();
  EXPECT_EQ(pipe.ReadToEnd(), "request\nconnection\nfailure\nconnection\nfailure\nfailure\n");
  EXPECT_EQ(RequestLineKind(0), LogKind::kRequest);
}

// Nobody reads the output: logging still returns at once; the lines that did
// not fit are dropped and counted, and the count comes out in their place
// once the output is read again. Lines keep their order and bytes.
TEST(LogWriterTest, AStalledReaderNeverHoldsUpTheLoggerAndLearnsWhatWasDropped) {
  Pipe pipe;
  ASSERT_GT(::fcntl(pipe.fds[1], F_SETPIPE_SZ, 4096), 0);
  LogWriter writer(pipe.fds[1], 4);
  ASSERT_TRUE(writer.Start());
  constexpr int kLines = 300;
  auto line = [](int i) { return "line " + std::to_string(1000 + i) + " " + std::string(80, 'x') + "\n"; };
  std::atomic<bool> logged{false};
  std::thread logger([&] {
    for (int i = 0; i < kLines; ++i) Log(writer, LogKind::kRequest, line(i));
    logged.store(true);
  });
  for (int i = 0; i < 1000 && !logged.load(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_TRUE(logged.load()) << "logging waited for the stalled output";

  std::string text;
  std::thread reader([&] { text = pipe.ReadToEnd(); });
  logger.join();
  ASSERT_TRUE(writer.Drain(std::chrono::seconds(10)));
  Log(writer, LogKind::kRequest, "after\n");
  ASSERT_TRUE(writer.Stop(std::chrono::seconds(10)));
  pipe.CloseWriteEnd();
  reader.join();

  // Every line whole and in order; wherever lines are missing, the count of
  // exactly those in their place; then the next line and nothing after it.
  std::string expected;
  int next = 0, written = 0, count = 0;
  for (size_t at = 0, end; next < kLines && (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
    const std::string got = text.substr(at, end + 1 - at);
    if (std::sscanf(got.c_str(), "Log lines dropped: %d\n", &count) == 1 && count > 0) {
      expected += "Log lines dropped: " + std::to_string(count) + "\n";
      next += count;
    } else {
      expected += line(next++);
      ++written;
    }
  }
  EXPECT_EQ(text, expected + "after\n");
  EXPECT_EQ(next, kLines);
  EXPECT_LT(written, kLines);
}

}  // namespace
}  // namespace tervane
