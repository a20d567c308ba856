#include "shared/platform/log_writer.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <system_error>

namespace tervane {
namespace {

// Lines taken from the queue for one write call.
constexpr size_t kBatchLines = 64;

}  // namespace

bool LevelKeeps(LogLevel level, LogKind kind) {
  switch (level) {
    case LogLevel::kRequests: return true;
    case LogLevel::kConnections: return kind != LogKind::kRequest;
    case LogLevel::kErrors: return kind == LogKind::kFailure;
  }
  return true;
}

LogWriter::LogWriter(int fd, size_t capacity)
    : fd_(fd), capacity_(std::max<size_t>(capacity, 2)), lines_(new Line[capacity_]) {}

LogWriter::~LogWriter() {
  if (thread_.joinable()) Stop(std::chrono::hours(24 * 365));
}

LogWriter& LogWriter::Global() {
  static LogWriter* writer = new LogWriter(STDOUT_FILENO, 4096);
  return *writer;
}

bool LogWriter::Start() {
  struct stat st;
  if (::fstat(fd_, &st) == 0 && S_ISREG(st.st_mode)) return true;
  {
    MutexLock lock(&mu_);
    if (mode_ != Mode::kDirect) return mode_ == Mode::kQueued;
    mode_ = Mode::kQueued;
    running_ = true;
    stopping_ = false;
  }
  try {
    thread_ = std::thread([this] { Run(); });
  } catch (const std::system_error&) {
    MutexLock lock(&mu_);
    mode_ = Mode::kDirect;
    running_ = false;
    return false;
  }
  return true;
}

bool LogWriter::Drain(std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  MutexLock lock(&mu_);
  while (count_ != 0 && running_ && written_.WaitUntil(deadline)) {
  }
  return count_ == 0 || !running_;
}

bool LogWriter::Stop(std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  {
    MutexLock lock(&mu_);
    if (!thread_.joinable()) return mode_ != Mode::kAbandoned;
    stopping_ = true;
    wake_.SignalAll();
    while (running_ && written_.WaitUntil(deadline)) {
    }
    if (running_) {
      mode_ = Mode::kAbandoned;
      thread_.detach();
      return false;
    }
  }
  thread_.join();
  return true;
}

void LogWriter::Write(LogKind kind, const char* text, size_t len) {
  if (!LevelKeeps(level(), kind)) return;
  len = std::min(len, kMaxLogLine);
  {
    MutexLock lock(&mu_);
    if (mode_ == Mode::kAbandoned) return;
    if (mode_ == Mode::kQueued) {
      // After a loss the count goes in first, where the lost lines would
      // have been; without room for both, this line is lost too.
      size_t room = capacity_ - count_;
      if (room < (dropped_ > 0 ? 2u : 1u)) {
        ++dropped_;
        return;
      }
      if (dropped_ > 0) PushDroppedLocked();
      PushLocked(text, len);
      wake_.Signal();
      return;
    }
  }
  WriteAll(text, len);  // direct: written at once, outside the lock
}

void LogWriter::Print(LogKind kind, const char* format, va_list args) {
  if (!LevelKeeps(level(), kind)) return;
  char line[kMaxLogLine + 1];
  int n = std::vsnprintf(line, sizeof line, format, args);
  if (n < 0) return;
  Write(kind, line, std::min(static_cast<size_t>(n), kMaxLogLine));
}

void LogWriter::PushLocked(const char* text, size_t len) {
  Line& line = lines_[(head_ + count_) % capacity_];
  std::memcpy(line.text, text, len);
  line.len = static_cast<uint16_t>(len);
  ++count_;
}

void LogWriter::PushDroppedLocked() {
  char text[64];
  int n = std::snprintf(text, sizeof text, "Log lines dropped: %llu\n", static_cast<unsigned long long>(dropped_));
  PushLocked(text, static_cast<size_t>(n));
  dropped_ = 0;
}

void LogWriter::Run() {
  char batch[kBatchLines * kMaxLogLine];
  mu_.Lock();
  for (;;) {
    while (count_ == 0 && !stopping_) wake_.Wait();
    if (count_ == 0) {
      // Stopping with everything written: lines lost last are still counted.
      if (dropped_ == 0) break;
      PushDroppedLocked();
    }
    // The oldest lines belong to this thread until it takes them off the
    // queue: loggers only ever fill slots behind them.
    size_t n = std::min(count_, kBatchLines);
    size_t first = head_;
    mu_.Unlock();
    size_t used = 0;
    for (size_t i = 0; i < n; ++i) {
      const Line& line = lines_[(first + i) % capacity_];
      std::memcpy(batch + used, line.text, line.len);
      used += line.len;
    }
    WriteAll(batch, used);
    mu_.Lock();
    head_ = (head_ + n) % capacity_;
    count_ -= n;
    written_.SignalAll();
  }
  if (mode_ == Mode::kQueued) mode_ = Mode::kDirect;
  stopping_ = false;
  running_ = false;
  written_.SignalAll();
  mu_.Unlock();
}

void LogWriter::WriteAll(const char* text, size_t len) {
  while (len > 0) {
    ssize_t n = ::write(fd_, text, len);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;  // a reader that went away loses the lines, nothing else
    }
    text += n;
    len -= static_cast<size_t>(n);
  }
}

void LogLine(LogKind kind, const char* format, ...) {
  va_list args;
  va_start(args, format);
  LogWriter::Global().Print(kind, format, args);
  va_end(args);
}

void VLogLine(LogKind kind, const char* format, va_list args) { LogWriter::Global().Print(kind, format, args); }

}  // namespace tervane
