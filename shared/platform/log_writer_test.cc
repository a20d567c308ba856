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
  Pipe() {
    int fds[2];
    EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    read_fd = fds[0];
    write_fd = fds[1];
  }
  ~Pipe() {
    CloseWriteEnd();
    ::close(read_fd);
  }
  void CloseWriteEnd() {
    if (write_fd >= 0) ::close(write_fd);
    write_fd = -1;
  }
  // Everything until the write end is closed.
  std::string ReadToEnd() const {
    std::string text;
    char chunk[4096];
    ssize_t n;
    while ((n = ::read(read_fd, chunk, sizeof chunk)) > 0) text.append(chunk, static_cast<size_t>(n));
    return text;
  }
  int read_fd = -1;
  int write_fd = -1;
};

void Log(LogWriter& writer, LogKind kind, const char* text) { writer.Write(kind, text, std::string(text).size()); }

TEST(LogWriterTest, EachLevelKeepsItsKindsOfLine) {
  const struct {
    LogLevel level;
    const char* expected;
  } cases[] = {
      {LogLevel::kRequests, "request\nconnection\nfailure\n"},
      {LogLevel::kConnections, "connection\nfailure\n"},
      {LogLevel::kErrors, "failure\n"},
  };
  for (const auto& c : cases) {
    Pipe pipe;
    LogWriter writer(pipe.write_fd, 8);
    writer.SetLevel(c.level);
    Log(writer, LogKind::kRequest, "request\n");
    Log(writer, LogKind::kConnection, "connection\n");
    Log(writer, LogKind::kFailure, "failure\n");
    pipe.CloseWriteEnd();
    EXPECT_EQ(pipe.ReadToEnd(), c.expected) << static_cast<int>(c.level);
  }
  EXPECT_EQ(RequestLineKind(0), LogKind::kRequest);
  EXPECT_EQ(RequestLineKind(2), LogKind::kFailure);
}

// Nobody reads the output: logging still returns at once; the lines that did
// not fit are dropped and counted, and the count comes out in their place
// once the output is read again. Lines keep their order and bytes.
TEST(LogWriterTest, AStalledReaderNeverHoldsUpTheLoggerAndLearnsWhatWasDropped) {
  Pipe pipe;
  ASSERT_GT(::fcntl(pipe.write_fd, F_SETPIPE_SZ, 4096), 0);
  LogWriter writer(pipe.write_fd, 4);
  ASSERT_TRUE(writer.Start());
  constexpr int kLines = 300;
  std::atomic<bool> logged{false};
  std::thread logger([&] {
    char line[128];
    for (int i = 0; i < kLines; ++i) {
      int n = std::snprintf(line, sizeof line, "line %03d %s\n", i, std::string(80, 'x').c_str());
      writer.Write(LogKind::kRequest, line, static_cast<size_t>(n));
    }
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
  // exactly those in their place; then the next line.
  int next = 0;
  int written = 0;
  size_t at = 0;
  while (at < text.size() && next <= kLines) {
    size_t end = text.find('\n', at);
    ASSERT_NE(end, std::string::npos);
    const std::string line = text.substr(at, end + 1 - at);
    at = end + 1;
    int count = 0;
    if (std::sscanf(line.c_str(), "Log lines dropped: %d\n", &count) == 1) {
      EXPECT_EQ(line, "Log lines dropped: " + std::to_string(count) + "\n");
      next += count;
      continue;
    }
    if (line == "after\n") break;
    char expected[128];
    std::snprintf(expected, sizeof expected, "line %03d %s\n", next, std::string(80, 'x').c_str());
    ASSERT_EQ(line, expected);
    ++next;
    ++written;
  }
  EXPECT_EQ(next, kLines);
  EXPECT_EQ(text.substr(at), "") << "nothing after the next line";
  EXPECT_TRUE(text.ends_with("after\n"));
  EXPECT_LT(written, kLines);
}

}  // namespace
}  // namespace tervane
