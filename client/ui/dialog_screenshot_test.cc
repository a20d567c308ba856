#include "client/ui/dialog_screenshot.h"

#include <QImage>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>

#include "testing/ui_test_main.h"

namespace tervane {

class DialogScreenshotTest : public QObject {
  Q_OBJECT

 private slots:
  // A real picture, not one flat colour; a path that cannot be written fails.
  void rendersTheDialogIntoAPng() {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("dialog.png"));
    QVERIFY(RenderDialogScreenshot(path));
    const QImage image(path);
    QVERIFY(image.width() > 300 && image.height() > 250);
    QSet<QRgb> colours;
    for (int y = 0; y < image.height(); y += 3) {
      for (int x = 0; x < image.width(); x += 3) colours.insert(image.pixel(x, y));
    }
    QVERIFY2(colours.size() > 20, qPrintable(QString::number(colours.size())));
    QVERIFY(!RenderDialogScreenshot(dir.filePath(QStringLiteral("no/such/dir.png"))));
  }
};

TERVANE_UI_TEST(DialogScreenshotTest);

}  // namespace tervane

#include "dialog_screenshot_test.moc"
