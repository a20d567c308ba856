#include "client/ui/dialog_units.h"

#include <QFont>
#include <QFontInfo>
#include <QImage>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>

#include "client/ui/dialog_font.h"
#include "client/ui/dialog_screenshot.h"
#include "client/ui/dialog_template.h"
#include "testing/ui_test_main.h"

namespace tervane {

// How the dialog is laid out and drawn: units, template, font, picture.
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

  // Every control fits in the dialog and is found by its id; every caption
  // and message has glyphs in the chosen font (else it renders as empty
  // boxes); a private-use code point has none.
  void templateFitsAndTheFontDrawsEveryText() {
    const QRect dialog(QPoint(0, 0), kDialogSizeDlu);
    QString all = QStringLiteral("请先进行环境配置，然后退出重新启动请选择待备份的目录连接文件服务器失败连接备份服务器失败"
                                 "注册用户名后登陆失败配置的无法向远程发送删除命令成功创建文件夹开始一个完毕上传");
    for (const TemplateControl& control : Template102()) {
      QVERIFY2(dialog.contains(control.dlu), control.caption);
      if (control.id != kNoId) QCOMPARE(FindTemplateControl(control.id), &control);
      all += QString::fromUtf8(control.caption);
    }
    QVERIFY(FindTemplateControl(kNoId) == nullptr && FindTemplateControl(1011) == nullptr);
    const QFont font = PickDialogFont();
    QCOMPARE(font.pointSize(), kDialogFontPointSize);
    QVERIFY2(FontCovers(font, all), qPrintable(QFontInfo(font).family()));
    QVERIFY(!FontCovers(font, QString(QChar(0xE83A))));
  }

  // A real picture, not one flat colour; a path that cannot be written fails.
  void rendersTheDialogIntoAPng() {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("dialog.png"));
    QVERIFY(RenderDialogScreenshot(path));
    const QImage image(path);
    QVERIFY(image.width() > 300 && image.height() > 250);
    QSet<QRgb> colours;
    for (int y = 0; y < image.height(); y += 3)
      for (int x = 0; x < image.width(); x += 3) colours.insert(image.pixel(x, y));
    QVERIFY2(colours.size() > 20, qPrintable(QString::number(colours.size())));
    QVERIFY(!RenderDialogScreenshot(dir.filePath(QStringLiteral("no/such/dir.png"))));
  }
};

TERVANE_UI_TEST(DialogUnitsTest);

}  // namespace tervane

#include "dialog_units_test.moc"
