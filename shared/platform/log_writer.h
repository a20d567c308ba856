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
#include <condition_variable>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

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
  bool Start();

  // Waits at most `limit` until every line queued so far is written; false
  // when some are still waiting.
  bool Drain(std::chrono::milliseconds limit);

  // Writes what is queued (and the count of dropped lines, if any) within
  // `limit` and ends the thread. False when the output stayed stalled: the
  // thread is then left to the process's end and later lines are dropped.
  bool Stop(std::chrono::milliseconds limit);

  // Queues text[0..len) (cut to kMaxLogLine) if the level keeps `kind`.
  void Write(LogKind kind, const char* text, size_t len);
  // printf-style; the formatted text is queued, never used as a format.
  void Print(LogKind kind, const char* format, va_list args) __attribute__((format(printf, 3, 0)));

 private:
  struct Line {
    uint16_t len;
    char text[kMaxLogLine + 1];
  };
  enum class Mode : uint8_t { kDirect, kQueued, kAbandoned };

  void Run();
  // Queues one line at the tail; the caller holds mu_ and has checked room.
  void PushLocked(const char* text, size_t len);
  void PushDroppedLocked();
  void WriteAll(const char* text, size_t len);

  const int fd_;
  const size_t capacity_;
  std::unique_ptr<Line[]> lines_;
  std::atomic<LogLevel> level_{LogLevel::kRequests};

  std::mutex mu_;
  std::condition_variable wake_;     // lines queued, or the stop
  std::condition_variable written_;  // the queue got shorter, or the thread ended
  Mode mode_ = Mode::kDirect;        // GUARDED_BY(mu_)
  size_t head_ = 0;                  // GUARDED_BY(mu_): oldest queued line
  size_t count_ = 0;                 // GUARDED_BY(mu_): lines queued, the writing batch included
  uint64_t dropped_ = 0;             // GUARDED_BY(mu_): dropped since the last count was queued
  bool stopping_ = false;            // GUARDED_BY(mu_)
  bool running_ = false;             // GUARDED_BY(mu_): the thread has not ended
  std::thread thread_;
};

// Formats with `format` and hands the line to LogWriter::Global().
void LogLine(LogKind kind, const char* format, ...) __attribute__((format(printf, 2, 3)));
void VLogLine(LogKind kind, const char* format, va_list args) __attribute__((format(printf, 2, 0)));

}  // namespace tervane

#endif  // TERVANE_SHARED_PLATFORM_LOG_WRITER_H_
