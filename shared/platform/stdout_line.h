// Whole lines to standard output: the client's printed results, and the
// storage layer's delete lines, which go through the server's log writer
// like every other log line (shared/platform/log_writer.h).
#ifndef TERVANE_SHARED_PLATFORM_STDOUT_LINE_H_
#define TERVANE_SHARED_PLATFORM_STDOUT_LINE_H_

#include <cstdarg>
#include <cstddef>

namespace tervane {

// Writes text[0..len) to file descriptor 1 with as few write calls as the
// kernel allows (one for a line shorter than a pipe buffer), bypassing stdio
// buffering. Thread-safe; allocates nothing; errors are ignored.
void WriteStdoutLine(const char* text, size_t len);

// A storage log line, printf-style: formatted into a 256-byte buffer (longer
// text is cut to 255 bytes) and handed to LogWriter::Global(). A line that
// ends in "Result: N\n" with N other than 0 is a failure line, any other a
// request line.
void PrintStdoutLine(const char* format, ...) __attribute__((format(printf, 1, 2)));
void VPrintStdoutLine(const char* format, va_list args) __attribute__((format(printf, 1, 0)));

}  // namespace tervane

#endif  // TERVANE_SHARED_PLATFORM_STDOUT_LINE_H_
