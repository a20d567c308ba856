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

// A datagram socket standing in for the service manager's notify socket.
class FakeManager {
 public:
  explicit FakeManager(bool abstract) {
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::string name = "/tmp/tervane_notify_" + std::to_string(::getpid()) + (abstract ? "_a" : "_p");
    socklen_t len;
    if (abstract) {
      env_ = "@" + name.substr(1);
      std::memcpy(addr.sun_path + 1, name.c_str() + 1, name.size() - 1);
      len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
    } else {
      ::unlink(name.c_str());
      path_ = name;
      env_ = name;
      std::memcpy(addr.sun_path, name.c_str(), name.size());
      len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size() + 1);
    }
    bound_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), len) == 0;
  }
  ~FakeManager() {
    ::close(fd_);
    if (!path_.empty()) ::unlink(path_.c_str());
  }
  bool bound() const { return bound_; }
  const std::string& env() const { return env_; }
  // One datagram, or "" after 2 s without one.
  std::string Receive() {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, 2000) != 1) return "";
    char buf[512];
    ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
  }

 private:
  int fd_ = -1;
  bool bound_ = false;
  std::string env_;
  std::string path_;
};

TEST(ServiceNotifierTest, WithoutNotifySocketEveryReportIsANoOp) {
  ::unsetenv("NOTIFY_SOCKET");
  ServiceNotifier notifier;
  EXPECT_FALSE(notifier.enabled());
  EXPECT_TRUE(notifier.Notify("READY=1"));
}

TEST(ServiceNotifierTest, IgnoresAnAddressItCannotUse) {
  ::setenv("NOTIFY_SOCKET", "vsock:2:1234", 1);
  ServiceNotifier notifier;
  ::unsetenv("NOTIFY_SOCKET");
  EXPECT_FALSE(notifier.enabled());
  EXPECT_TRUE(notifier.Notify("READY=1"));
}

TEST(ServiceNotifierTest, SendsEachStateAsOneDatagram) {
  for (bool abstract : {false, true}) {
    FakeManager manager(abstract);
    ASSERT_TRUE(manager.bound());
    ::setenv("NOTIFY_SOCKET", manager.env().c_str(), 1);
    ServiceNotifier notifier;
    ::unsetenv("NOTIFY_SOCKET");
    ASSERT_TRUE(notifier.enabled());
    EXPECT_TRUE(notifier.Notify("STATUS=Loading accounts"));
    EXPECT_TRUE(notifier.Notify("READY=1"));
    EXPECT_TRUE(notifier.Notify("STOPPING=1"));
    EXPECT_EQ(manager.Receive(), "STATUS=Loading accounts");
    EXPECT_EQ(manager.Receive(), "READY=1");
    EXPECT_EQ(manager.Receive(), "STOPPING=1");
  }
}

TEST(ServiceNotifierTest, ReportsAFailedSend) {
  ::setenv("NOTIFY_SOCKET", "/tmp/tervane_notify_nobody_listens_here", 1);
  ServiceNotifier notifier;
  ::unsetenv("NOTIFY_SOCKET");
  ASSERT_TRUE(notifier.enabled());
  EXPECT_FALSE(notifier.Notify("READY=1"));
}

}  // namespace
}  // namespace tervane
