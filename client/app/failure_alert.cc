#include "client/app/failure_alert.h"

#include "client/app/desktop_notification.h"

namespace tervane {

bool AlertFor(const LastRun* run, bool timer_on, time_t now, Alert* alert) {
  const int status = LastRunStatus(run, timer_on, now);
  if (status == 0) return false;
  if (run == nullptr) {
    *alert = {"备份未运行", "还没有备份记录。请打开 Tervane 检查设置。"};
  } else if (status != run->result) {  // a good or failed run, but too long ago
    *alert = {"备份已超过一天未运行", LastRunLine(*run)};
  } else {
    Alert a{run->result == 1 ? "备份部分失败" : "备份失败", LastRunLine(*run)};
    for (size_t i = 0; i < run->failed.size() && i < 3; ++i) a.body += "\n" + run->failed[i];
    *alert = a;
  }
  return true;
}

int RunNotifyFailureCommand(const std::string& settings_path, bool timer_on, time_t now,
                            const std::string& bus_address, FILE* err) {
  LastRun run;
  const bool recorded = ReadLastRun(LastRunPath(settings_path), &run);
  Alert alert;
  if (!AlertFor(recorded ? &run : nullptr, timer_on, now, &alert)) return 0;
  std::string error;
  if (!SendDesktopNotification(bus_address, alert.summary, alert.body, &error)) {
    std::fprintf(err, "tervaneclt: %s: %s\n", alert.summary.c_str(), error.c_str());
    return 1;
  }
  return 0;
}

}  // namespace tervane
