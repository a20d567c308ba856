#include "server/daemon/command_line.h"

#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

namespace tervane {
namespace {

bool Parse(std::vector<const char*> args, CommandLine* out, std::string* error) {
  args.insert(args.begin(), "tervanesvr");
  return ParseCommandLine(static_cast<int>(args.size()), args.data(), "/opt/tervane/", out, error);
}

TEST(CommandLineTest, TakesValuesSeparateOrAfterEqualsAndRefusesBadInput) {
  CommandLine cl;
  std::string error;
  ASSERT_TRUE(Parse({}, &cl, &error)) << error;
  EXPECT_EQ(cl.settings.config_path, "/opt/tervane/Config.cfg");  // beside the program
  EXPECT_FALSE(cl.config_given || cl.report || cl.show_help || cl.show_version);

  ASSERT_TRUE(Parse({"--config", "/tmp/x/Config.cfg", "--port=4000", "--listen", "127.0.0.1", "--idle-ms=250",
                     "--sweep-ms", "100", "--login-ms", "500", "--max-connections=30", "--log-level", "connections"},
                    &cl, &error))
      << error;
  const ServiceSettings& s = cl.settings;
  EXPECT_EQ(std::tie(s.config_path, s.port, s.listen_address, s.idle_limit_ms, s.sweep_period_ms, s.login_limit_ms),
            std::make_tuple(std::string("/tmp/x/Config.cfg"), uint16_t{4000}, 0x7f000001u, 250u, 100u, 500u));
  EXPECT_TRUE(s.max_connections == 30 && s.log_level == LogLevel::kConnections && cl.config_given);
  ASSERT_TRUE(Parse({"--log-level=errors", "--max-connections", "1000"}, &cl, &error)) << error;
  EXPECT_TRUE(s.log_level == LogLevel::kErrors && s.max_connections == 1000);
  ASSERT_TRUE(Parse({"--report", "--json", "--help", "--version", "--log-level", "requests"}, &cl, &error)) << error;
  EXPECT_TRUE(cl.report && cl.json && cl.show_help && cl.show_version);
  EXPECT_EQ(s.log_level, LogLevel::kRequests);

  const std::vector<std::vector<const char*>> bad = {
      {"--port"},           {"--port", "0"},        {"--port", "65536"},  {"--port", "12ab"},
      {"--port", "-1"},     {"--listen", "::1"},    {"--listen", "1.2.3"}, {"--idle-ms", "0"},
      {"--sweep-ms", "x"},  {"--sweep-ms=99999999999"}, {"--config="},   {"--bogus"},
      {"stray"},            {"--login-ms", "0"},    {"--max-connections", "0"}, {"--max-connections", "1001"},
      {"--log-level", "debug"}, {"--log-level="}, {"--json"},
  };
  for (const auto& args : bad) {
    CommandLine cl;
    std::string error;
    EXPECT_FALSE(Parse(args, &cl, &error)) << args[0];
    EXPECT_FALSE(error.empty()) << args[0];
  }
}

}  // namespace
}  // namespace tervane
