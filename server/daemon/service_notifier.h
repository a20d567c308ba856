// Start-up, readiness and stop reports to the service manager, sent as
// datagrams to the socket that systemd names in $NOTIFY_SOCKET ("READY=1",
// "STATUS=...", "STOPPING=1"). Without that variable every report is a no-op,
// so the program behaves the same when started from a terminal or a test.
#ifndef TERVANE_SERVER_DAEMON_SERVICE_NOTIFIER_H_
#define TERVANE_SERVER_DAEMON_SERVICE_NOTIFIER_H_

#include <sys/socket.h>
#include <sys/un.h>

#include <string_view>

namespace tervane {

// Reads $NOTIFY_SOCKET once, at construction. Not thread-safe; the service
// host calls it from its main thread only. Owns one datagram socket.
class ServiceNotifier {
 public:
  ServiceNotifier();
  ~ServiceNotifier();
  ServiceNotifier(const ServiceNotifier&) = delete;
  ServiceNotifier& operator=(const ServiceNotifier&) = delete;

  // True when $NOTIFY_SOCKET named a usable address.
  bool enabled() const { return fd_ >= 0; }

  // Sends `state` (for example "READY=1" or "STATUS=Loading accounts") as one
  // datagram. Returns true when it was sent or when reports are disabled;
  // false when the send failed (the service goes on regardless).
  bool Notify(std::string_view state);

 private:
  int fd_ = -1;
  sockaddr_un address_{};
  socklen_t address_length_ = 0;
};

}  // namespace tervane

#endif  // TERVANE_SERVER_DAEMON_SERVICE_NOTIFIER_H_
