// tervane_bench_tool: the measuring half of scripts/bench.
//
//   gen small DIR [--files N] [--directories N] [--seed S]
//   gen large DIR [--files N] [--mib N] [--seed S]
//   gen empties DIR [--directories N]
//        writes a dataset into DIR (which must not exist); prints
//        "files directories bytes"
//   count DIR
//        prints "files directories bytes others" of the tree below DIR
//   run [--stdout FILE] [--stderr FILE] [--timeout-ms N] -- PROGRAM ARGS...
//        runs the program and prints "wall_seconds peak_rss_kib exit_status
//        user_seconds system_seconds"; exits 0 when the program did
//   hold --port N [--count N] [--address A]
//        opens N sessions, prints "ready N", keeps them until standard input
//        ends, then closes them
//   report RESULTS [--markdown]
//        prints the table, the targets and the summary line
//   proxy --port N --to N [--delay-us N]
//        forwards 127.0.0.1:port to 127.0.0.1:to, holding every chunk
//        delay-us microseconds (default 250) in each direction; serves until
//        it is stopped
//   port
//        prints a loopback port that is free now
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "bench/child_server.h"
#include "bench/dataset.h"
#include "bench/delay_proxy.h"
#include "bench/measured_run.h"
#include "bench/report.h"
#include "bench/session_holder.h"

