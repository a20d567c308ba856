#include "client/app/desktop_notification.h"

#include <dbus/dbus.h>

#include <cstdint>

namespace tervane {
namespace {

constexpr int kReplyTimeoutMs = 5000;

// Notify(app_name s, replaces_id u, app_icon s, summary s, body s,
//        actions as, hints a{sv}, expire_timeout i) -> id u
bool AppendArguments(DBusMessage* m, const char* summary, const char* body) {
  const char* app = "Tervane";
  const char* icon = "tervane";
  dbus_uint32_t replaces = 0;
  dbus_int32_t expire = -1;  // the server's default
  DBusMessageIter args;
  DBusMessageIter inner;
  dbus_message_iter_init_append(m, &args);
  if (!dbus_message_iter_append_basic(&args, DBUS_TYPE_STRING, &app) ||
      !dbus_message_iter_append_basic(&args, DBUS_TYPE_UINT32, &replaces) ||
      !dbus_message_iter_append_basic(&args, DBUS_TYPE_STRING, &icon) ||
      !dbus_message_iter_append_basic(&args, DBUS_TYPE_STRING, &summary) ||
      !dbus_message_iter_append_basic(&args, DBUS_TYPE_STRING, &body)) {
    return false;
  }
  if (!dbus_message_iter_open_container(&args, DBUS_TYPE_ARRAY, "s", &inner) ||
      !dbus_message_iter_close_container(&args, &inner)) {
    return false;
  }
  if (!dbus_message_iter_open_container(&args, DBUS_TYPE_ARRAY, "{sv}", &inner) ||
      !dbus_message_iter_close_container(&args, &inner)) {
    return false;
  }
  return dbus_message_iter_append_basic(&args, DBUS_TYPE_INT32, &expire);
}

}  // namespace

bool SendDesktopNotification(const std::string& bus_address, const std::string& summary, const std::string& body,
                             std::string* error) {
  DBusError e;
  dbus_error_init(&e);
  DBusConnection* bus = nullptr;
  if (bus_address.empty()) {
    bus = dbus_bus_get_private(DBUS_BUS_SESSION, &e);
  } else {
    bus = dbus_connection_open_private(bus_address.c_str(), &e);
    if (bus != nullptr && !dbus_bus_register(bus, &e)) {
      dbus_connection_close(bus);
      dbus_connection_unref(bus);
      bus = nullptr;
    }
  }
  if (bus == nullptr) {
    *error = std::string("no session bus: ") + (dbus_error_is_set(&e) ? e.message : "unknown error");
    dbus_error_free(&e);
    return false;
  }
  dbus_connection_set_exit_on_disconnect(bus, false);
  bool ok = false;
  DBusMessage* call = dbus_message_new_method_call("org.freedesktop.Notifications", "/org/freedesktop/Notifications",
                                                   "org.freedesktop.Notifications", "Notify");
  if (call == nullptr || !AppendArguments(call, summary.c_str(), body.c_str())) {
    *error = "out of memory";
  } else if (DBusMessage* reply = dbus_connection_send_with_reply_and_block(bus, call, kReplyTimeoutMs, &e)) {
    ok = true;
    dbus_message_unref(reply);
  } else {
    *error = std::string("the notification service did not answer: ") + (dbus_error_is_set(&e) ? e.message : "?");
  }
  if (call != nullptr) dbus_message_unref(call);
  dbus_error_free(&e);
  dbus_connection_close(bus);
  dbus_connection_unref(bus);
  return ok;
}

}  // namespace tervane
