#include "server/daemon/service_notifier.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace tervane {

ServiceNotifier::ServiceNotifier() {
  const char* name = std::getenv("NOTIFY_SOCKET");
  if (name == nullptr) return;
  size_t len = std::strlen(name);
  // A path socket ("/run/...") or an abstract one ("@name", the '@' standing
  // for the leading zero byte). Anything else (vsock, too long) is not ours.
  if (len < 2 || (name[0] != '/' && name[0] != '@') || len >= sizeof address_.sun_path) return;
  address_.sun_family = AF_UNIX;
  std::memcpy(address_.sun_path, name, len);
  if (name[0] == '@') address_.sun_path[0] = '\0';
  address_length_ = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + len +
                                           (name[0] == '/' ? 1 : 0));
  fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
}

ServiceNotifier::~ServiceNotifier() {
  if (fd_ >= 0) ::close(fd_);
}

bool ServiceNotifier::Notify(std::string_view state) {
  if (fd_ < 0) return true;
  for (;;) {
    ssize_t n = ::sendto(fd_, state.data(), state.size(), MSG_NOSIGNAL,
                         reinterpret_cast<const sockaddr*>(&address_), address_length_);
    if (n >= 0) return static_cast<size_t>(n) == state.size();
    if (errno != EINTR) return false;
  }
}

}  // namespace tervane
