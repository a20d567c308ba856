#include "server/daemon/report_command.h"

#include <cinttypes>
#include <vector>

#include "server/store/share_report.h"

namespace tervane {
namespace {

// Local time as "2026-12-07 12:30:05" (text) or "2026-12-07T12:30:05+0100" (JSON).
std::string TimeText(time_t when, bool json) {
  struct tm local;
  char text[40];
  if (::localtime_r(&when, &local) == nullptr ||
      std::strftime(text, sizeof text, json ? "%Y-%m-%dT%H:%M:%S%z" : "%Y-%m-%d %H:%M:%S", &local) == 0) {
    return "?";
  }
  return text;
}

std::string JsonString(const std::string& s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\u%04x", c);
      out += esc;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

void PrintText(const std::vector<AccountCopies>& report, FILE* out) {
  for (const AccountCopies& a : report) {
    std::fprintf(out, "%-20s %-5s %s\n", a.name.c_str(), a.stale ? "STALE" : "ok",
                 a.copies.empty() ? "no copy" : ("newest copy " + TimeText(a.newest, false)).c_str());
    for (const WeekdayCopy& c : a.copies) {
      std::fprintf(out, "  %s  %s  %10" PRIu64 " files  %15" PRIu64 " bytes\n", c.weekday.c_str(),
                   TimeText(c.newest, false).c_str(), c.files, c.bytes);
    }
  }
}

void PrintJson(const std::vector<AccountCopies>& report, time_t now, FILE* out) {
  std::fprintf(out, "{\"time\":%s,\"stale_after_seconds\":%lld,\"accounts\":[",
               JsonString(TimeText(now, true)).c_str(), static_cast<long long>(kStaleAfterSeconds));
  for (size_t i = 0; i < report.size(); ++i) {
    const AccountCopies& a = report[i];
    std::fprintf(out, "%s\n {\"name\":%s,\"stale\":%s,\"newest\":%s,\"copies\":[", i ? "," : "",
                 JsonString(a.name).c_str(), a.stale ? "true" : "false",
                 a.copies.empty() ? "null" : JsonString(TimeText(a.newest, true)).c_str());
    for (size_t j = 0; j < a.copies.size(); ++j) {
      const WeekdayCopy& c = a.copies[j];
      std::fprintf(out, "%s{\"weekday\":\"%s\",\"newest\":%s,\"files\":%" PRIu64 ",\"bytes\":%" PRIu64 "}",
                   j ? "," : "", c.weekday.c_str(), JsonString(TimeText(c.newest, true)).c_str(), c.files, c.bytes);
    }
    std::fputs("]}", out);
  }
  std::fputs("\n]}\n", out);
}

}  // namespace

int RunReport(const std::string& config_path, bool json, time_t now, FILE* out) {
  std::vector<AccountCopies> report;
  uint32_t r = ReadShareReport(config_path, now, &report).code();
  if (r != 0) {
    std::fprintf(stderr, "tervanesvr: cannot read %s (code %u)\n", config_path.c_str(), r);
    return 2;
  }
  if (json) {
    PrintJson(report, now, out);
  } else {
    PrintText(report, out);
  }
  std::fflush(out);
  for (const AccountCopies& a : report) {
    if (a.stale) return 1;
  }
  return 0;
}

}  // namespace tervane
