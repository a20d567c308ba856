// tervaneclt --notify-failure: tells the desktop that the backup needs
// attention. Started by tervaneclt-notify.service when a timer run failed
// (OnFailure=) and at each login; it raises a notification only when one is
// due, so a good recent run stays silent.
#ifndef TERVANE_CLIENT_APP_FAILURE_ALERT_H_
#define TERVANE_CLIENT_APP_FAILURE_ALERT_H_

#include <cstdio>
#include <ctime>
#include <string>

#include "client/app/last_run.h"

namespace tervane {

struct Alert {
  std::string summary;
  std::string body;
};

// The alert due for the record `run` (null: none) as of `now`: the last run
// failed, none was recorded, or the timer is on and the last run is older
// than kMissedRunSeconds. False when none is due.
bool AlertFor(const LastRun* run, bool timer_on, time_t now, Alert* alert);

// Reads the record beside `settings_path` and sends the alert that is due
// to the bus at `bus_address` (empty: the session bus). Returns 0 when
// nothing was due or it was delivered, 1 when it could not be (said on
// `err`).
int RunNotifyFailureCommand(const std::string& settings_path, bool timer_on, time_t now,
                            const std::string& bus_address, FILE* err);

}  // namespace tervane

#endif  // TERVANE_CLIENT_APP_FAILURE_ALERT_H_
