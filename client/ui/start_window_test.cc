#include "client/ui/start_window.h"

#include <QTest>

#include "testing/ui_test_main.h"

namespace tervane {

class StartWindowTest : public QObject {
  Q_OBJECT

 private slots:
  void windowIsTwoSecondsFromTheStart() {
    const QTime start(12, 30, 0);
    QVERIFY(!InStartWindow(QTime(12, 29, 59), start));
    QVERIFY(InStartWindow(QTime(12, 30, 0), start));
    QVERIFY(InStartWindow(QTime(12, 30, 1, 999), start));
    QVERIFY(!InStartWindow(QTime(12, 30, 2), start));
    QVERIFY(!InStartWindow(QTime(0, 30, 0), start));
    QVERIFY(!InStartWindow(QTime(12, 30, 0), QTime()));
    QCOMPARE(SecondsSinceStart(QTime(12, 29, 59), start), 86399);
  }

  // Measured in seconds, a start at hh:mm:59 keeps its second second, and
  // one just before midnight continues into the next day.
  void windowCrossesMinuteAndMidnight() {
    QVERIFY(InStartWindow(QTime(12, 30, 59), QTime(12, 30, 59)));
    QVERIFY(InStartWindow(QTime(12, 31, 0), QTime(12, 30, 59)));
    QVERIFY(!InStartWindow(QTime(12, 31, 1), QTime(12, 30, 59)));
    QVERIFY(InStartWindow(QTime(0, 0, 0), QTime(23, 59, 59)));
    QVERIFY(!InStartWindow(QTime(0, 0, 1), QTime(23, 59, 59)));
  }

  void eachWindowFiresOnce() {
    StartWindowTrigger trigger;
    const QTime start(12, 30, 0);
    const QDate day(2024, 5, 6);
    QVERIFY(!trigger.OnTick(QDateTime(day, QTime(12, 29, 59, 900)), start));
    QVERIFY(trigger.OnTick(QDateTime(day, QTime(12, 30, 0, 400)), start));
    QVERIFY(!trigger.OnTick(QDateTime(day, QTime(12, 30, 1, 390)), start));  // same window
    QVERIFY(!trigger.OnTick(QDateTime(day, QTime(12, 30, 2, 380)), start));
    // The next day's window fires again, on whichever of its ticks comes first.
    QVERIFY(trigger.OnTick(QDateTime(day.addDays(1), QTime(12, 30, 1, 10)), start));
    QVERIFY(!trigger.OnTick(QDateTime(day.addDays(1), QTime(12, 30, 1, 20)), start));
  }

  void windowOverMidnightFiresOnce() {
    StartWindowTrigger trigger;
    const QTime start(23, 59, 59);
    QVERIFY(trigger.OnTick(QDateTime(QDate(2024, 5, 6), QTime(23, 59, 59, 500)), start));
    QVERIFY(!trigger.OnTick(QDateTime(QDate(2024, 5, 7), QTime(0, 0, 0, 500)), start));
    // A window first met after midnight fires there.
    StartWindowTrigger late;
    QVERIFY(late.OnTick(QDateTime(QDate(2024, 5, 7), QTime(0, 0, 0, 100)), start));
  }

  // A changed start time opens a new window even on the same day.
  void newStartTimeIsANewWindow() {
    StartWindowTrigger trigger;
    const QDate day(2024, 5, 6);
    QVERIFY(trigger.OnTick(QDateTime(day, QTime(8, 0, 0)), QTime(8, 0, 0)));
    QVERIFY(trigger.OnTick(QDateTime(day, QTime(8, 0, 1)), QTime(8, 0, 1)));
  }
};

TERVANE_UI_TEST(StartWindowTest);

}  // namespace tervane

#include "start_window_test.moc"
