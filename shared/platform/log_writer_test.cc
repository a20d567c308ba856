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

  // A run of the first lines, then the count of the rest, then the next line.
  int written = 0;
  size_t at = 0;
  char expected[128];
  for (;; ++written) {
    std::snprintf(expected, sizeof expected, "line %03d %s\n", written, std::string(80, 'x').c_str());
    if (text.compare(at, std::string(expected).size(), expected) != 0) break;
    at += std::string(expected).size();
  }
  EXPECT_GT(written, 0);
  EXPECT_LT(written, kLines);
  EXPECT_EQ(text.substr(at), "Log lines dropped: " + std::to_string(kLines - written) + "\nafter\n");
}

}  // namespace
}  // namespace tervane
