#include "client/app/command_line.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <strings.h>
#include <string_view>

#include "client/app/account_name.h"
#include "client/app/client_session.h"
#include "client/app/copy_browser.h"
#include "client/app/copy_messages.h"
#include "client/app/copy_session.h"
#include "client/app/failure_alert.h"
#include "client/app/last_run.h"
#include "client/app/remote_path.h"
#include "client/app/restore_run.h"
#include "client/app/run_lock.h"
#include "client/app/run_recorder.h"
#include "client/app/session_ui.h"
#include "client/app/settings.h"
#include "client/app/sync_engine.h"
#include "client/app/user_timer.h"
#include "client/app/verify_run.h"
#include "client/net/status_sink.h"
#include "shared/platform/stdout_line.h"
#include "shared/platform/win_error.h"

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

// Loads the settings a command needs. False, with the reason on stderr,
// when there is no settings file.
bool LoadCommandSettings(const CommandLineOptions& options, SyncSettings* settings) {
  const std::string path = options.settings_path.empty() ? DefaultSettingsPath() : options.settings_path;
  const Result loaded = LoadSettings(path, settings);
  if (!loaded.ok()) {
    std::fprintf(stderr, "tervaneclt: %s [Error:%d]: 请先进行环境配置，然后退出重新启动\n", path.c_str(),
                 static_cast<int>(loaded.code()));
    return false;
  }
  return true;
}

std::string CurrentDirectory() {
  char buffer[4096];
  return ::getcwd(buffer, sizeof buffer) != nullptr ? std::string(buffer) : std::string("/");
}

// A name as a line can carry it: control bytes become \xHH.
std::string Printable(const std::string& text) {
  std::string out;
  for (char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x20 || c == 0x7F) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
      out += escaped;
    } else {
      out.push_back(ch);
    }
  }
  return out;
}

void PrintLine(const std::string& line) { WriteStdoutLine(line.data(), line.size()); }

bool Matches(std::string_view arg, std::string_view name) {
  return arg == name || (arg.size() > name.size() && arg.substr(0, name.size()) == name && arg[name.size()] == '=');
}

}  // namespace

bool ParseCommandLine(int argc, char** argv, CommandLineOptions* options) {
  *options = CommandLineOptions();
  int modes = 0;
  bool options_ended = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i] != nullptr ? argv[i] : "";
    if (options_ended || (!arg.empty() && arg.front() != '-')) {
      options->arguments.emplace_back(arg);
    } else if (arg == "--") {
      options_ended = true;
    } else if (arg == "--list") {
      options->list = true;
      ++modes;
    } else if (arg == "--restore") {
      options->restore = true;
      ++modes;
    } else if (arg == "--verify") {
      options->verify = true;
      ++modes;
    } else if (arg == "--restore-window") {
      options->restore_window = true;
      ++modes;
    } else if (arg == "--overwrite") {
      options->overwrite = true;
    } else if (Matches(arg, "--to")) {
      if (!TakeValue(arg, "--to", argc, argv, &i, &options->restore_to, &options->error)) return false;
    } else if (arg == "--sync") {
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
    options->error = "give only one of --sync, --schedule, --status, --notify-failure, --list, --restore, --verify, --restore-window, --help, --version";
    return false;
  }
  const size_t words = options->arguments.size();
  if (options->restore && words < 2) {
    options->error = "--restore needs a DAY and at least one PATH";
    return false;
  }
  if ((options->list && words > 2) || (options->verify && words > 1) ||
      (words > 0 && !options->list && !options->restore && !options->verify)) {
    options->error = "unexpected argument: " + options->arguments.back();
    return false;
  }
  if ((options->overwrite || !options->restore_to.empty()) && !options->restore) {
    options->error = "--to and --overwrite go with --restore";
    return false;
  }
  if (words > 0) {
    std::string day;
    if (!ParseDay(options->arguments[0], &day)) {
      options->error = "not a weekday (Sun, Mon, Tue, Wed, Thu, Fri, Sat): " + options->arguments[0];
      return false;
    }
    options->arguments[0] = day;
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
         "       tervaneclt --list [DAY [PATH]] [--settings FILE] [--port N]\n"
         "       tervaneclt --restore DAY PATH... [--to DIR] [--overwrite] [--settings FILE] [--port N]\n"
         "       tervaneclt --verify [DAY] [--settings FILE] [--port N]\n"
         "       tervaneclt --restore-window [--settings FILE] [--port N]\n"
         "       tervaneclt --help | --version\n"
         "\n"
         "Without a mode the backup dialog opens. DAY is a weekday copy: Sun, Mon, Tue,\n"
         "Wed, Thu, Fri or Sat. PATH is a local path as it was backed up.\n"
         "  --sync           back up the configured directories now, without a display;\n"
         "                   status lines on standard output, ending with a summary;\n"
         "                   exit 0 when everything was uploaded, 1 when some uploads or\n"
         "                   directories failed, 2 when connecting or logging in failed,\n"
         "                   the connection was lost, another run was in progress or\n"
         "                   nothing is configured\n"
         "  --list           the weekday copies on the server: time of the newest file,\n"
         "                   files and bytes; with DAY that copy's files and directories\n"
         "                   (below PATH) with size, modification time and local path\n"
         "  --restore        restore the files and directories PATH... from DAY's copy to\n"
         "                   where they were; an existing file is skipped. Exit 0 when\n"
         "                   everything was restored, 1 when some failed or were skipped,\n"
         "                   2 when connecting or logging in failed\n"
         "  --to DIR         restore below DIR instead, keeping each original path\n"
         "  --overwrite      replace existing files\n"
         "  --verify         compare DAY's copy (default: today's) with the configured\n"
         "                   directories, reading both; exit 0 when it matches\n"
         "  --restore-window the restore window: browse the copies, tick and restore\n"
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
  std::fflush(stdout);
  if (options.sync) {
    *exit_code = RunHeadlessSync(options);
    return true;
  }
  if (options.list) {
    *exit_code = RunHeadlessList(options);
    return true;
  }
  if (options.restore) {
    *exit_code = RunHeadlessRestore(options);
    return true;
  }
  if (options.verify) {
    *exit_code = RunHeadlessVerify(options);
    return true;
  }
  return false;
}

