#include "server/net/server_log.h"

#include <cstdarg>

namespace tervane {

void ServerLog(LogKind kind, const char* format, ...) {
  va_list args;
  va_start(args, format);
  VLogLine(kind, format, args);
  va_end(args);
}

}  // namespace tervane
