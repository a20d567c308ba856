// The lines restore and verify show about one path, and how they tell a
// failed file from a lost connection.
#ifndef TERVANE_CLIENT_APP_COPY_MESSAGES_H_
#define TERVANE_CLIENT_APP_COPY_MESSAGES_H_

#include <cstdint>
#include <string>

namespace tervane {

struct RemoteSession;

// "  <path>: <reason in words> (Error:<code>)\n", the line under a failure.
std::string FailureLine(const std::string& path, uint32_t code);

// The reason for `code` in words ("" when there are none for it).
std::string ResultWords(uint32_t code);

// True when the session's connection is gone (the library closes it on any
// socket failure or reply out of step): nothing more can be done on it.
bool ConnectionLost(RemoteSession* session);

// "%.1f" seconds since `start_ns` of a steady clock, and that clock now.
int64_t SteadyNowNs();
double SecondsSince(int64_t start_ns);

}  // namespace tervane

#endif  // TERVANE_CLIENT_APP_COPY_MESSAGES_H_
