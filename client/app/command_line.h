// The client program's command line. The dialog is the program's normal
// face; these modes work without a display:
//
//   tervaneclt --sync [--settings FILE] [--port N] [--reply-timeout-ms N]
//                     [--retry-unit-ms N]            one backup now, status on stdout
//   tervaneclt --schedule on|off|show [--settings FILE]
//                                                    the daily user timer (user_timer.h)
//   tervaneclt --status [--settings FILE]          the last run (last_run.h)
//   tervaneclt --notify-failure [--settings FILE]  the desktop alert when due (failure_alert.h)
//   tervaneclt --list [DAY [PATH]]                   the weekday copies, or one copy's files
//   tervaneclt --restore DAY PATH... [--to DIR] [--overwrite]
//                                                    files and directories back from a copy
//   tervaneclt --verify [DAY]                        a copy against the local directories
//   tervaneclt --help | --version
//
// Each takes --settings FILE and --port N. The dialog takes them as well;
// --restore-window opens the restore window instead of the dialog.
#ifndef TERVANE_CLIENT_APP_COMMAND_LINE_H_
#define TERVANE_CLIENT_APP_COMMAND_LINE_H_

#include <cstdint>
#include <string>
#include <vector>

#include "shared/protocol/op_codes.h"

namespace tervane {

struct CommandLineOptions {
  bool sync = false;
  bool help = false;
  bool version = false;
  std::string schedule;  // --schedule MODE: on, off or show
  bool status = false;
  bool notify_failure = false;
  bool list = false;
  bool restore = false;
  bool verify = false;
  bool restore_window = false;
  // The words after --list, --restore or --verify: DAY, then paths.
  std::vector<std::string> arguments;
  std::string restore_to;  // --to DIR
  bool overwrite = false;  // --overwrite
  std::string settings_path;  // DefaultSettingsPath() unless --settings was given
  uint16_t port = kDefaultPort;
  uint32_t reply_timeout_ms = 0;  // --reply-timeout-ms N; 0 keeps the library's default
  uint32_t retry_unit_ms = 60000;  // --retry-unit-ms N: one "minute" of the connect retries
  std::string screenshot_path;  // --screenshot FILE: for the dialog only
  std::string error;            // set when parsing failed
};

// Parses argv[1..argc). Returns false, with `error` telling why, for an
// unknown argument, a missing or bad value, or a mode given twice.
bool ParseCommandLine(int argc, char** argv, CommandLineOptions* options);

// The usage text printed by --help and after a bad argument.
std::string UsageText();

// Handles the command-line modes. Returns true when the arguments asked for
// one (--sync, --list, --restore, --verify, --help, --version) or were not
// understood (usage on stderr, *exit_code 2); *exit_code is then the
// process's exit code. Returns false when a window should run (the dialog,
// or the restore window).
//
// Exit codes of --sync: 0 every file and directory marker was uploaded;
// 1 some uploads (or local directories) failed, or no configured directory
// could be opened (nothing was deleted); 2 connecting (after the retries)
// or logging in failed, the connection was lost during the run, another run
// was in progress, or there was nothing to run (no settings file, no
// directories).
// --list: 0 listed; 1 the copy or path is not on the server, or some
// entries could not be looked at; 2 no connection or login.
// --restore: 0 everything restored; 1 some failed or were skipped; 2 no
// connection or login (or it was lost).
// --verify: 0 the copy matches; 1 it does not, or something could not be
// read; 2 no connection or login, or no directories configured.
bool RunCommandLine(int argc, char** argv, int* exit_code);

// The headless modes with parsed options; each returns the exit code.
int RunHeadlessSync(const CommandLineOptions& options);
int RunHeadlessList(const CommandLineOptions& options);
int RunHeadlessRestore(const CommandLineOptions& options);
int RunHeadlessVerify(const CommandLineOptions& options);

// "Sun".."Sat" for a weekday name given in any case; false for anything else.
bool ParseDay(const std::string& text, std::string* day);

// An absolute path without "." and ".." components or doubled and trailing
// separators; a relative `path` is taken below `cwd` (absolute).
std::string AbsoluteLocalPath(const std::string& path, const std::string& cwd);

}  // namespace tervane

#endif  // TERVANE_CLIENT_APP_COMMAND_LINE_H_
