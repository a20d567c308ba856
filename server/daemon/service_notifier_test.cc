#include "server/daemon/service_notifier.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

namespace tervane {
namespace {

// A notifier made with $NOTIFY_SOCKET set to `address` (unset when null).
bool NotifierFor(const char* address, const char* state, bool* enabled) {
  if (address) ::setenv("NOTIFY_SOCKET", address, 1);
  ServiceNotifier notifier;
  ::unsetenv("NOTIFY_SOCKET");
  *enabled = notifier.enabled();
  return notifier.Notify(state);
}

// Without a usable address every report is a no-op that succeeds; a send to
// an address nobody listens on fails.
TEST(ServiceNotifierTest, ReportsAreNoOpsWithoutAUsableAddress) {
  bool enabled = true;
  EXPECT_TRUE(NotifierFor(nullptr, "READY=1", &enabled));
  EXPECT_FALSE(enabled);
  EXPECT_TRUE(NotifierFor("vsock:2:1234", "READY=1", &enabled));
  EXPECT_FALSE(enabled);
  EXPECT_FALSE(NotifierFor("/tmp/tervane_notify_nobody_listens_here", "READY=1", &enabled));
  EXPECT_TRUE(enabled);
}

// Each state is one datagram, to a path socket and to an abstract one ("@").
TEST(ServiceNotifierTest, SendsEachStateAsOneDatagram) {
  for (bool abstract : {false, true}) {
    const std::string name = "/tmp/tervane_notify_" + std::to_string(::getpid());
    const std::string env = abstract ? "@" + name.substr(1) : name;
    int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, name.c_str(), name.size());
    if (abstract) addr.sun_path[0] = '\0';
    ::unlink(name.c_str());
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr),
                     static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size() + (abstract ? 0 : 1))),
              0);
    ::setenv("NOTIFY_SOCKET", env.c_str(), 1);
    ServiceNotifier notifier;
    ::unsetenv("NOTIFY_SOCKET");
    ASSERT_TRUE(notifier.enabled());
    for (const char* state : {"STATUS=Loading accounts", "READY=1", "STOPPING=1"}) {
      EXPECT_TRUE(notifier.Notify(state));
      pollfd p{fd, POLLIN, 0};
      char buf[512];
      ASSERT_EQ(::poll(&p, 1, 2000), 1);
      EXPECT_EQ(std::string(buf, static_cast<size_t>(::recv(fd, buf, sizeof buf, 0))), state);
    }
    ::close(fd);
    if (!abstract) ::unlink(name.c_str());
  }
}

}  // namespace
}  // namespace tervane
