#include "client/ui/dialog_units.h"

#include <QFont>
#include <QFontMetrics>
#include <QTest>

#include "client/ui/dialog_template.h"
#include "testing/ui_test_main.h"

namespace tervane {

class DialogUnitsTest : public QObject {
  Q_OBJECT

 private slots:
  void mulDivRoundsHalfAwayFromZero() {
    QCOMPARE(MulDivRound(7, 6, 4), 11);    // 10.5 -> 11
    QCOMPARE(MulDivRound(5, 6, 4), 8);     // 7.5 -> 8
    QCOMPARE(MulDivRound(3, 13, 8), 5);    // 4.875 -> 5
    QCOMPARE(MulDivRound(1, 13, 8), 2);    // 1.625 -> 2
    QCOMPARE(MulDivRound(9, 13, 8), 15);   // 14.625 -> 15
    QCOMPARE(MulDivRound(-7, 6, 4), -11);  // -10.5 -> -11
    QCOMPARE(MulDivRound(0, 6, 4), 0);
    QCOMPARE(MulDivRound(270, 6, -4), -405);
  }

  // The classic 8-point dialog font has base units 6 x 13: the dialog is
  // then 405 x 354 pixels and the first group box sits at (23, 5).
  void mapsTemplateRectsWithKnownUnits() {
    const DialogBaseUnits units{6, 13};
    QCOMPARE(DluToPixels(kDialogSizeDlu, units), QSize(405, 354));
    QCOMPARE(DluToPixels(QRect(15, 3, 193, 115), units), QRect(23, 5, 290, 187));
    QCOMPARE(DluToPixels(QRect(214, 189, 38, 14), units), QRect(321, 307, 57, 23));
    QCOMPARE(DluToPixels(QRect(16, 202, 236, 11), units), QRect(24, 328, 354, 18));
  }

  void baseUnitsFollowTheFontMetrics() {
    QFont font = QApplication::font();
    font.setPointSize(9);
    const DialogBaseUnits units = BaseUnitsFor(font);
    const QFontMetrics metrics(font);
    const int extent = metrics.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    QCOMPARE(units.x, (extent / 26 + 1) / 2);
    QCOMPARE(units.y, metrics.height());
    QVERIFY(units.x >= 1);
    // A larger font gives a larger dialog.
    QFont large = font;
    large.setPointSize(18);
    const DialogBaseUnits large_units = BaseUnitsFor(large);
    QVERIFY(large_units.x > units.x);
    QVERIFY(large_units.y > units.y);
  }

  void templateControlsFitInsideTheDialog() {
    const QRect dialog(QPoint(0, 0), kDialogSizeDlu);
    int with_id = 0;
    for (const TemplateControl& control : Template102()) {
      QVERIFY2(dialog.contains(control.dlu), control.caption);
      if (control.id == kNoId) continue;
      ++with_id;
      QCOMPARE(FindTemplateControl(control.id), &control);
    }
    QCOMPARE(with_id, 9);
    QVERIFY(FindTemplateControl(kNoId) == nullptr);
    QVERIFY(FindTemplateControl(1011) == nullptr);
  }
};

TERVANE_UI_TEST(DialogUnitsTest);

}  // namespace tervane

#include "dialog_units_test.moc"
