#include "client/app/command_line.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string_view>

#include "client/app/account_name.h"
#include "client/app/client_session.h"
#include "client/app/failure_alert.h"
#include "client/app/last_run.h"
#include "client/app/run_lock.h"
#include "client/app/run_recorder.h"
#include "client/app/session_ui.h"
#include "client/app/settings.h"
#include "client/app/sync_engine.h"
#include "client/app/user_timer.h"
#include "client/net/status_sink.h"
#include "shared/platform/stdout_line.h"

#ifndef TERVANE_VERSION
#define TERVANE_VERSION "unknown"
#endif

namespace tervane {
namespace {

// Status lines go to standard output as they happen, one line each.
class StdoutStatus : public StatusSink {
 public:
  void ShowStatus(const std::string& utf8) override {
    std::string line = utf8;
    if (line.empty() || line.back() != '\n') line.push_back('\n');
    WriteStdoutLine(line.data(), line.size());
  }
};

// Messages and caption changes become lines on standard error; asking for
// the process to end is remembered and the run ends as a failed login.
class StderrUi : public SessionUi {
 public:
  void ShowMessage(const std::string& caption, const std::string& text) override {
    std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
    std::fflush(stderr);
  }
  void SetCaption(const std::string& caption) override {
    std::fprintf(stderr, "%s\n", caption.c_str());
    std::fflush(stderr);
  }
  void ExitProcess(int) override { exit_requested_ = true; }
  bool exit_requested() const { return exit_requested_; }

 private:
  bool exit_requested_ = false;
};

// Takes the value of "--name VALUE" or "--name=VALUE".
bool TakeValue(std::string_view arg, std::string_view name, int argc, char** argv, int* i,
               std::string* value, std::string* error) {
  if (arg.size() > name.size() && arg.substr(0, name.size()) == name && arg[name.size()] == '=') {
    *value = std::string(arg.substr(name.size() + 1));
  } else if (*i + 1 < argc) {
    *value = argv[++*i];
  } else {
    *error = std::string(name) + " needs a value";
    return false;
  }
  if (value->empty()) {
    *error = std::string(name) + " needs a value";
    return false;
  }
  return true;
}

// A run that could not start still replaces the record, so that --status
// and the alert tell why rather than showing an older run.
void RecordNoRun(const std::string& settings_path, const std::string& why) {
  LastRun run;
  run.ended = static_cast<int64_t>(std::time(nullptr));
  run.result = 2;
  run.summary = why;
  WriteLastRun(LastRunPath(settings_path), run);
}

bool Matches(std::string_view arg, std::string_view name) {
  return arg == name || (arg.size() > name.size() && arg.substr(0, name.size()) == name && arg[name.size()] == '=');
}

}  // namespace

bool ParseCommandLine(int argc, char** argv, CommandLineOptions* options) {
  *options = CommandLineOptions();
  int modes = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i] != nullptr ? argv[i] : "";
    if (arg == "--sync") {
      options->sync = true;
      ++modes;
    } else if (arg == "--help" || arg == "-h") {
      options->help = true;
      ++modes;
    } else if (arg == "--version") {
      options->version = true;
      ++modes;
    } else if (arg == "--status" || arg == "--notify-failure") {
      (arg == "--status" ? options->status : options->notify_failure) = true;
      ++modes;
    } else if (Matches(arg, "--schedule")) {
      if (!TakeValue(arg, "--schedule", argc, argv, &i, &options->schedule, &options->error)) return false;
      ++modes;
    } else if (Matches(arg, "--settings")) {
      if (!TakeValue(arg, "--settings", argc, argv, &i, &options->settings_path, &options->error)) return false;
    } else if (Matches(arg, "--screenshot")) {
      if (!TakeValue(arg, "--screenshot", argc, argv, &i, &options->screenshot_path, &options->error)) {
        return false;
      }
    } else if (Matches(arg, "--port")) {
      std::string text;
      if (!TakeValue(arg, "--port", argc, argv, &i, &text, &options->error)) return false;
      char* end = nullptr;
      const unsigned long port = std::strtoul(text.c_str(), &end, 10);
      if (text.front() < '0' || text.front() > '9' || *end != '\0' || port < 1 || port > 65535) {
        options->error = "bad port: " + text;
        return false;
      }
      options->port = static_cast<uint16_t>(port);
    } else if (Matches(arg, "--reply-timeout-ms")) {
      std::string text;
      if (!TakeValue(arg, "--reply-timeout-ms", argc, argv, &i, &text, &options->error)) return false;
      char* end = nullptr;
      const unsigned long ms = std::strtoul(text.c_str(), &end, 10);
      if (text.front() < '0' || text.front() > '9' || *end != '\0' || ms < 1 || ms > 86'400'000) {
        options->error = "bad reply time-out: " + text;
        return false;
      }
      options->reply_timeout_ms = static_cast<uint32_t>(ms);
    } else if (Matches(arg, "--retry-unit-ms")) {
      std::string text;
      if (!TakeValue(arg, "--retry-unit-ms", argc, argv, &i, &text, &options->error)) return false;
      char* end = nullptr;
      const unsigned long ms = std::strtoul(text.c_str(), &end, 10);
      if (text.front() < '0' || text.front() > '9' || *end != '\0' || ms < 1 || ms > 3'600'000) {
        options->error = "bad retry unit: " + text;
        return false;
      }
      options->retry_unit_ms = static_cast<uint32_t>(ms);
    } else {
      options->error = "unknown argument: " + std::string(arg);
      return false;
    }
  }
  if (modes > 1) {
    options->error = "give only one of --sync, --schedule, --status, --notify-failure, --help, --version";
    return false;
  }
  if (options->settings_path.empty()) options->settings_path = DefaultSettingsPath();
  return true;
}

