#include "bench/report.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <utility>

namespace tervane::bench {
namespace {

constexpr size_t kFieldCount = 10;

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return text;
}

std::vector<std::string_view> SplitTabs(std::string_view line) {
  std::vector<std::string_view> fields;
  size_t start = 0;
  for (;;) {
    size_t tab = line.find('\t', start);
    fields.push_back(line.substr(start, tab == std::string_view::npos ? std::string_view::npos : tab - start));
    if (tab == std::string_view::npos) break;
    start = tab + 1;
  }
  return fields;
}

bool ReadUnsigned(std::string_view text, uint64_t* value) {
  if (text.empty() || text.size() > 20) return false;
  uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    uint64_t next = v * 10 + static_cast<uint64_t>(c - '0');
    if (next / 10 != v) return false;
    v = next;
  }
  *value = v;
  return true;
}

bool ReadSeconds(std::string_view text, double* value) {
  if (text.empty() || text.size() > 40) return false;
  std::string copy(text);
  char* end = nullptr;
  errno = 0;
  double v = std::strtod(copy.c_str(), &end);
  if (errno != 0 || end != copy.c_str() + copy.size() || !(v >= 0)) return false;
  *value = v;
  return true;
}

const ToolSummary* Find(const std::vector<ToolSummary>& summaries, std::string_view dataset, std::string_view tool) {
  for (const ToolSummary& s : summaries) {
    if (s.dataset == dataset && s.tool == tool && s.valid_runs > 0) return &s;
  }
  return nullptr;
}

// N of a valid Tervane run of "scale-N", else 0.
uint64_t ScaleFiles(const ToolSummary& s) {
  const std::string prefix = "scale-";
  if (s.tool != "tervane" || s.valid_runs == 0 || s.dataset.rfind(prefix, 0) != 0) return 0;
  std::string digits = s.dataset.substr(prefix.size());
  if (digits.empty() || digits.size() > 9 || digits.find_first_not_of("0123456789") != std::string::npos) return 0;
  return std::stoull(digits);
}

double Mib(uint64_t kib) { return static_cast<double>(kib) / 1024.0; }

TargetCheck Check(std::string name, std::string condition, bool measured_ok, double measured, bool met) {
  TargetCheck c;
  c.name = std::move(name);
  c.condition = std::move(condition);
  c.measured_ok = measured_ok;
  c.measured = measured_ok ? measured : 0;
  c.met = measured_ok && met;
  return c;
}

// The ratio the table shows beside a Tervane row: its rate over the
// anchor's for the dataset's own measure (time for mixed, as its target).
std::string RatioText(const std::vector<ToolSummary>& summaries, const ToolSummary& t, const char* anchor) {
  const ToolSummary* a = Find(summaries, t.dataset, anchor);
  if (a == nullptr || t.valid_runs == 0 || a->median_seconds <= 0 || t.median_seconds <= 0) return "-";
  if (t.dataset == "mixed") return Format("%.2fx time", t.median_seconds / a->median_seconds);
  return Format("%.2fx", a->median_seconds / t.median_seconds);
}

std::string Pad(const std::string& text, size_t width, bool right) {
  if (text.size() >= width) return text;
  std::string space(width - text.size(), ' ');
  return right ? space + text : text + space;
}

std::string Rate(double v) {
  if (v <= 0) return "-";
  return v >= 100 ? Format("%.0f", v) : Format("%.1f", v);
}

std::string Peak(uint64_t kib) { return kib == 0 ? "-" : Format("%.1f MiB", Mib(kib)); }

}  // namespace

bool ParseRunRecord(std::string_view line, RunRecord* record, std::string* error) {
  std::vector<std::string_view> f = SplitTabs(line);
  if (f.size() != kFieldCount) {
    *error = Format("%zu fields instead of %zu", f.size(), kFieldCount);
    return false;
  }
  RunRecord r;
  r.dataset = std::string(f[0]);
  r.tool = std::string(f[1]);
  uint64_t round = 0;
  uint64_t valid = 0;
  if (r.dataset.empty() || r.tool.empty()) {
    *error = "empty dataset or tool";
    return false;
  }
  if (!ReadUnsigned(f[2], &round) || round > 1000000 || !ReadSeconds(f[3], &r.wall_seconds) ||
      !ReadUnsigned(f[4], &r.files) || !ReadUnsigned(f[5], &r.directories) || !ReadUnsigned(f[6], &r.bytes) ||
      !ReadUnsigned(f[7], &r.server_peak_kib) || !ReadUnsigned(f[8], &r.client_peak_kib) ||
      !ReadUnsigned(f[9], &valid) || valid > 1) {
    *error = "a number does not read";
    return false;
  }
  r.round = static_cast<int>(round);
  r.valid = valid == 1;
  *record = std::move(r);
  return true;
}

