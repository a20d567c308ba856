// The server's one logging function. Every line an operator reads on the
// server's standard output goes through here or, for the storage layer's
// delete lines, through the same log writer (shared/platform/log_writer.h),
// so lines never mix and a stalled reader never holds up a request.
#ifndef TERVANE_SERVER_NET_SERVER_LOG_H_
#define TERVANE_SERVER_NET_SERVER_LOG_H_

#include "shared/platform/log_writer.h"

namespace tervane {

// Formats one line into a 256-byte buffer on the caller's stack (longer text
// is cut to 255 bytes) and hands it to the process's log writer, which keeps
// it or not by the log level and `kind`. The formatted text is written as it
// is, never used as a format again. Every format carries its own "\n";
// nothing is added. Thread-safe; allocates nothing; never waits for the
// output.
void ServerLog(LogKind kind, const char* format, ...) __attribute__((format(printf, 2, 3)));

}  // namespace tervane

#endif  // TERVANE_SERVER_NET_SERVER_LOG_H_
