// The daily automatic trigger: every tick of the armed dialog's one-second
// timer asks whether the local time of day has just reached the start time.
// The window is two seconds wide so that one tick always lands in it, and a
// window fires at most once, so two ticks in the same window start one run.
#ifndef TERVANE_CLIENT_UI_START_WINDOW_H_
#define TERVANE_CLIENT_UI_START_WINDOW_H_

#include <QDateTime>
#include <QTime>

namespace tervane {

inline constexpr int kStartWindowSeconds = 2;

// Seconds from `start` to `now` as times of day, 0 to 86399 (a start time
// late in the evening is reached again just after midnight). Only hours,
// minutes and seconds count.
int SecondsSinceStart(const QTime& now, const QTime& start);

// True when `now` lies in [start, start + 2 s), measured in seconds of the
// day, so a start time of 12:30:59 matches at 12:30:59 and 12:31:00, and one
// of 23:59:59 at 23:59:59 and at 00:00:00.
bool InStartWindow(const QTime& now, const QTime& start);

// Remembers the window that last fired. Not thread-safe: the UI thread owns it.
class StartWindowTrigger {
 public:
  // True when a run should start for the tick at `now`: the time is inside
  // the window and this window has not fired yet.
  bool OnTick(const QDateTime& now, const QTime& start);

 private:
  QDateTime last_window_;  // where the last window that fired began
};

}  // namespace tervane

#endif  // TERVANE_CLIENT_UI_START_WINDOW_H_
