// tervanesvr: the Tervane file server.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <string>

#include "server/daemon/command_line.h"
#include "server/daemon/report_command.h"
#include "server/daemon/service_host.h"

int main(int argc, char** argv) {
  // The share and Config.cfg hold every user's copies and password digests:
  // nothing the server creates is readable by other local accounts.
  ::umask(077);
  tervane::CommandLine command_line;
  std::string error;
  if (!tervane::ParseCommandLine(argc, argv, tervane::ExecutableDirectory(), &command_line, &error)) {
    std::fprintf(stderr, "tervanesvr: %s\nTry 'tervanesvr --help'.\n", error.c_str());
    return 2;
  }
  if (command_line.show_help) {
    std::fputs(tervane::HelpText().c_str(), stdout);
    return 0;
  }
  if (command_line.show_version) {
    std::fputs(tervane::VersionText().c_str(), stdout);
    return 0;
  }
  if (command_line.report) {
    std::string config = command_line.settings.config_path;
    if (!command_line.config_given && ::access(config.c_str(), F_OK) != 0) config = tervane::kPackagedConfigPath;
    return tervane::RunReport(config, command_line.json, std::time(nullptr), stdout);
  }
  return tervane::RunService(command_line.settings);
}
