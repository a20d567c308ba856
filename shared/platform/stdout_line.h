// Whole lines to standard output. The server's log lines and the storage
// layer's delete lines share this one stream, so that lines from different
// threads never mix and each reaches a pipe or the journal at once.
#ifndef TERVANE_SHARED_PLATFORM_STDOUT_LINE_H_
#define TERVANE_SHARED_PLATFORM_STDOUT_LINE_H_

#include <cstdarg>
#include <cstddef>

namespace tervane {

// Writes text[0..len) to file descriptor 1 with as few write calls as the
// kernel allows (one for a line shorter than a pipe buffer), bypassing stdio
// buffering. Thread-safe; allocates nothing; errors are ignored.
void WriteStdoutLine(const char* text, size_t len);

// printf-style: formats into a 256-byte buffer (longer text is cut to 255
// bytes) and writes it with WriteStdoutLine.
void PrintStdoutLine(const char* format, ...) __attribute__((format(printf, 1, 2)));
void VPrintStdoutLine(const char* format, va_list args) __attribute__((format(printf, 1, 0)));

}  // namespace tervane

#endif  // TERVANE_SHARED_PLATFORM_STDOUT_LINE_H_
