#include "server/daemon/command_line.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

namespace tervane {
namespace {

// Decimal digits only, within [min, max].
bool ParseNumber(std::string_view text, unsigned long min, unsigned long max, unsigned long* out) {
  if (text.empty() || text.size() > 10) return false;
  unsigned long value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<unsigned long>(c - '0');
  }
  if (value < min || value > max) return false;
  *out = value;
  return true;
}

}  // namespace

bool ParseCommandLine(int argc, const char* const* argv, std::string_view executable_dir,
                      CommandLine* out, std::string* error) {
  *out = CommandLine{};
  out->settings.config_path = std::string(executable_dir) + "Config.cfg";
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      out->show_help = true;
      continue;
    }
    if (arg == "--version") {
      out->show_version = true;
      continue;
    }
    if (arg == "--report" || arg == "--json") {
      (arg == "--report" ? out->report : out->json) = true;
      continue;
    }
    std::string_view name = arg;
    std::string_view value;
    bool has_value = false;
    size_t eq = arg.find('=');
    if (arg.starts_with("--") && eq != std::string_view::npos) {
      name = arg.substr(0, eq);
      value = arg.substr(eq + 1);
      has_value = true;
    }
    if (name != "--config" && name != "--port" && name != "--listen" && name != "--idle-ms" &&
        name != "--sweep-ms" && name != "--login-ms" && name != "--max-connections" && name != "--log-level") {
      *error = "unknown option: " + std::string(arg);
      return false;
    }
    if (!has_value) {
      if (i + 1 >= argc) {
        *error = "missing value for " + std::string(name);
        return false;
      }
      value = argv[++i];
    }
    unsigned long number = 0;
    if (name == "--config") {
      if (value.empty()) {
        *error = "--config needs a file name";
        return false;
      }
      out->settings.config_path = std::string(value);
      out->config_given = true;
    } else if (name == "--port") {
      if (!ParseNumber(value, 1, 65535, &number)) {
        *error = "--port needs a number from 1 to 65535, not \"" + std::string(value) + "\"";
        return false;
      }
      out->settings.port = static_cast<uint16_t>(number);
    } else if (name == "--listen") {
      in_addr addr{};
      std::string text(value);
      if (inet_pton(AF_INET, text.c_str(), &addr) != 1) {
        *error = "--listen needs a dotted IPv4 address, not \"" + text + "\"";
        return false;
      }
      out->settings.listen_address = ntohl(addr.s_addr);
    } else if (name == "--max-connections") {
      if (!ParseNumber(value, 1, kMaxConnectionsCeiling, &number)) {
        *error = "--max-connections needs a number from 1 to " + std::to_string(kMaxConnectionsCeiling) + ", not \"" +
                 std::string(value) + "\"";
        return false;
      }
      out->settings.max_connections = static_cast<uint32_t>(number);
    } else if (name == "--log-level") {
      if (value == "requests") {
        out->settings.log_level = LogLevel::kRequests;
      } else if (value == "connections") {
        out->settings.log_level = LogLevel::kConnections;
      } else if (value == "errors") {
        out->settings.log_level = LogLevel::kErrors;
      } else {
        *error = "--log-level needs requests, connections or errors, not \"" + std::string(value) + "\"";
        return false;
      }
    } else {
      if (!ParseNumber(value, 1, INT32_MAX, &number)) {
        *error = std::string(name) + " needs a number of milliseconds from 1 to 2147483647, not \"" +
                 std::string(value) + "\"";
        return false;
      }
      if (name == "--idle-ms") {
        out->settings.idle_limit_ms = static_cast<uint32_t>(number);
      } else if (name == "--login-ms") {
        out->settings.login_limit_ms = static_cast<uint32_t>(number);
      } else {
        out->settings.sweep_period_ms = static_cast<uint32_t>(number);
      }
    }
  }
  if (out->json && !out->report) {
    *error = "--json goes with --report";
    return false;
  }
  return true;
}

std::string HelpText() {
  return "Usage: tervanesvr [OPTION]...\n"
         "Serves the users' file stores over TCP until SIGTERM or SIGINT.\n"
         "\n"
         "  --config FILE   account and share file (default: Config.cfg beside the program)\n"
         "  --port N        TCP port to listen on (default: 9527)\n"
         "  --listen ADDR   IPv4 address to listen on (default: every local address)\n"
         "  --idle-ms N     drop a connection silent for more than N ms (default: 300000)\n"
         "  --sweep-ms N    look for silent connections every N ms (default: 300000)\n"
         "  --login-ms N    drop a connection not logged in N ms after it was\n"
         "                  accepted (default: 30000)\n"
         "  --max-connections N\n"
         "                  serve at most N connections at once, 1 to 1000 (default: 10)\n"
         "  --log-level LEVEL\n"
         "                  which lines to log: requests (every line, the default),\n"
         "                  connections (connections, sessions, accounts and failed\n"
         "                  requests) or errors (failures only)\n"
         "  --report        print each account's weekday copies (newest time, files,\n"
         "                  bytes) from the share without a running server, marking\n"
         "                  STALE an account without a copy of the last two days;\n"
         "                  exit 0, 1 when any is stale, 2 when Config.cfg cannot\n"
         "                  be read (default with --report: beside the program, else\n"
         "                  /var/lib/tervane/Config.cfg)\n"
         "  --json          with --report: the report as JSON\n"
         "  --help          show this text and exit\n"
         "  --version       show the version and exit\n"
         "\n"
         "Log lines go to standard output. Under systemd (Type=notify) the start-up\n"
         "stages, readiness and the stop are reported over $NOTIFY_SOCKET.\n";
}

std::string VersionText() { return "tervanesvr 1.0.0\n"; }

std::string ExecutableDirectory() {
  char path[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return std::string();
  std::string_view full(path, static_cast<size_t>(n));
  size_t slash = full.rfind('/');
  if (slash == std::string_view::npos) return std::string();
  return std::string(full.substr(0, slash + 1));
}

}  // namespace tervane
