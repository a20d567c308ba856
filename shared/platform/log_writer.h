// The server's log writer. A thread that logs only copies its line into a
// bounded queue; a thread of the writer's own writes the queue to the output.
// So a reader that stalls (a full pipe, a journal that does not read) never
// holds up a request: when the queue is full, lines are dropped and counted,
// and a line saying how many were dropped takes their place once there is
// room again. Lines keep their order and their bytes. (Written to a regular
// file, which never waits for a reader, lines go out at once instead.)
//
// Which lines are written at all is the log level's choice: every line has a
// kind, and a level keeps some kinds.
//
// Thread-safety: Write, Print and SetLevel may be called from any thread at
// any time; Start, Drain and Stop from one controlling thread. No allocation
// after construction; the queue is allocated once.
#ifndef TERVANE_SHARED_PLATFORM_LOG_WRITER_H_
#define TERVANE_SHARED_PLATFORM_LOG_WRITER_H_

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <thread>

#include "shared/platform/mutex.h"

namespace tervane {

enum class LogKind : uint8_t {
  kRequest,     // a request served with result 0
  kConnection,  // connections, sessions, accounts, the service's start and stop
  kFailure,     // a request or anything else that failed
};

enum class LogLevel : uint8_t {
  kRequests,     // every line
  kConnections,  // connection and failure lines
  kErrors,       // failure lines only
};

// A request's line is a failure when its result is not 0.
inline LogKind RequestLineKind(uint32_t result) { return result == 0 ? LogKind::kRequest : LogKind::kFailure; }

// Whether `level` keeps lines of `kind`.
bool LevelKeeps(LogLevel level, LogKind kind);

// The longest line, in bytes; longer text is cut to it.
inline constexpr size_t kMaxLogLine = 255;

class LogWriter {
 public:
  // Writes to descriptor `fd` (not owned); the queue holds `capacity` lines
  // (at least 2). Until Start, and after a Stop that ended the thread, lines
  // are written at once by the thread that logs them.
  LogWriter(int fd, size_t capacity);
  // Stops without a bound on the wait. Must not run after a Stop that
  // returned false (the thread may still use the object).
  ~LogWriter();
  LogWriter(const LogWriter&) = delete;
  LogWriter& operator=(const LogWriter&) = delete;

  // The writer of the process's standard output, 4096 lines. Never
  // destroyed, so a thread stuck on a stalled output can outlive main.
  static LogWriter& Global();

  void SetLevel(LogLevel level) { level_.store(level, std::memory_order_relaxed); }
  LogLevel level() const { return level_.load(std::memory_order_relaxed); }

  // Starts the writing thread, unless the output is a regular file: a file
  // never waits for a reader, so its lines stay written at once, in the
  // order of the events they tell of. False (and lines stay written at
  // once) when the thread cannot be started.
  bool Start() EXCLUDES(mu_);

  // Waits at most `limit` until every line queued so far is written; false
  // when some are still waiting.
  bool Drain(std::chrono::milliseconds limit) EXCLUDES(mu_);

  // Writes what is queued (and the count of dropped lines, if any) within
  // `limit` and ends the thread. False when the output stayed stalled: the
  // thread is then left to the process's end and later lines are dropped.
  bool Stop(std::chrono::milliseconds limit) EXCLUDES(mu_);

  // Queues text[0..len) (cut to kMaxLogLine) if the level keeps `kind`.
  void Write(LogKind kind, const char* text, size_t len) EXCLUDES(mu_);
  // printf-style; the formatted text is queued, never used as a format.
  void Print(LogKind kind, const char* format, va_list args) __attribute__((format(printf, 3, 0)));

 private:
  struct Line {
    uint16_t len;
    char text[kMaxLogLine + 1];
  };
  enum class Mode : uint8_t { kDirect, kQueued, kAbandoned };

  void Run() EXCLUDES(mu_);
  // Queues one line at the tail; the caller has checked room.
  void PushLocked(const char* text, size_t len) REQUIRES(mu_);
  void PushDroppedLocked() REQUIRES(mu_);
  void WriteAll(const char* text, size_t len);

  const int fd_;
  const size_t capacity_;
  // The slots from head_ on are the writing thread's while it writes them
  // (it takes them off the queue only afterwards); loggers fill only the
  // slots behind them. So the lines themselves need no lock.
  std::unique_ptr<Line[]> lines_;
  std::atomic<LogLevel> level_{LogLevel::kRequests};

  Mutex mu_;
  CondVar wake_{&mu_};     // lines queued, or the stop
  CondVar written_{&mu_};  // the queue got shorter, or the thread ended
  Mode mode_ GUARDED_BY(mu_) = Mode::kDirect;
  size_t head_ GUARDED_BY(mu_) = 0;     // oldest queued line
  size_t count_ GUARDED_BY(mu_) = 0;    // lines queued, the writing batch included
  uint64_t dropped_ GUARDED_BY(mu_) = 0;  // dropped since the last count was queued
  bool stopping_ GUARDED_BY(mu_) = false;
  bool running_ GUARDED_BY(mu_) = false;  // the thread has not ended
  std::thread thread_;  // the controlling thread's
};

// Formats with `format` and hands the line to LogWriter::Global().
void LogLine(LogKind kind, const char* format, ...) __attribute__((format(printf, 2, 3)));
void VLogLine(LogKind kind, const char* format, va_list args) __attribute__((format(printf, 2, 0)));

}  // namespace tervane

#endif  // TERVANE_SHARED_PLATFORM_LOG_WRITER_H_
