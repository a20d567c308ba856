#include "server/daemon/service_notifier.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include <gtest/gtest.h>

namespace tervane {
namespace {

// A notifier made with $NOTIFY_SOCKET set to `address` (unset when null).
std::unique_ptr<ServiceNotifier> NotifierFor(const char* address) {
  if (address) ::setenv("NOTIFY_SOCKET", address, 1);
  auto notifier = std::make_unique<ServiceNotifier>();
  ::unsetenv("NOTIFY_SOCKET");
  return notifier;
}

// Without a usable address every report is a no-op that succeeds; a send to
// an address nobody listens on fails. Each state is one datagram; an abstract
// address ("@") here, a path one in every start of the real server.
TEST(ServiceNotifierTest, SendsEachStateAsOneDatagramOrNothingWithoutAnAddress) {
  for (const char* address : {static_cast<const char*>(nullptr), "vsock:2:1234", "@"}) {
    auto notifier = NotifierFor(address);
    EXPECT_FALSE(notifier->enabled()) << address;
    EXPECT_TRUE(notifier->Notify("READY=1"));
  }
  const std::string name = "/tmp/tervane_notify_" + std::to_string(::getpid());
  EXPECT_FALSE(NotifierFor(name.c_str())->Notify("READY=1"));  // nobody listens

  const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path + 1, name.c_str() + 1, name.size() - 1);
  const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), length), 0);
  auto notifier = NotifierFor(("@" + name.substr(1)).c_str());
  ASSERT_TRUE(notifier->enabled());
  EXPECT_TRUE(notifier->Notify("STATUS=Loading accounts"));
  pollfd p{fd, POLLIN, 0};
  char buf[512];
  ASSERT_EQ(::poll(&p, 1, 2000), 1);
  EXPECT_EQ(std::string(buf, static_cast<size_t>(::recv(fd, buf, sizeof buf, 0))), "STATUS=Loading accounts");
  ::close(fd);
}

}  // namespace
}  // namespace tervane
