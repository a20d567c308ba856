// The benchmark's results: one line per timed run, written by scripts/bench
// as it goes, then summarised into medians, rates, ratios against the two
// anchors (cp -a and the rsync daemon) and the targets Tervane must reach.
//
// A results line holds ten tab-separated fields:
//   dataset tool round wall_seconds files directories bytes
//   server_peak_kib client_peak_kib valid
// `tool` is "tervane", "cp" or "rsync"; `valid` is 1 when the copy matched
// its source and 0 otherwise; peaks are 0 when not measured. Lines starting
// with "#" and empty lines are ignored. Datasets "small", "large", "mixed"
// and "empties" are the comparisons, "lan-small" and "lan-large" the same
// through a link with a network's round trip; "scale-N" are Tervane's runs of small
// at N files (the scaling target compares the largest N with N/2); "connections" is a Tervane run with ten connections open.
//
// Plain functions over values; thread-compatible.
#ifndef TERVANE_BENCH_REPORT_H_
#define TERVANE_BENCH_REPORT_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tervane::bench {

struct RunRecord {
  std::string dataset;
  std::string tool;
  int round = 0;
  double wall_seconds = 0;
  uint64_t files = 0;
  uint64_t directories = 0;
  uint64_t bytes = 0;
  uint64_t server_peak_kib = 0;
  uint64_t client_peak_kib = 0;
  bool valid = false;
};

// Parses one results line. False (with *error saying why) for a line that
// does not have the ten fields or whose numbers do not read.
bool ParseRunRecord(std::string_view line, RunRecord* record, std::string* error);
// The line ParseRunRecord reads back.
std::string FormatRunRecord(const RunRecord& record);

// The valid runs of one tool on one dataset. Rates are taken at the median
// wall time; with no valid run, `valid_runs` is 0 and the figures are 0.
struct ToolSummary {
  std::string dataset;
  std::string tool;
  int valid_runs = 0;
  int invalid_runs = 0;
  double median_seconds = 0;
  double min_seconds = 0;
  double max_seconds = 0;
  uint64_t files = 0;
  uint64_t directories = 0;
  uint64_t bytes = 0;
  double megabytes_per_second = 0;  // 10^6 bytes
  double files_per_second = 0;
  double directories_per_second = 0;
  uint64_t server_peak_kib = 0;  // the highest over its runs
  uint64_t client_peak_kib = 0;
};

// Median of `values` (the mean of the middle two for an even count); 0 for
// none.
double Median(std::vector<double> values);

// One summary per (dataset, tool), in the order the pairs first appear.
std::vector<ToolSummary> Summarize(const std::vector<RunRecord>& records);

// A target of the issue, checked on the summaries.
struct TargetCheck {
  std::string name;       // e.g. "small files/s vs rsync"
  std::string condition;  // e.g. ">= 0.50"
  double measured = 0;    // the ratio or figure compared
  bool measured_ok = false;  // false: a run it needs is missing or invalid
  bool met = false;
};

// Limits of the targets: Tervane's median wall time over rsync's on the
// same dataset, on loopback and through the benchmark's delaying proxy
// (datasets "lan-small" and "lan-large").
inline constexpr double kSmallTimeRatioMax = 1.0;
inline constexpr double kMixedTimeRatioMax = 1.0;
inline constexpr double kLargeTimeRatioMax = 0.67;
inline constexpr double kEmptiesTimeRatioMax = 0.5;
inline constexpr double kLanSmallTimeRatioMax = 2.0;
inline constexpr double kLanLargeTimeRatioMax = 1.0;
inline constexpr uint64_t kServerPeakKibMax = 16 * 1024;
inline constexpr uint64_t kClientPeakKibMax = 32 * 1024;
inline constexpr double kScalingRatioMax = 2.2;         // time of 2N files over N (40,000 over 20,000)

std::vector<TargetCheck> CheckTargets(const std::vector<ToolSummary>& summaries);

// The table of summaries, with each Tervane row's ratios to the anchors of
// its dataset; `markdown` selects a Markdown table instead of aligned text.
std::string FormatTable(const std::vector<ToolSummary>& summaries, bool markdown);
// The targets, one per line (or a Markdown table).
std::string FormatTargets(const std::vector<TargetCheck>& checks, bool markdown);
// One line: every target's figure and whether it was met.
std::string FormatSummaryLine(const std::vector<TargetCheck>& checks);

}  // namespace tervane::bench

#endif  // TERVANE_BENCH_REPORT_H_
