#include "client/ui/start_window.h"

namespace tervane {
namespace {

constexpr int kSecondsPerDay = 24 * 60 * 60;

int SecondOfDay(const QTime& time) {
  return time.hour() * 3600 + time.minute() * 60 + time.second();
}

}  // namespace

int SecondsSinceStart(const QTime& now, const QTime& start) {
  return ((SecondOfDay(now) - SecondOfDay(start)) % kSecondsPerDay + kSecondsPerDay) %
         kSecondsPerDay;
}

bool InStartWindow(const QTime& now, const QTime& start) {
  if (!now.isValid() || !start.isValid()) return false;
  return SecondsSinceStart(now, start) < kStartWindowSeconds;
}

bool StartWindowTrigger::OnTick(const QDateTime& now, const QTime& start) {
  if (!now.isValid() || !InStartWindow(now.time(), start)) return false;
  // Drop milliseconds so both ticks of one window name the same instant.
  QDateTime whole = now;
  whole.setTime(QTime(now.time().hour(), now.time().minute(), now.time().second()));
  const QDateTime window = whole.addSecs(-SecondsSinceStart(now.time(), start));
  if (last_window_.isValid() && window == last_window_) return false;
  last_window_ = window;
  return true;
}

}  // namespace tervane
