#include "testing/client_run.h"

#include <dirent.h>
#include <unistd.h>

#include <cstdlib>

#include "client/app/client_session.h"
#include "testing/temp_dir.h"

namespace tervane::testing {

std::string ClientBinary() {
  const char* dir = std::getenv("TERVANE_BIN_DIR");
  if (dir == nullptr) return {};
  const std::string dialog = std::string(dir) + "/tervaneclt";
  if (::access(dialog.c_str(), X_OK) == 0) return dialog;
  const std::string headless = std::string(dir) + "/../tests/tervaneclt_headless";
  return ::access(headless.c_str(), X_OK) == 0 ? headless : std::string();
}

bool WriteClientSettings(const std::string& path, const std::vector<std::string>& directories) {
  std::string text = "[BK_CFG_INIF]\nIP=127.0.0.1\nBEGIN_TM=2026-01-01 03:00:00\nBK_DIRS=";
  for (const std::string& d : directories) text += d + "|";
  // One account for every run of these tests, whatever the host's name.
  text += "\nUSER=";
  text += kSyncUserName;
  text += "\n";
  return WriteFile(path, text);
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
  std::string found;
  DIR* d = ::opendir((share + kSyncUserName).c_str());
  if (d == nullptr) return {};
  int n = 0;
  while (const dirent* e = ::readdir(d)) {
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    found = name;
    ++n;
  }
  ::closedir(d);
  return n == 1 ? found : std::string();
}

}  // namespace tervane::testing
