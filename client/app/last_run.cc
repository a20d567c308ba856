#include "client/app/last_run.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace tervane {
namespace {

constexpr char kSection[] = "[LAST_RUN]";

std::string LocalTimeText(int64_t when) {
  const time_t t = static_cast<time_t>(when);
  struct tm local;
  char text[32];
  if (::localtime_r(&t, &local) == nullptr || std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local) == 0) {
    return "?";
  }
  return text;
}

const char* ResultWords(int result) {
  switch (result) {
    case 0: return "成功";
    case 1: return "部分失败";
    default: return "失败";
  }
}

// A value kept on one line: line ends inside it become spaces.
std::string OneLine(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  for (char& c : text) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  return text;
}

bool ParseNumber(const std::string& text, uint64_t* out) {
  if (text.empty() || text.size() > 19 || text.find_first_not_of("0123456789") != std::string::npos) return false;
  *out = std::strtoull(text.c_str(), nullptr, 10);
  return true;
}

}  // namespace

std::string LastRunPath(const std::string& settings_path) {
  const size_t slash = settings_path.rfind('/');
  const size_t dot = settings_path.rfind('.');
  const bool has_extension = dot != std::string::npos && (slash == std::string::npos || dot > slash + 1);
  return (has_extension ? settings_path.substr(0, dot) : settings_path) + ".last-run";
}

bool WriteLastRun(const std::string& path, const LastRun& run) {
  std::ostringstream text;
  text << kSection << "\nENDED=" << run.ended << "\nACCOUNT=" << OneLine(run.account) << "\nRESULT=" << run.result
       << "\nSUMMARY=" << OneLine(run.summary) << "\nFILES=" << run.files << "\nBYTES=" << run.bytes
       << "\nDIRECTORIES=" << run.directories << "\nFAILURES=" << run.failures << "\n";
  for (size_t i = 0; i < run.failed.size() && i < kMaxFailedKept; ++i) text << "FAILED=" << OneLine(run.failed[i]) << "\n";
  const std::string temp = path + ".new";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    out << text.str();
    if (!out.flush()) {
      std::remove(temp.c_str());
      return false;
    }
  }
  return std::rename(temp.c_str(), path.c_str()) == 0;
}

bool ReadLastRun(const std::string& path, LastRun* run) {
  std::ifstream in(path, std::ios::binary);
  std::string line;
  if (!std::getline(in, line) || line != kSection) return false;
  *run = LastRun();
  bool has_end = false;
  bool has_result = false;
  while (std::getline(in, line)) {
    const size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    const std::string key = line.substr(0, eq);
    const std::string value = line.substr(eq + 1);
    uint64_t number = 0;
    if (key == "ENDED" && ParseNumber(value, &number)) {
      run->ended = static_cast<int64_t>(number);
      has_end = true;
    } else if (key == "RESULT" && ParseNumber(value, &number) && number <= 2) {
      run->result = static_cast<int>(number);
      has_result = true;
    } else if (key == "ACCOUNT") {
      run->account = value;
    } else if (key == "SUMMARY") {
      run->summary = value;
    } else if (key == "FILES") {
      ParseNumber(value, &run->files);
    } else if (key == "BYTES") {
      ParseNumber(value, &run->bytes);
    } else if (key == "DIRECTORIES") {
      ParseNumber(value, &run->directories);
    } else if (key == "FAILURES") {
      ParseNumber(value, &run->failures);
    } else if (key == "FAILED" && run->failed.size() < kMaxFailedKept) {
      run->failed.push_back(value);
    }
  }
  return has_end && has_result;
}

int LastRunStatus(const LastRun* run, bool timer_on, time_t now) {
  if (run == nullptr) return 2;
  if (timer_on && now - static_cast<time_t>(run->ended) > kMissedRunSeconds) return 2;
  return run->result;
}

std::string LastRunLine(const LastRun& run) {
  std::string line = "上次备份[" + LocalTimeText(run.ended) + "]: " + ResultWords(run.result);
  if (!run.summary.empty()) line += " - " + run.summary;
  return line;
}

int RunStatusCommand(const std::string& settings_path, bool timer_on, time_t now, FILE* out) {
  LastRun run;
  if (!ReadLastRun(LastRunPath(settings_path), &run)) {
    std::fprintf(out, "no run recorded for %s\n", settings_path.c_str());
    return LastRunStatus(nullptr, timer_on, now);
  }
  const int status = LastRunStatus(&run, timer_on, now);
  std::fprintf(out, "last run: %s, account %s, result %d (%s)\n", LocalTimeText(run.ended).c_str(),
               run.account.c_str(), run.result, ResultWords(run.result));
  if (!run.summary.empty()) std::fprintf(out, "%s\n", run.summary.c_str());
  for (const std::string& f : run.failed) std::fprintf(out, "%s\n", f.c_str());
  if (run.failed.size() < run.failures && !run.failed.empty()) {
    std::fprintf(out, "  ... %llu failures in all\n", static_cast<unsigned long long>(run.failures));
  }
  if (status == 2 && run.result != 2) {
    std::fprintf(out, "no run in the last %d hours while the daily timer is on\n",
                 static_cast<int>(kMissedRunSeconds / 3600));
  }
  return status;
}

}  // namespace tervane
