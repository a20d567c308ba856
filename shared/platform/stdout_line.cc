#include "shared/platform/stdout_line.h"

#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>

namespace tervane {

void WriteStdoutLine(const char* text, size_t len) {
  while (len > 0) {
    ssize_t n = ::write(STDOUT_FILENO, text, len);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    text += n;
    len -= static_cast<size_t>(n);
  }
}

void PrintStdoutLine(const char* format, ...) {
  va_list args;
  va_start(args, format);
  VPrintStdoutLine(format, args);
  va_end(args);
}

void VPrintStdoutLine(const char* format, va_list args) {
  char line[256];
  int n = std::vsnprintf(line, sizeof line, format, args);
  if (n < 0) return;
  size_t len = static_cast<size_t>(n) < sizeof line ? static_cast<size_t>(n) : sizeof line - 1;
  WriteStdoutLine(line, len);
}

}  // namespace tervane
