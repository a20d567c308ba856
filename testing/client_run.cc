#include "testing/client_run.h"

#include "client/app/client_session.h"
#include "testing/temp_dir.h"

namespace tervane::testing {

std::string ClientBinary() {
  for (const char* name : {"tervaneclt", "../tests/tervaneclt_headless"}) {
    if (ProgramExists(name)) return BinDir() + "/" + name;
  }
  return {};
}

bool WriteClientSettings(const std::string& path, const std::vector<std::string>& directories) {
  std::string text = "[BK_CFG_INIF]\nIP=127.0.0.1\nBEGIN_TM=2026-01-01 03:00:00\nBK_DIRS=";
  for (const std::string& d : directories) text += d + "|";
  // One account for every run of these tests, whatever the host's name.
  return WriteFile(path, text + "\nUSER=" + kSyncUserName + "\n");
}

ChildOptions ClientSyncOptions(const std::string& settings_path, uint16_t port, const std::string& output_path,
                               uint32_t reply_timeout_ms, uint32_t retry_unit_ms) {
  ChildOptions options;
  options.argv = {ClientBinary(), "--sync", "--settings", settings_path, "--port", std::to_string(port),
                  "--retry-unit-ms", std::to_string(retry_unit_ms)};
  if (reply_timeout_ms != 0) {
    options.argv.push_back("--reply-timeout-ms");
    options.argv.push_back(std::to_string(reply_timeout_ms));
  }
  options.output_path = output_path;
  return options;
}

std::string ServerCopyPath(const std::string& share, const std::string& day, const std::string& local_path) {
  return share + kSyncUserName + "/" + day + local_path;
}

std::string OnlyWeekdayFolder(const std::string& share) {
  const std::vector<std::string> days = ListDir(share + kSyncUserName);
  return days.size() == 1 ? days[0] : std::string();
}

}  // namespace tervane::testing
