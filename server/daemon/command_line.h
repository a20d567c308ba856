// The server's command line:
//   --config FILE   Config.cfg to load (default: "Config.cfg" beside the executable)
//   --port N        TCP port, 1..65535 (default 9527)
//   --listen ADDR   dotted IPv4 address to listen on (default: every local address)
//   --idle-ms N     idle limit of a connection in milliseconds (default 300000)
//   --sweep-ms N    period of the idle sweep in milliseconds (default 300000)
//   --login-ms N    time a connection has to log in, in milliseconds (default 30000)
//   --max-connections N   connections served at once, 1..1000 (default 10)
//   --log-level requests|connections|errors   which log lines are written
//   --report [--json]   print the share's overview and exit (report_command.h)
//   --help, --version
// Options take their value as the next argument or after "=". The timing
// options exist so that tests need not wait minutes for a sweep.
#ifndef TERVANE_SERVER_DAEMON_COMMAND_LINE_H_
#define TERVANE_SERVER_DAEMON_COMMAND_LINE_H_

#include <string>
#include <string_view>

#include "server/net/service_settings.h"

namespace tervane {

struct CommandLine {
  ServiceSettings settings;
  bool show_help = false;
  bool show_version = false;
  bool report = false;
  bool json = false;          // --json: the report as JSON (only with --report)
  bool config_given = false;  // --config was on the command line
};

// Where the packaged service keeps its Config.cfg; --report falls back to it
// when no --config is given and none lies beside the program.
inline constexpr char kPackagedConfigPath[] = "/var/lib/tervane/Config.cfg";

// Parses argv[1..argc). `executable_dir` (ending in '/', or empty) supplies
// the default Config.cfg location. Returns false with a one-line message in
// *error (no trailing newline) for an unknown option, a missing value or a
// value out of range; *out is then unspecified.
bool ParseCommandLine(int argc, const char* const* argv, std::string_view executable_dir,
                      CommandLine* out, std::string* error);

// The --help text, ending in a newline.
std::string HelpText();

// The --version line, ending in a newline.
std::string VersionText();

// The directory of the running executable with its final '/', from
// /proc/self/exe; empty when that cannot be read.
std::string ExecutableDirectory();

}  // namespace tervane

#endif  // TERVANE_SERVER_DAEMON_COMMAND_LINE_H_