int RunHeadlessSync(const CommandLineOptions& options) {
  const std::string path = options.settings_path.empty() ? DefaultSettingsPath() : options.settings_path;
  SyncSettings settings;
  const Result loaded = LoadSettings(path, &settings);
  if (!loaded.ok()) {
    std::fprintf(stderr, "tervaneclt: %s [Error:%d]: 请先进行环境配置，然后退出重新启动\n", path.c_str(),
                 static_cast<int>(loaded.code()));
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


bool ParseDay(const std::string& text, std::string* day) {
  for (int wday = 0; wday < 7; ++wday) {
    const char* name = WeekdayName(wday);
    if (::strcasecmp(text.c_str(), name) == 0) {
      *day = name;
      return true;
    }
  }
  return false;
}

std::string AbsoluteLocalPath(const std::string& path, const std::string& cwd) {
  const std::string whole = !path.empty() && path.front() == '/' ? path : cwd + "/" + path;
  std::vector<std::string> parts;
  size_t start = 0;
  for (size_t i = 0; i <= whole.size(); ++i) {
    if (i < whole.size() && whole[i] != '/') continue;
    const std::string part = whole.substr(start, i - start);
    start = i + 1;
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
      continue;
    }
    parts.push_back(part);
  }
  std::string out;
  for (const std::string& part : parts) out += "/" + part;
  return out.empty() ? "/" : out;
}

int RunHeadlessList(const CommandLineOptions& options) {
  SyncSettings settings;
  if (!LoadCommandSettings(options, &settings)) return 2;
  ClientSession session;
  session.SetReplyTimeout(options.reply_timeout_ms);
  StdoutStatus status;
  StderrUi ui;
  if (!OpenCopySession(&session, settings, options.port, &ui, &status)) return 2;
  RemoteSession* connection = session.connection();
  CopyBrowser browser(connection);
  char line[256];

  if (options.arguments.empty()) {
    // Each copy with its newest file, its file count and bytes.
    std::vector<std::string> days;
    Result result = browser.Days(&days);
    if (!result.ok()) {
      PrintLine("获取副本列表失败\n" + FailureLine("\\", result));
      return ConnectionLost(connection) ? 2 : 1;
    }
    if (days.empty()) PrintLine("服务器上还没有副本\n");
    int code = 0;
    for (const std::string& day : days) {
      uint32_t files = 0;
      uint64_t bytes = 0;
      uint64_t newest = 0;
      uint32_t unknown = 0;
      result = browser.Walk(day, "/", true, [&](const CopyVisit& v) {
        if (v.entry->is_directory) return true;
        ++files;
        if (!v.entry->detail_result.ok()) {
          ++unknown;
          return true;
        }
        bytes += v.entry->size;
        if (v.entry->last_write > newest) newest = v.entry->last_write;
        return true;
      });
      std::snprintf(line, sizeof line, "%s  %s  %u 个文件  %llu 字节\n", day.c_str(), FormatFileTime(newest).c_str(),
                    files, static_cast<unsigned long long>(bytes));
      PrintLine(line);
      if (!result.ok() || unknown != 0) {
        PrintLine(FailureLine(day, !result.ok() ? result : Result(ERROR_INVALID_DATA)));
        if (ConnectionLost(connection)) return 2;
        code = 1;
      }
    }
    return code;
  }

  // One copy, below PATH: one line per entry, then the totals.
  const std::string& day = options.arguments[0];
  std::string local = "/";
  std::string remote = day;
  if (options.arguments.size() > 1) {
    local = AbsoluteLocalPath(options.arguments[1], CurrentDirectory());
    if (local != "/") {
      const Result mapped = MapRemoteName(day, local, &remote);
      if (!mapped.ok()) {
        PrintLine(FailureLine(local, mapped));
        return 1;
      }
    }
  }
  uint32_t files = 0, directories = 0, unknown = 0;
  uint64_t bytes = 0;
  auto print = [&](const std::string& path, const CopyEntry& entry) {
    if (entry.is_directory) {
      ++directories;
      PrintLine("           -  -                    " + Printable(path) + "/\n");
      return;
    }
    ++files;
    if (!entry.detail_result.ok()) {
      ++unknown;
      PrintLine("           ?  ?                    " + Printable(path) + "\n");
      return;
    }
    bytes += entry.size;
    std::snprintf(line, sizeof line, "%12llu  %-19s  ", static_cast<unsigned long long>(entry.size),
                  FormatFileTime(entry.last_write).c_str());
    PrintLine(line + Printable(path) + "\n");
  };
  Result result;
  CopyEntry top;
  top.is_directory = true;
  if (remote != day) result = browser.Find(remote, true, &top);
  if (result.ok() && !top.is_directory) {
    print(local, top);
  } else if (result.ok()) {
    result = browser.Walk(remote, local, true, [&](const CopyVisit& v) {
      print(v.local_path, *v.entry);
      return true;
    });
  }
  std::snprintf(line, sizeof line, "%s: 共 %u 个文件，%llu 字节，%u 个目录\n", day.c_str(), files,
                static_cast<unsigned long long>(bytes), directories);
  PrintLine(line);
  if (!result.ok()) {
    PrintLine(FailureLine(Printable(local), result));
    return ConnectionLost(connection) ? 2 : 1;
  }
  return unknown != 0 ? 1 : 0;
}

int RunHeadlessRestore(const CommandLineOptions& options) {
  SyncSettings settings;
  if (!LoadCommandSettings(options, &settings)) return 2;
  const std::string cwd = CurrentDirectory();
  RestoreJob job;
  job.day = options.arguments[0];
  for (size_t i = 1; i < options.arguments.size(); ++i) job.paths.push_back(AbsoluteLocalPath(options.arguments[i], cwd));
  if (!options.restore_to.empty()) job.target_dir = AbsoluteLocalPath(options.restore_to, cwd);
  job.overwrite = options.overwrite;
  ClientSession session;
  session.SetReplyTimeout(options.reply_timeout_ms);
  StdoutStatus status;
  StderrUi ui;
  if (!OpenCopySession(&session, settings, options.port, &ui, &status)) return 2;
  return RunRestore(session.connection(), job, &status).ExitCode();
}

int RunHeadlessVerify(const CommandLineOptions& options) {
  SyncSettings settings;
  if (!LoadCommandSettings(options, &settings)) return 2;
  if (settings.directories.empty()) {
    std::fprintf(stderr, "tervaneclt: %s: 请选择待备份的目录\n", options.settings_path.c_str());
    return 2;
  }
  VerifyJob job;
  job.day = options.arguments.empty() ? WeekdayOfLocalDate(::time(nullptr)) : options.arguments[0];
  job.directories = settings.directories;
  ClientSession session;
  session.SetReplyTimeout(options.reply_timeout_ms);
  StdoutStatus status;
  StderrUi ui;
  if (!OpenCopySession(&session, settings, options.port, &ui, &status)) return 2;
  return RunVerify(session.connection(), job, &status).ExitCode();
}

}  // namespace tervane
