// tervane_session_holder: holds protocol sessions open on a server, so that
// scripts/bench can measure the server's memory with its connection slots in
// use while a backup runs beside them.
//
//   tervane_session_holder --port N [--count N] [--address A]
//
// Opens `count` sessions (default 9) to `address` (default 127.0.0.1), each
// answered by one heartbeat, prints "ready N" and keeps them alive with a
// heartbeat a minute (well inside the server's five-minute idle limit) until
// standard input ends; then closes them. Exit status 0, 1 when a session
// failed (with the code on standard error), 2 for a usage error.
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "client/net/remote_path_ops.h"
#include "client/net/remote_session.h"
#include "shared/protocol/result.h"

namespace {

constexpr int kHeartbeatPeriodMs = 60000;

int Usage() {
  std::fputs("usage: tervane_session_holder --port N [--count N] [--address A]\n", stderr);
  return 2;
}

// A decimal number in [1, max], else 0.
unsigned long Number(const char* text, unsigned long max) {
  if (text == nullptr || *text < '0' || *text > '9') return 0;
  char* end = nullptr;
  errno = 0;
  unsigned long value = std::strtoul(text, &end, 10);
  return errno == 0 && *end == '\0' && value <= max ? value : 0;
}

int Fail(const char* what, size_t open, tervane::Result rc) {
  std::fprintf(stderr, "tervane_session_holder: %s failed with %zu sessions open [Error:%u]\n", what, open,
               rc.code());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::string address = "127.0.0.1";
  unsigned long port = 0, count = 9;
  for (int i = 1; i < argc; i += 2) {
    std::string_view name = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    if (name == "--port") {
      if ((port = Number(value, 65535)) == 0) return Usage();
    } else if (name == "--count") {
      if ((count = Number(value, 1000)) == 0) return Usage();
    } else if (name == "--address" && value != nullptr) {
      address = value;
    } else {
      return Usage();
    }
  }
  if (port == 0) return Usage();

  std::vector<tervane::RemoteSession*> sessions;
  int status = 0;
  for (unsigned long i = 0; i < count && status == 0; ++i) {
    tervane::RemoteSession* session = nullptr;
    tervane::Result rc = KOVA_Connect(address.c_str(), &session, static_cast<uint16_t>(port));
    if (!rc.ok()) {
      status = Fail("connect", sessions.size(), rc);
      break;
    }
    sessions.push_back(session);
    rc = KOVA_Heartbeat(session);
    if (!rc.ok()) status = Fail("heartbeat", sessions.size(), rc);
  }
  if (status == 0) {
    std::printf("ready %zu\n", sessions.size());
    std::fflush(stdout);
  }
  // Until standard input ends (the script closes it, or is gone).
  while (status == 0) {
    pollfd pfd{STDIN_FILENO, POLLIN, 0};
    int ready = ::poll(&pfd, 1, kHeartbeatPeriodMs);
    if (ready < 0 && errno == EINTR) continue;
    if (ready == 0) {
      for (size_t i = 0; i < sessions.size() && status == 0; ++i) {
        tervane::Result rc = KOVA_Heartbeat(sessions[i]);
        if (!rc.ok()) status = Fail("heartbeat", sessions.size(), rc);
      }
      continue;
    }
    char bytes[256];
    if (ready < 0 || ::read(STDIN_FILENO, bytes, sizeof bytes) <= 0) break;
  }
  // The sessions only held slots; how each one ends changes nothing.
  for (tervane::RemoteSession* session : sessions) static_cast<void>(KOVA_Disconnect(session));
  return status;
}
