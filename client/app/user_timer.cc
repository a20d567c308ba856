#include "client/app/user_timer.h"

#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>

extern char** environ;

namespace tervane {
namespace {

std::string DropInPath(const std::string& folder) {
  return folder + "/" + kSyncTimerName + ".d/start-time.conf";
}

std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Writes beside the file and renames it over, so the user manager never
// reads half a drop-in.
bool WriteReplacing(const std::string& path, const std::string& text) {
  CreateSettingsFolder(path);
  const std::string temp = path + ".new";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out.flush()) return false;
  }
  return std::rename(temp.c_str(), path.c_str()) == 0;
}

std::string Joined(const std::vector<std::string>& args) {
  std::string text = "systemctl --user";
  for (const std::string& a : args) text += " " + a;
  return text;
}

bool Manage(const UserManager& manager, const std::vector<std::string>& args, std::string* error) {
  const int status = manager(args);
  if (status == 0) return true;
  *error = Joined(args) + " failed (status " + std::to_string(status) + ")";
  return false;
}

std::string TimeOfDay(const StartTime& t) {
  char text[16];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d", t.hour, t.minute, t.second);
  return text;
}

}  // namespace

int RunSystemctlUser(const std::vector<std::string>& args) {
  std::vector<std::string> all = {"systemctl", "--user"};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  if (::posix_spawnp(&pid, "systemctl", nullptr, nullptr, argv.data(), environ) != 0) return -1;
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string UserUnitFolder(const char* xdg_config_home, const char* home) {
  if (xdg_config_home != nullptr && xdg_config_home[0] == '/') return std::string(xdg_config_home) + "/systemd/user";
  if (home != nullptr && home[0] != '\0') return std::string(home) + "/.config/systemd/user";
  return std::string();
}

std::string DefaultUserUnitFolder() { return UserUnitFolder(std::getenv("XDG_CONFIG_HOME"), std::getenv("HOME")); }

std::string TimerDropInText(const StartTime& t) {
  return "# Written by tervaneclt from the start time of its settings; rewritten\n"
         "# when they change.\n"
         "[Timer]\n"
         "OnCalendar=\n"
         "OnCalendar=*-*-* " + TimeOfDay(t) + "\n"
         "Persistent=true\n";
}

bool ReadTimerStartTime(const std::string& folder, StartTime* t) {
  const std::string text = ReadWhole(DropInPath(folder));
  const std::string key = "\nOnCalendar=*-*-* ";
  const size_t at = text.rfind(key);
  if (at == std::string::npos) return false;
  int h = 0, m = 0, s = 0;
  if (std::sscanf(text.c_str() + at + key.size(), "%2d:%2d:%2d", &h, &m, &s) != 3) return false;
  t->hour = h;
  t->minute = m;
  t->second = s;
  return true;
}

bool TimerEnabled(const std::string& folder) {
  struct stat st;
  return ::lstat((folder + "/timers.target.wants/" + kSyncTimerName).c_str(), &st) == 0;
}

bool SetTimerStartTime(const std::string& folder, const StartTime& t, const UserManager& manager,
                       std::string* error) {
  const std::string path = DropInPath(folder);
  const std::string text = TimerDropInText(t);
  if (ReadWhole(path) == text) return true;
  if (!WriteReplacing(path, text)) {
    *error = "cannot write " + path;
    return false;
  }
  return Manage(manager, {"daemon-reload"}, error);
}

bool FollowStartTime(const std::string& folder, const StartTime& t, const UserManager& manager,
                     std::string* error) {
  struct stat st;
  if (folder.empty() || (!TimerEnabled(folder) && ::stat(DropInPath(folder).c_str(), &st) != 0)) return true;
  return SetTimerStartTime(folder, t, manager, error);
}

int RunScheduleCommand(const std::string& mode, const std::string& settings_path, const std::string& folder,
                       const UserManager& manager, FILE* out) {
  if (mode != "on" && mode != "off" && mode != "show") {
    std::fprintf(stderr, "tervaneclt: --schedule takes on, off or show, not \"%s\"\n", mode.c_str());
    return 2;
  }
  if (folder.empty()) {
    std::fputs("tervaneclt: neither XDG_CONFIG_HOME nor HOME is set\n", stderr);
    return 2;
  }
  std::string error;
  if (mode == "off") {
    if (!Manage(manager, {"disable", "--now", kSyncTimerName}, &error) ||
        !Manage(manager, {"disable", kNotifyServiceName}, &error)) {
      std::fprintf(stderr, "tervaneclt: %s\n", error.c_str());
      return 1;
    }
    std::fprintf(out, "schedule off\n");
    return 0;
  }
  if (mode == "show") {
    StartTime t;
    const bool has_time = ReadTimerStartTime(folder, &t);
    std::fprintf(out, "schedule %s, daily at %s\n", TimerEnabled(folder) ? "on" : "off",
                 has_time ? TimeOfDay(t).c_str() : "12:30:00 (the timer's default)");
    return 0;
  }
  SyncSettings settings;
  if (LoadSettings(settings_path, &settings) != 0) {
    std::fprintf(stderr, "tervaneclt: %s: 请先进行环境配置，然后退出重新启动\n", settings_path.c_str());
    return 2;
  }
  if (!settings.start_time_valid) {
    std::fprintf(stderr, "tervaneclt: %s: BEGIN_TM holds no start time\n", settings_path.c_str());
    return 2;
  }
  if (!SetTimerStartTime(folder, settings.start_time, manager, &error) ||
      !Manage(manager, {"enable", "--now", kSyncTimerName}, &error) ||
      !Manage(manager, {"enable", kNotifyServiceName}, &error)) {
    std::fprintf(stderr, "tervaneclt: %s\n", error.c_str());
    return 1;
  }
  std::fprintf(out, "schedule on, daily at %s\n", TimeOfDay(settings.start_time).c_str());
  return 0;
}

}  // namespace tervane
