// A desktop notification through the freedesktop notification service
// (org.freedesktop.Notifications on the session bus), the way every desktop
// shows them. One blocking call, at most a few seconds; any thread.
#ifndef TERVANE_CLIENT_APP_DESKTOP_NOTIFICATION_H_
#define TERVANE_CLIENT_APP_DESKTOP_NOTIFICATION_H_

#include <string>

namespace tervane {

// Sends `summary` and `body` (UTF-8) with the application name "Tervane" and
// the icon "tervane" to the bus at `bus_address`, or to the session bus
// ($DBUS_SESSION_BUS_ADDRESS) when it is empty. True once the service
// answered; false with the bus's error in *error.
bool SendDesktopNotification(const std::string& bus_address, const std::string& summary, const std::string& body,
                             std::string* error);

}  // namespace tervane

#endif  // TERVANE_CLIENT_APP_DESKTOP_NOTIFICATION_H_
