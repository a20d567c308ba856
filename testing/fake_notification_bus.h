// Test-only: a private D-Bus bus (dbus-daemon) with a fake freedesktop
// notification service on it (python3-dbus) that appends each Notify
// call's summary and body to a file and answers it. Both processes are
// stopped by their pids. Not thread-safe.
#ifndef TERVANE_TESTING_FAKE_NOTIFICATION_BUS_H_
#define TERVANE_TESTING_FAKE_NOTIFICATION_BUS_H_

#include <sys/types.h>

#include <string>

#include "testing/child_process.h"
#include "testing/temp_dir.h"

namespace tervane::testing {

class FakeNotificationBus {
 public:
  FakeNotificationBus();  // starts both; ready() once the service owns its name
  ~FakeNotificationBus();
  FakeNotificationBus(const FakeNotificationBus&) = delete;
  FakeNotificationBus& operator=(const FakeNotificationBus&) = delete;

  bool ready() const { return ready_; }
  const std::string& address() const { return address_; }
  // "summary|body\n" per notification received so far.
  std::string Received() const;

 private:
  TempDir dir_;
  std::string address_;
  pid_t bus_pid_ = -1;  // not our child: the daemon forks away from its start
  ChildProcess service_;
  bool ready_ = false;
};

}  // namespace tervane::testing

#endif  // TERVANE_TESTING_FAKE_NOTIFICATION_BUS_H_
