// The daily user timer "tervaneclt-sync.timer" held at the settings' start
// time: a drop-in in the user's systemd folder
//   <folder>/tervaneclt-sync.timer.d/start-time.conf
// with the daily OnCalendar= and Persistent=true (a day missed while the
// machine was off runs at the next start), and the user manager told to
// reload it. Whether the timer is on is what "systemctl --user enable" left
// behind: <folder>/timers.target.wants/tervaneclt-sync.timer.
//
// Plain functions on files; the user manager is reached only through the
// UserManager function given, so tests can point it elsewhere. Not
// thread-safe against itself on one folder (the dialog and the command line
// run it from one thread each, at a person's pace).
#ifndef TERVANE_CLIENT_APP_USER_TIMER_H_
#define TERVANE_CLIENT_APP_USER_TIMER_H_

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "client/app/settings.h"

namespace tervane {

inline constexpr char kSyncTimerName[] = "tervaneclt-sync.timer";
// Checks at each login whether the backup needs attention (failure_alert.h).
inline constexpr char kNotifyServiceName[] = "tervaneclt-notify.service";

// Runs "systemctl --user ARGS..." and returns its exit status (-1 when it
// could not be run).
using UserManager = std::function<int(const std::vector<std::string>& args)>;
int RunSystemctlUser(const std::vector<std::string>& args);

// $XDG_CONFIG_HOME/systemd/user, or $HOME/.config/systemd/user; empty when
// neither is set.
std::string UserUnitFolder(const char* xdg_config_home, const char* home);
std::string DefaultUserUnitFolder();

// The drop-in's text for `t` (its hour, minute and second).
std::string TimerDropInText(const StartTime& t);

// Reads the start time back from the drop-in: true and *t's time of day set.
bool ReadTimerStartTime(const std::string& folder, StartTime* t);

// True when the timer is enabled in `folder`.
bool TimerEnabled(const std::string& folder);

// Writes the drop-in for `t` when it differs from what is there, then has
// the user manager reload. 0 when the drop-in holds `t` and the reload (if
// one was needed) worked; otherwise a line saying what failed in *error.
bool SetTimerStartTime(const std::string& folder, const StartTime& t, const UserManager& manager,
                       std::string* error);

// After the dialog saved its settings: the timer follows the start time when
// the user has a schedule (the timer is on, or a drop-in exists); nothing
// is touched otherwise. False with *error when that failed.
bool FollowStartTime(const std::string& folder, const StartTime& t, const UserManager& manager,
                     std::string* error);

// tervaneclt --schedule on|off|show with the settings at `settings_path`.
// "on": the drop-in at the settings' start time, reload, enable and start
// the timer and enable the login check; "off": disable them both; "show":
// whether the timer is on and when.
// Prints to `out` (errors to stderr); returns the exit status: 0 done, 1 the
// user manager failed, 2 no usable settings or a bad mode.
int RunScheduleCommand(const std::string& mode, const std::string& settings_path, const std::string& folder,
                       const UserManager& manager, FILE* out);

}  // namespace tervane

#endif  // TERVANE_CLIENT_APP_USER_TIMER_H_
