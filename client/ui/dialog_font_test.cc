#include "client/ui/dialog_font.h"

#include <QFontInfo>
#include <QTest>

#include "client/ui/dialog_template.h"
#include "testing/ui_test_main.h"

namespace tervane {

class DialogFontTest : public QObject {
  Q_OBJECT

 private slots:
  // Every caption and message of the dialog has glyphs in the chosen font
  // (else it renders as empty boxes); a private-use code point has none.
  void dialogFontDrawsEveryChineseText() {
    const QFont font = PickDialogFont();
    QCOMPARE(font.pointSize(), kDialogFontPointSize);
    QString all = QStringLiteral("请先进行环境配置，然后退出重新启动请选择待备份的目录连接文件服务器失败连接备份服务器失败"
                                 "注册用户名后登陆失败配置的无法向远程发送删除命令成功创建文件夹开始一个完毕上传");
    for (const TemplateControl& control : Template102()) all += QString::fromUtf8(control.caption);
    QVERIFY2(FontCovers(font, all), qPrintable(QFontInfo(font).family()));
    QVERIFY(!FontCovers(font, QString(QChar(0xE83A))));
  }
};

TERVANE_UI_TEST(DialogFontTest);

}  // namespace tervane

#include "dialog_font_test.moc"