namespace tervane::bench {
namespace {

constexpr int kUsageError = 2;
// How often held sessions send a heartbeat: well inside the server's
// five-minute idle limit.
constexpr int kHeartbeatPeriodMs = 60000;

int Usage() {
  std::fputs(
      "usage: tervane_bench_tool gen small|large|empties DIR [--files N] [--directories N] [--mib N] [--seed S]\n"
      "       tervane_bench_tool count DIR\n"
      "       tervane_bench_tool run [--stdout FILE] [--stderr FILE] [--timeout-ms N] -- PROGRAM ARGS...\n"
      "       tervane_bench_tool hold --port N [--count N] [--address A]\n"
      "       tervane_bench_tool report RESULTS [--markdown]\n"
      "       tervane_bench_tool proxy --port N --to N [--delay-us N]\n"
      "       tervane_bench_tool port\n",
      stderr);
  return kUsageError;
}

bool ParseNumber(const char* text, uint64_t max, uint64_t* value) {
  if (text == nullptr || text[0] < '0' || text[0] > '9') return false;
  char* end = nullptr;
  errno = 0;
  unsigned long long v = std::strtoull(text, &end, 10);
  if (errno != 0 || *end != '\0' || v > max) return false;
  *value = v;
  return true;
}

// Options of the form "--name N" after the positional arguments.
struct NumberOptions {
  uint64_t files = 0;
  uint64_t directories = 0;
  uint64_t mib = 0;
  uint64_t seed = kDefaultSeed;
  uint64_t port = 0;
  uint64_t count = 0;
  uint64_t timeout_ms = 0;
  bool has_files = false;
  bool has_directories = false;
  bool has_mib = false;
};

int Generate(int argc, char** argv) {
  // gen KIND DIR, with the options before, between or after them.
  std::vector<std::string_view> positional;
  NumberOptions o;
  for (int i = 2; i < argc; ++i) {
    std::string_view name = argv[i];
    if (name.substr(0, 2) != "--") {
      positional.push_back(name);
      continue;
    }
    const char* value = i + 1 < argc ? argv[++i] : nullptr;
    bool ok = false;
    if (name == "--files") ok = o.has_files = ParseNumber(value, 10000000, &o.files);
    else if (name == "--directories") ok = o.has_directories = ParseNumber(value, 1000000, &o.directories);
    else if (name == "--mib") ok = o.has_mib = ParseNumber(value, 1 << 20, &o.mib);
    else if (name == "--seed") ok = ParseNumber(value, UINT64_MAX, &o.seed);
    if (!ok) return Usage();
  }
  if (positional.size() != 2) return Usage();
  std::string_view kind = positional[0];
  std::string dir(positional[1]);
  TreeStats stats;
  std::string failed;
  uint32_t result;
  if (kind == "small") {
    result = WriteSmallDataset(dir, static_cast<uint32_t>(o.has_files ? o.files : kSmallFiles),
                               static_cast<uint32_t>(o.has_directories ? o.directories : kSmallDirectories),
                               o.seed, &stats, &failed);
  } else if (kind == "large") {
    result = WriteLargeDataset(dir, static_cast<uint32_t>(o.has_files ? o.files : kLargeFiles),
                               o.has_mib ? o.mib << 20 : kLargeFileBytes, o.seed, &stats, &failed);
  } else if (kind == "empties") {
    result = WriteEmptiesDataset(dir, static_cast<uint32_t>(o.has_directories ? o.directories : kEmptyDirectories),
                                 &stats, &failed);
  } else {
    return Usage();
  }
  if (result != 0) {
    std::fprintf(stderr, "tervane_bench_tool: %s [Error:%u]\n", failed.c_str(), result);
    return 1;
  }
  std::printf("%" PRIu64 " %" PRIu64 " %" PRIu64 "\n", stats.files, stats.directories, stats.bytes);
  return 0;
}

int Count(int argc, char** argv) {
  if (argc != 3) return Usage();
  TreeStats stats;
  std::string failed;
  uint32_t result = CountTree(argv[2], &stats, &failed);
  if (result != 0) {
    std::fprintf(stderr, "tervane_bench_tool: %s [Error:%u]\n", failed.c_str(), result);
    return 1;
  }
  std::printf("%" PRIu64 " %" PRIu64 " %" PRIu64 " %" PRIu64 "\n", stats.files, stats.directories, stats.bytes,
              stats.others);
  return 0;
}

int Run(int argc, char** argv) {
  RunOptions options;
  int i = 2;
  for (; i < argc; ++i) {
    std::string_view name = argv[i];
    if (name == "--") {
      ++i;
      break;
    }
    if (i + 1 >= argc) return Usage();
    if (name == "--stdout") {
      options.stdout_path = argv[++i];
    } else if (name == "--stderr") {
      options.stderr_path = argv[++i];
    } else if (name == "--timeout-ms") {
      uint64_t ms = 0;
      if (!ParseNumber(argv[++i], UINT32_MAX, &ms)) return Usage();
      options.timeout_ms = static_cast<uint32_t>(ms);
    } else {
      return Usage();
    }
  }
  if (i >= argc) return Usage();
  std::vector<std::string> program(argv + i, argv + argc);
  RunMeasurement m;
  uint32_t result = RunMeasured(program, options, &m);
  if (result != 0) {
    std::fprintf(stderr, "tervane_bench_tool: cannot run %s [Error:%u]\n", program[0].c_str(), result);
    return 1;
  }
  int status = m.exited ? m.exit_status : 128 + m.signal;
  std::printf("%.6f %" PRIu64 " %d %.3f %.3f\n", m.wall_seconds, m.peak_rss_kib, status, m.user_seconds,
              m.system_seconds);
  if (m.timed_out) std::fprintf(stderr, "tervane_bench_tool: %s timed out\n", program[0].c_str());
  return m.succeeded() ? 0 : 1;
}

int Hold(int argc, char** argv) {
  std::string address = "127.0.0.1";
  NumberOptions o;
  o.count = 9;
  for (int i = 2; i < argc; i += 2) {
    std::string_view name = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    bool ok = value != nullptr;
    if (name == "--port") ok = ParseNumber(value, 65535, &o.port) && o.port > 0;
    else if (name == "--count") ok = ParseNumber(value, 1000, &o.count);
    else if (name == "--address" && ok) address = value;
    else ok = false;
    if (!ok) return Usage();
  }
  if (o.port == 0) return Usage();
  SessionHolder holder;
  uint32_t result = holder.Open(address, static_cast<uint16_t>(o.port), static_cast<uint32_t>(o.count));
  if (result != 0) {
    std::fprintf(stderr, "tervane_bench_tool: opened %zu sessions, then [Error:%u]\n", holder.size(), result);
    return 1;
  }
  std::printf("ready %zu\n", holder.size());
  std::fflush(stdout);
  // Until standard input ends (the script closes it, or is gone).
  for (;;) {
    pollfd pfd{STDIN_FILENO, POLLIN, 0};
    int ready = ::poll(&pfd, 1, kHeartbeatPeriodMs);
    if (ready < 0 && errno == EINTR) continue;
    if (ready == 0) {
      if (holder.Heartbeat() != 0) return 1;
      continue;
    }
    char byte[256];
    if (ready < 0 || ::read(STDIN_FILENO, byte, sizeof byte) <= 0) break;
  }
  holder.CloseAll();
  return 0;
}

int Proxy(int argc, char** argv) {
  uint64_t port = 0, to = 0, delay_us = 250;
  for (int i = 2; i < argc; i += 2) {
    std::string_view name = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    bool ok = false;
    if (name == "--port") ok = ParseNumber(value, 65535, &port);
    else if (name == "--to") ok = ParseNumber(value, 65535, &to);
    else if (name == "--delay-us") ok = ParseNumber(value, 10'000'000, &delay_us);
    if (!ok) return Usage();
  }
  if (port == 0 || to == 0) return Usage();
  return RunDelayProxy(static_cast<uint16_t>(port), static_cast<uint16_t>(to), std::chrono::microseconds(delay_us));
}

int Report(int argc, char** argv) {
  if (argc < 3 || argc > 4) return Usage();
  bool markdown = argc == 4 && std::string_view(argv[3]) == "--markdown";
  if (argc == 4 && !markdown) return Usage();
  std::ifstream in(argv[2]);
  if (!in) {
    std::fprintf(stderr, "tervane_bench_tool: cannot read %s\n", argv[2]);
    return 1;
  }
  std::vector<RunRecord> records;
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    if (line.empty() || line[0] == '#') continue;
    RunRecord r;
    std::string error;
    if (!ParseRunRecord(line, &r, &error)) {
      std::fprintf(stderr, "tervane_bench_tool: %s:%d: %s\n", argv[2], number, error.c_str());
      return 1;
    }
    records.push_back(r);
  }
  std::vector<ToolSummary> summaries = Summarize(records);
  std::vector<TargetCheck> checks = CheckTargets(summaries);
  std::fputs(FormatTable(summaries, markdown).c_str(), stdout);
  std::fputs("\n", stdout);
  std::fputs(FormatTargets(checks, markdown).c_str(), stdout);
  std::fputs("\n", stdout);
  std::fputs((FormatSummaryLine(checks) + "\n").c_str(), stdout);
  return 0;
}

}  // namespace
}  // namespace tervane::bench

int main(int argc, char** argv) {
  using namespace tervane::bench;
  if (argc < 2) return Usage();
  std::string_view command = argv[1];
  if (command == "gen") return Generate(argc, argv);
  if (command == "count") return Count(argc, argv);
  if (command == "run") return Run(argc, argv);
  if (command == "hold") return Hold(argc, argv);
  if (command == "report") return Report(argc, argv);
  if (command == "proxy") return Proxy(argc, argv);
  if (command == "port" && argc == 2) {
    uint16_t port = PickFreePort();
    if (port == 0) return 1;
    std::printf("%u\n", port);
    return 0;
  }
  return Usage();
}
