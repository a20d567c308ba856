#include "client/ui/dialog_units.h"

#include <QFont>
#include <QTest>

#include "client/ui/dialog_template.h"
#include "testing/ui_test_main.h"

namespace tervane {

class DialogUnitsTest : public QObject {
  Q_OBJECT

 private slots:
  // Halves round away from zero. The classic 8-point font has base units
  // 6 x 13: the dialog is then 405 x 354 pixels.
  void mapsDialogUnitsToPixels() {
    const int cases[][4] = {{7, 6, 4, 11},  {5, 6, 4, 8},    {3, 13, 8, 5},  {1, 13, 8, 2},
                            {9, 13, 8, 15}, {-7, 6, 4, -11}, {0, 6, 4, 0},   {270, 6, -4, -405}};
    for (const auto& c : cases) QCOMPARE(MulDivRound(c[0], c[1], c[2]), c[3]);
    const DialogBaseUnits units{6, 13};
    QCOMPARE(DluToPixels(kDialogSizeDlu, units), QSize(405, 354));
    QCOMPARE(DluToPixels(QRect(15, 3, 193, 115), units), QRect(23, 5, 290, 187));
    QCOMPARE(DluToPixels(QRect(16, 202, 236, 11), units), QRect(24, 328, 354, 18));
    QFont font = QApplication::font();
    font.setPointSize(9);
    QFont large = font;
    large.setPointSize(18);
    const DialogBaseUnits small_units = BaseUnitsFor(font), large_units = BaseUnitsFor(large);
    QVERIFY(small_units.x >= 1 && large_units.x > small_units.x && large_units.y > small_units.y);
  }

  void templateControlsFitInsideTheDialog() {
    const QRect dialog(QPoint(0, 0), kDialogSizeDlu);
    for (const TemplateControl& control : Template102()) {
      QVERIFY2(dialog.contains(control.dlu), control.caption);
      if (control.id != kNoId) QCOMPARE(FindTemplateControl(control.id), &control);
    }
    QVERIFY(FindTemplateControl(kNoId) == nullptr && FindTemplateControl(1011) == nullptr);
  }
};

TERVANE_UI_TEST(DialogUnitsTest);

}  // namespace tervane

#include "dialog_units_test.moc"