std::string FormatRunRecord(const RunRecord& r) {
  return Format("%s\t%s\t%d\t%.6f\t%" PRIu64 "\t%" PRIu64 "\t%" PRIu64 "\t%" PRIu64 "\t%" PRIu64 "\t%d",
                r.dataset.c_str(), r.tool.c_str(), r.round, r.wall_seconds, r.files, r.directories, r.bytes,
                r.server_peak_kib, r.client_peak_kib, r.valid ? 1 : 0);
}

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  size_t n = values.size();
  return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

std::vector<ToolSummary> Summarize(const std::vector<RunRecord>& records) {
  std::vector<ToolSummary> out;
  std::map<std::pair<std::string, std::string>, std::vector<double>> times;
  for (const RunRecord& r : records) {
    auto key = std::make_pair(r.dataset, r.tool);
    auto it = std::find_if(out.begin(), out.end(),
                           [&](const ToolSummary& s) { return s.dataset == r.dataset && s.tool == r.tool; });
    if (it == out.end()) {
      ToolSummary s;
      s.dataset = r.dataset;
      s.tool = r.tool;
      out.push_back(s);
      it = out.end() - 1;
    }
    if (!r.valid) {
      ++it->invalid_runs;
      continue;
    }
    ++it->valid_runs;
    times[key].push_back(r.wall_seconds);
    it->files = r.files;
    it->directories = r.directories;
    it->bytes = r.bytes;
    it->server_peak_kib = std::max(it->server_peak_kib, r.server_peak_kib);
    it->client_peak_kib = std::max(it->client_peak_kib, r.client_peak_kib);
  }
  for (ToolSummary& s : out) {
    const std::vector<double>& t = times[std::make_pair(s.dataset, s.tool)];
    if (t.empty()) continue;
    s.median_seconds = Median(t);
    s.min_seconds = *std::min_element(t.begin(), t.end());
    s.max_seconds = *std::max_element(t.begin(), t.end());
    if (s.median_seconds > 0) {
      s.megabytes_per_second = static_cast<double>(s.bytes) / 1e6 / s.median_seconds;
      s.files_per_second = static_cast<double>(s.files) / s.median_seconds;
      s.directories_per_second = static_cast<double>(s.directories) / s.median_seconds;
    }
  }
  return out;
}

std::vector<TargetCheck> CheckTargets(const std::vector<ToolSummary>& summaries) {
  std::vector<TargetCheck> checks;
  auto pair = [&](const char* dataset, const char* anchor) {
    return std::make_pair(Find(summaries, dataset, "tervane"), Find(summaries, dataset, anchor));
  };

  auto time_ratio = [&](const char* dataset, double limit) {
    auto [t, r] = pair(dataset, "rsync");
    const bool ok = t && r && r->median_seconds > 0;
    const double v = ok ? t->median_seconds / r->median_seconds : 0;
    checks.push_back(Check(Format("%s: time over rsync's", dataset), Format("<= %.2f", limit), ok, v, v <= limit));
  };
  time_ratio("small", kSmallTimeRatioMax);
  time_ratio("mixed", kMixedTimeRatioMax);
  time_ratio("large", kLargeTimeRatioMax);
  time_ratio("empties", kEmptiesTimeRatioMax);
  time_ratio("lan-small", kLanSmallTimeRatioMax);
  time_ratio("lan-large", kLanLargeTimeRatioMax);

  bool ok = false;
  double v = 0;
  const ToolSummary* connections = Find(summaries, "connections", "tervane");
  ok = connections && connections->server_peak_kib > 0;
  v = ok ? Mib(connections->server_peak_kib) : 0;
  checks.push_back(Check("server peak RSS, 10 connections (MiB)", Format("<= %.0f", Mib(kServerPeakKibMax)), ok, v,
                         ok && connections->server_peak_kib <= kServerPeakKibMax));

  uint64_t client_peak = 0;
  for (const ToolSummary& s : summaries) {
    if (s.tool == "tervane" && s.valid_runs > 0) client_peak = std::max(client_peak, s.client_peak_kib);
  }
  ok = client_peak > 0;
  checks.push_back(Check("client peak RSS, any run (MiB)", Format("<= %.0f", Mib(kClientPeakKibMax)), ok,
                         Mib(client_peak), client_peak <= kClientPeakKibMax));

  // The largest scaling run that has one of half its size beside it.
  const ToolSummary* big = nullptr;
  const ToolSummary* half = nullptr;
  for (const ToolSummary& s : summaries) {
    uint64_t n = ScaleFiles(s);
    if (n == 0 || n % 2 != 0 || (big != nullptr && n <= ScaleFiles(*big))) continue;
    const ToolSummary* h = Find(summaries, "scale-" + std::to_string(n / 2), "tervane");
    if (h == nullptr) continue;
    big = &s;
    half = h;
  }
  ok = big && half && half->median_seconds > 0;
  v = ok ? big->median_seconds / half->median_seconds : 0;
  std::string name = ok ? Format("scaling: time of %" PRIu64 " files over %" PRIu64, ScaleFiles(*big), ScaleFiles(*half))
                        : std::string("scaling: time of 2N files over N");
  checks.push_back(Check(name, Format("<= %.2f", kScalingRatioMax), ok, v, v <= kScalingRatioMax));
  return checks;
}

