// The server's one logging function. Every line an operator reads on the
// server's standard output goes through here (the storage layer's delete
// lines use the same whole-line writer, so the two never mix).
#ifndef TERVANE_SERVER_NET_SERVER_LOG_H_
#define TERVANE_SERVER_NET_SERVER_LOG_H_

namespace tervane {

// Formats one line into a 256-byte buffer on the caller's stack (longer text
// is cut to 255 bytes) and writes it whole to standard output at once,
// bypassing stdio buffering, so a pipe or the journal sees each line as soon
// as it is logged. The formatted text is written as it is, never used as a
// format again. Every format carries its own "\n"; nothing is added.
// Thread-safe; allocates nothing; write errors are ignored.
void ServerLog(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace tervane

#endif  // TERVANE_SERVER_NET_SERVER_LOG_H_
