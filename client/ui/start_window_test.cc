#include "client/ui/start_window.h"

#include <QTest>

#include "testing/ui_test_main.h"

namespace tervane {

class StartWindowTest : public QObject {
  Q_OBJECT

 private slots:
  // The window is two whole seconds from the start, across a minute and
  // midnight; no start time, no window.
  void windowIsTwoSecondsFromTheStart() {
    const struct {
      QTime now, start;
      bool in;
    } cases[] = {
        {QTime(12, 29, 59), QTime(12, 30, 0), false}, {QTime(12, 30, 0), QTime(12, 30, 0), true},
        {QTime(12, 30, 1, 999), QTime(12, 30, 0), true}, {QTime(12, 30, 2), QTime(12, 30, 0), false},
        {QTime(0, 30, 0), QTime(12, 30, 0), false},    {QTime(12, 30, 0), QTime(), false},
        {QTime(12, 31, 0), QTime(12, 30, 59), true},   {QTime(12, 31, 1), QTime(12, 30, 59), false},
        {QTime(0, 0, 0), QTime(23, 59, 59), true},     {QTime(0, 0, 1), QTime(23, 59, 59), false},
    };
    for (const auto& c : cases) QVERIFY2(InStartWindow(c.now, c.start) == c.in, qPrintable(c.now.toString()));
    QCOMPARE(SecondsSinceStart(QTime(12, 29, 59), QTime(12, 30, 0)), 86399);
  }

  // Each window fires once, on whichever of its ticks comes first, also
  // over midnight; a changed start time is a new window the same day.
  void eachWindowFiresOnce() {
    StartWindowTrigger trigger;
    const QTime start(12, 30, 0);
    const QDate day(2024, 5, 6);
    QVERIFY(!trigger.OnTick(QDateTime(day, QTime(12, 29, 59, 900)), start));
    QVERIFY(trigger.OnTick(QDateTime(day, QTime(12, 30, 0, 400)), start));
    QVERIFY(!trigger.OnTick(QDateTime(day, QTime(12, 30, 1, 390)), start));
    QVERIFY(trigger.OnTick(QDateTime(day.addDays(1), QTime(12, 30, 1, 10)), start));
    QVERIFY(!trigger.OnTick(QDateTime(day.addDays(1), QTime(12, 30, 1, 20)), start));
    QVERIFY(trigger.OnTick(QDateTime(day.addDays(1), QTime(12, 30, 1, 30)), QTime(12, 30, 1)));
    StartWindowTrigger late;
    QVERIFY(late.OnTick(QDateTime(day, QTime(23, 59, 59, 500)), QTime(23, 59, 59)));
    QVERIFY(!late.OnTick(QDateTime(day.addDays(1), QTime(0, 0, 0, 500)), QTime(23, 59, 59)));
    StartWindowTrigger after_midnight;
    QVERIFY(after_midnight.OnTick(QDateTime(day.addDays(1), QTime(0, 0, 0, 100)), QTime(23, 59, 59)));
  }
};

TERVANE_UI_TEST(StartWindowTest);

}  // namespace tervane

#include "start_window_test.moc"
