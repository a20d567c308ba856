// The lines restore and verify show about one path, and how they tell a
// failed file from a lost connection.
#ifndef TERVANE_CLIENT_APP_COPY_MESSAGES_H_
#define TERVANE_CLIENT_APP_COPY_MESSAGES_H_

#include <cstdint>
#include <string>

namespace tervane {

struct RemoteSession;

// "  <path>: <reason in words> (Error:<code>)\n", the line under a failure,
// as a backup run writes it under "上传失败".
std::string FailureLine(const std::string& path, uint32_t code);

// True when the session's connection is gone (the library closes it on any
// socket failure or reply out of step): nothing more can be done on it.
bool ConnectionLost(RemoteSession* session);

// A steady clock in nanoseconds, and whole seconds since one of its readings.
int64_t SteadyNowNs();
int64_t SecondsSince(int64_t start_ns);

}  // namespace tervane

#endif  // TERVANE_CLIENT_APP_COPY_MESSAGES_H_
