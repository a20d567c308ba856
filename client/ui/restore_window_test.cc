#include "client/ui/restore_window.h"

#include <QFile>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTreeWidget>

#include "client/ui/dialog_prompts.h"
#include "testing/child_process.h"
#include "testing/temp_dir.h"
#include "testing/test_server.h"
#include "testing/ui_test_main.h"

namespace tervane {
namespace {

// Answers the folder picker with a fixed folder.
struct TargetPrompts : DialogPrompts {
  explicit TargetPrompts(QString folder) : target(std::move(folder)) {}
  void ShowMessage(QWidget*, const QString&, const QString&, QMessageBox::Icon) override {}
  QString ChooseDirectory(QWidget*, const QString&) override { return target; }
  const QString target;
};

}  // namespace

class RestoreWindowTest : public QObject {
  Q_OBJECT

 private slots:
  // Against the real server: the window lists the copy, opens it folder by
  // folder down to a file, and "恢复到..." restores the ticked file (and
  // nothing else) below the chosen folder.
  void restoresATickedFile() {
    if (testing::TestServer::Binary().empty()) QSKIP("tervanesvr is not built");
    testing::TestServer server;
    QVERIFY2(server.Start(), server.Errors().c_str());
    testing::TempDir tmp;
    const QString source = QString::fromStdString(tmp.At("源"));
    const std::string report = "季度报告\n";
    QVERIFY(testing::WriteFile(tmp.At("源/子/报告.txt"), report) && testing::WriteFile(tmp.At("源/keep.txt"), "x"));
    RestoreWindowOptions options;
    options.settings_path = tmp.At("BK_CLIENT_CFG.ini");
    QVERIFY(testing::WriteClientSettings(options.settings_path, {source.toStdString()}));
    const std::string log = tmp.At("sync.log");
    QVERIFY2(testing::RunToEnd(testing::ClientSyncOptions(options.settings_path, server.port(), log), 60000) == 0,
             testing::ReadFile(log).c_str());
    const QString target = QString::fromStdString(tmp.At("target"));
    TargetPrompts prompts(target);
    options.port = server.port();
    options.prompts = &prompts;
    RestoreWindow window(options);
    QVERIFY(window.Start());
    QTRY_COMPARE_WITH_TIMEOUT(window.tree()->topLevelItemCount(), 1, 20000);
    QTreeWidgetItem* item = window.tree()->topLevelItem(0);
    for (const QString& part : (source + QStringLiteral("/子/报告.txt")).split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
      item->setExpanded(true);
      QTreeWidgetItem* child = nullptr;
      const auto find = [&] {
        for (int i = 0; i < item->childCount(); ++i)
          if (item->child(i)->text(RestoreWindow::kNameColumn) == part) child = item->child(i);
        return child != nullptr;
      };
      QTRY_VERIFY_WITH_TIMEOUT(find(), 20000);
      item = child;
    }
    QCOMPARE(item->text(RestoreWindow::kSizeColumn), QStringLiteral("13 B"));
    QVERIFY(!item->text(RestoreWindow::kTimeColumn).isEmpty());
    item->setCheckState(RestoreWindow::kNameColumn, Qt::Checked);
    QSignalSpy finished(&window, &RestoreWindow::restoreFinished);
    for (QPushButton* button : window.findChildren<QPushButton*>())
      if (button->text() == QString::fromUtf8(kRestoreToText)) QTest::mouseClick(button, Qt::LeftButton);
    QVERIFY(window.busy());
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 30000);
    QCOMPARE(finished.at(0).at(0).toInt(), 0);
    QVERIFY(!window.busy());
    QVERIFY(testing::ReadFile((target + source).toStdString() + "/子/报告.txt") == report);
    QVERIFY(!QFile::exists(target + source + QStringLiteral("/keep.txt")));
  }
};

TERVANE_UI_TEST(RestoreWindowTest);

}  // namespace tervane

#include "restore_window_test.moc"
