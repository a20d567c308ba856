#include "testing/fake_notification_bus.h"

#include <signal.h>
#include <unistd.h>

#include <cstdlib>

namespace tervane::testing {
namespace {

// The fake service: owns org.freedesktop.Notifications, records each call.
constexpr char kFakeNotificationService[] = R"(
import sys, dbus, dbus.service, dbus.mainloop.glib
from gi.repository import GLib
dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
bus = dbus.bus.BusConnection(sys.argv[1])
class Service(dbus.service.Object):
    @dbus.service.method('org.freedesktop.Notifications', in_signature='susssasa{sv}i', out_signature='u')
    def Notify(self, app, replaces, icon, summary, body, actions, hints, timeout):
        with open(sys.argv[2], 'a', encoding='utf-8') as f:
            f.write(summary + '|' + body + '\n')
        return 1
service = Service(bus, '/org/freedesktop/Notifications')
name = dbus.service.BusName('org.freedesktop.Notifications', bus)
open(sys.argv[3], 'w').close()
loop = GLib.MainLoop()
GLib.timeout_add_seconds(60, loop.quit)
loop.run()
)";

}  // namespace

FakeNotificationBus::FakeNotificationBus() {
  std::string out, err;
  // --fork: the daemon leaves its start-up process and reports its own pid.
  if (RunProgram({"/usr/bin/dbus-daemon", "--session", "--fork", "--print-address=1", "--print-pid=1"}, 10000, &out,
                 &err) != 0) {
    return;
  }
  const size_t nl = out.find('\n');
  if (nl == std::string::npos) return;
  address_ = out.substr(0, nl);
  bus_pid_ = static_cast<pid_t>(std::atoi(out.c_str() + nl + 1));
  const std::string ready_file = dir_.At("ready");
  const bool started = service_.Start(
      {.argv = {"/usr/bin/python3", "-c", kFakeNotificationService, address_, dir_.At("received"), ready_file},
       .output_path = dir_.At("service.log")});
  for (const int64_t until = NowMs() + 15000; started && !(ready_ = Exists(ready_file)) && NowMs() < until;) {
    ::usleep(10000);
  }
}

FakeNotificationBus::~FakeNotificationBus() {
  if (service_.Signal(SIGTERM)) service_.ExitCode(2000);
  // The daemon is not our child after --fork: it is ended by its pid.
  if (bus_pid_ > 0) ::kill(bus_pid_, SIGTERM);
}

std::string FakeNotificationBus::Received() const { return dir_.ReadFile("received"); }

}  // namespace tervane::testing
