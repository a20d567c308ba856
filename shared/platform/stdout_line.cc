#include "shared/platform/stdout_line.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <string_view>

#include "shared/platform/log_writer.h"

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

namespace {

// The kind of a storage line from its text: its result is the number after
// the last "Result: ".
LogKind KindOfLine(std::string_view line) {
  size_t at = line.rfind("Result: ");
  if (at == std::string_view::npos) return LogKind::kRequest;
  std::string_view number = line.substr(at + 8);
  return number.starts_with("0\n") || number == "0" ? LogKind::kRequest : LogKind::kFailure;
}

}  // namespace

void VPrintStdoutLine(const char* format, va_list args) {
  char line[kMaxLogLine + 1];
  int n = std::vsnprintf(line, sizeof line, format, args);
  if (n < 0) return;
  size_t len = std::min(static_cast<size_t>(n), kMaxLogLine);
  LogWriter::Global().Write(KindOfLine(std::string_view(line, len)), line, len);
}

}  // namespace tervane