std::string UsageText() {
  return "Usage: tervaneclt [--settings FILE] [--port N]\n"
         "       tervaneclt --sync [--settings FILE] [--port N] [--reply-timeout-ms N]\n"
         "                         [--retry-unit-ms N]\n"
         "       tervaneclt --schedule on|off|show [--settings FILE]\n"
         "       tervaneclt --status | --notify-failure [--settings FILE]\n"
         "       tervaneclt --help | --version\n"
         "\n"
         "Without one of the modes below the backup dialog opens.\n"
         "  --sync           back up the configured directories now, without a display;\n"
         "                   status lines on standard output, ending with a summary;\n"
         "                   exit 0 when everything was uploaded, 1 when some uploads or\n"
         "                   directories failed, 2 when connecting or logging in failed,\n"
         "                   the connection was lost, another run was in progress or\n"
         "                   nothing is configured\n"
         "  --schedule on    run --sync daily at the settings' start time from the user\n"
         "                   timer tervaneclt-sync.timer (a day missed while the machine\n"
         "                   was off runs at the next start); saving the settings in\n"
         "                   the dialog moves the timer to the new time\n"
         "  --schedule off   stop the daily timer\n"
         "  --schedule show  whether the timer is on, and its time\n"
         "  --status         the last run (dialog or --sync): when, account, result,\n"
         "                   summary and failed files; exits 0, 1 or 2 as that run did,\n"
         "                   or 2 when the daily timer is on and no run happened in the\n"
         "                   last 26 hours\n"
         "  --notify-failure raise a desktop notification when the last run failed or\n"
         "                   is missing (run by tervaneclt-notify.service)\n"
         "  --settings FILE  settings file (default: BK_CLIENT_CFG.ini beside the program)\n"
         "  --port N         server port (default 9527)\n"
         "  --reply-timeout-ms N\n"
         "                   give up on a server that sends no reply bytes for N ms\n"
         "                   (default 600000)\n"
         "  --retry-unit-ms N\n"
         "                   a server that cannot be reached is tried again after 1, 2,\n"
         "                   4, 8 ... units for 30 units in all; one unit is N ms\n"
         "                   (default 60000, a minute)\n"
         "  --help           this text\n"
         "  --version        the program's version\n";
}

bool RunCommandLine(int argc, char** argv, int* exit_code) {
  CommandLineOptions options;
  if (!ParseCommandLine(argc, argv, &options)) {
    std::fprintf(stderr, "tervaneclt: %s\n%s", options.error.c_str(), UsageText().c_str());
    *exit_code = 2;
    return true;
  }
  if (options.help) {
    std::fputs(UsageText().c_str(), stdout);
    *exit_code = 0;
    return true;
  }
  if (options.version) {
    std::printf("tervaneclt %s\n", TERVANE_VERSION);
    *exit_code = 0;
    return true;
  }
  if (options.status || options.notify_failure) {
    const bool timer_on = TimerEnabled(DefaultUserUnitFolder());
    *exit_code = options.status
                     ? RunStatusCommand(options.settings_path, timer_on, std::time(nullptr), stdout)
                     : RunNotifyFailureCommand(options.settings_path, timer_on, std::time(nullptr), "", stderr);
    return true;
  }
  if (!options.schedule.empty()) {
    *exit_code = RunScheduleCommand(options.schedule, options.settings_path, DefaultUserUnitFolder(),
                                    RunSystemctlUser, stdout);
    return true;
  }
  if (options.sync) {
    std::fflush(stdout);
    *exit_code = RunHeadlessSync(options);
    return true;
  }
  return false;
}

int RunHeadlessSync(const CommandLineOptions& options) {
  const std::string path = options.settings_path.empty() ? DefaultSettingsPath() : options.settings_path;
  SyncSettings settings;
  const uint32_t loaded = LoadSettings(path, &settings);
  if (loaded != 0) {
    std::fprintf(stderr, "tervaneclt: %s [Error:%d]: 请先进行环境配置，然后退出重新启动\n", path.c_str(),
                 static_cast<int>(loaded));
    RecordNoRun(path, "请先进行环境配置，然后退出重新启动");
    return 2;
  }
  if (settings.directories.empty()) {
    std::fprintf(stderr, "tervaneclt: %s: 请选择待备份的目录\n", path.c_str());
    RecordNoRun(path, "请选择待备份的目录");
    return 2;
  }
  ClientSession session;
  session.SetReplyTimeout(options.reply_timeout_ms);
  StdoutStatus status;
  RunRecorder recorder(&status);
  StderrUi ui;
  SyncEngine engine(&session, &recorder, &ui);
  SyncJob job;
  job.server_address = settings.server_address;
  job.port = options.port;
  job.directories = settings.directories;
  job.user = settings.user;
  job.retry = true;
  job.retry_unit_ms = options.retry_unit_ms;
  job.run_lock_path = RunLockPathFor(path);
  const SyncReport report = engine.SyncTask(job);
  session.Disconnect();
  const int exit_code = ui.exit_requested() ? 2 : report.ExitCode();
  if (!recorder.WriteRecord(path, AccountName(settings.user), report, exit_code, std::time(nullptr)) &&
      report.outcome != SyncReport::Outcome::kBusy) {
    std::fprintf(stderr, "tervaneclt: cannot write %s\n", LastRunPath(path).c_str());
  }
  return exit_code;
}

}  // namespace tervane
