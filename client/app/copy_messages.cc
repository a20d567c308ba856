#include "client/app/copy_messages.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>

#include "client/app/result_words.h"
#include "client/net/remote_session.h"
#include "client/net/status_sink.h"

namespace tervane {

std::string FailureLine(const std::string& path, Result code) {
  return "  " + path + ": " + DescribeResult(code) + "\n";
}

bool ConnectionLost(RemoteSession* session) { return !KOVA_IsConnected(session); }

std::string FormatText(const char* format, ...) {
  char text[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof(text), format, args);
  va_end(args);
  return text;
}

void CopyRunOutput::Show(const std::string& text) const {
  if (status_ != nullptr) status_->ShowStatus(text);
}

bool CopyRunOutput::Ended(bool connection_lost, bool* stopped) const {
  if (connection_lost) return true;
  if (stop_ != nullptr && stop_->load()) *stopped = true;
  return *stopped;
}

void CopyRunOutput::Fail(const std::string& path, Result code, uint32_t* failed, bool* connection_lost) const {
  ++*failed;
  if (ConnectionLost(session_)) {
    *connection_lost = true;
    Show(std::string(lost_text_) + ": " + path + ": " + DescribeResult(code) + "\n");
    return;
  }
  Show(failed_text_);
  Show(FailureLine(path, code));
}

int64_t SteadyNowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

int64_t SecondsSince(int64_t start_ns) { return (SteadyNowNs() - start_ns) / 1'000'000'000; }

}  // namespace tervane
