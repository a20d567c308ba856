#include "server/net/server_log.h"

#include <cstdarg>
#include <cstddef>
#include <cstdio>

#include "shared/platform/stdout_line.h"

namespace tervane {

void ServerLog(const char* format, ...) {
  char line[256];
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  if (n < 0) return;
  size_t len = static_cast<size_t>(n) < sizeof line ? static_cast<size_t>(n) : sizeof line - 1;
  WriteStdoutLine(line, len);
}

}  // namespace tervane