std::string FormatTable(const std::vector<ToolSummary>& summaries, bool markdown) {
  const std::vector<std::string> heads = {"dataset", "tool",   "runs",  "wall s: median (min-max)",
                                          "MB/s",    "files/s", "dirs/s", "server peak",
                                          "client peak", "vs rsync", "vs cp"};
  std::vector<std::vector<std::string>> rows;
  for (const ToolSummary& s : summaries) {
    std::vector<std::string> row;
    row.push_back(s.dataset);
    row.push_back(s.tool);
    row.push_back(s.invalid_runs == 0 ? Format("%d", s.valid_runs)
                                      : Format("%d (+%d INVALID)", s.valid_runs, s.invalid_runs));
    if (s.valid_runs == 0) {
      row.push_back("no valid run");
      for (int i = 0; i < 7; ++i) row.push_back("-");
    } else {
      row.push_back(Format("%.3f (%.3f-%.3f)", s.median_seconds, s.min_seconds, s.max_seconds));
      row.push_back(Rate(s.megabytes_per_second));
      row.push_back(Rate(s.files_per_second));
      row.push_back(Rate(s.directories_per_second));
      row.push_back(Peak(s.server_peak_kib));
      row.push_back(Peak(s.client_peak_kib));
      row.push_back(s.tool == "tervane" ? RatioText(summaries, s, "rsync") : "");
      row.push_back(s.tool == "tervane" ? RatioText(summaries, s, "cp") : "");
    }
    rows.push_back(std::move(row));
  }
  std::string out;
  if (markdown) {
    out += "|";
    for (const std::string& h : heads) out += " " + h + " |";
    out += "\n|";
    for (size_t i = 0; i < heads.size(); ++i) out += i < 3 ? "---|" : "---:|";
    out += "\n";
    for (const auto& row : rows) {
      out += "|";
      for (const std::string& cell : row) out += " " + cell + " |";
      out += "\n";
    }
    return out;
  }
  std::vector<size_t> width(heads.size());
  for (size_t i = 0; i < heads.size(); ++i) width[i] = heads[i].size();
  for (const auto& row : rows) {
    for (size_t i = 0; i < row.size(); ++i) width[i] = std::max(width[i], row[i].size());
  }
  auto line = [&](const std::vector<std::string>& cells) {
    std::string text;
    for (size_t i = 0; i < cells.size(); ++i) {
      if (i > 0) text += "  ";
      text += Pad(cells[i], width[i], i >= 3);
    }
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text + "\n";
  };
  out += line(heads);
  for (const auto& row : rows) out += line(row);
  return out;
}

std::string FormatTargets(const std::vector<TargetCheck>& checks, bool markdown) {
  std::string out;
  if (markdown) out += "| target | limit | measured | |\n|---|---|---:|---|\n";
  for (const TargetCheck& c : checks) {
    std::string measured = c.measured_ok ? Format("%.2f", c.measured) : "not measured";
    std::string verdict = !c.measured_ok ? "NOT MEASURED" : c.met ? "met" : "MISSED";
    if (markdown) {
      out += "| " + c.name + " | " + c.condition + " | " + measured + " | " + verdict + " |\n";
    } else {
      out += Pad(c.name, 44, false) + Pad(c.condition, 8, false) + Pad(measured, 13, true) + "  " + verdict + "\n";
    }
  }
  return out;
}

std::string FormatSummaryLine(const std::vector<TargetCheck>& checks) {
  int met = 0;
  std::string parts;
  for (const TargetCheck& c : checks) {
    if (c.met) ++met;
    if (!parts.empty()) parts += "; ";
    parts += c.name + " " + (c.measured_ok ? Format("%.2f", c.measured) : "n/a") + " " +
             (!c.measured_ok ? "(not measured)" : c.met ? "(met)" : "(MISSED)");
  }
  return Format("targets met %d of %zu: ", met, checks.size()) + parts;
}

}  // namespace tervane::bench
