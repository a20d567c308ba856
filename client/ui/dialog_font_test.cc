#include "client/ui/dialog_font.h"

#include <QFontInfo>
#include <QTest>

#include "client/ui/dialog_template.h"
#include "testing/ui_test_main.h"

namespace tervane {

class DialogFontTest : public QObject {
  Q_OBJECT

 private slots:
  // Every caption, title and message of the dialog must have glyphs in the
  // chosen font, or it renders as empty boxes.
  void dialogFontDrawsEveryChineseText() {
    const QFont font = PickDialogFont();
    QCOMPARE(font.pointSize(), kDialogFontPointSize);
    QString all;
    for (const TemplateControl& control : Template102()) all += QString::fromUtf8(control.caption);
    all += QStringLiteral("请先进行环境配置，然后退出重新启动请选择待备份的目录选择待备份的目录");
    all += QStringLiteral("连接文件服务器失败连接备份服务器失败注册用户名后登陆失败配置的文件服务器无法连接");
    all += QStringLiteral("向远程发送删除命令成功创建文件夹开始一个目录备份完毕上传");
    QVERIFY2(FontCovers(font, all), qPrintable(QFontInfo(font).family()));
  }

  void coverageCheckSeesMissingGlyphs() {
    const QFont font = PickDialogFont();
    // A private-use code point no font of ours draws.
    QVERIFY(!FontCovers(font, QString(QChar(0xE83A))));
    QVERIFY(FontCovers(font, QStringLiteral("Ostrova")));
  }
};

TERVANE_UI_TEST(DialogFontTest);

}  // namespace tervane

#include "dialog_font_test.moc"
