#include "server/net/server_log.h"

#include <cstdarg>

#include "shared/platform/stdout_line.h"

namespace tervane {

void ServerLog(const char* format, ...) {
  va_list args;
  va_start(args, format);
  VPrintStdoutLine(format, args);
  va_end(args);
}

}  // namespace tervane
