#include "client/ui/instance_lock.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <ctime>
#include <memory>
#include <utime.h>

#include "testing/child_process.h"
#include "testing/temp_dir.h"
#include "testing/ui_test_main.h"

namespace tervane {

class InstanceLockTest : public QObject {
  Q_OBJECT

 private slots:
  // A holder killed while holding leaves a file naming a dead process, and
  // the next copy takes the marker over. A live holder refuses a second one
  // until it ends, even when the marker is hours old: age alone does not make
  // a lock stale.
  void onlyAHolderThatEndedFreesTheMarker() {
    QTemporaryDir dir;
    QProcess child;  // this program's helper mode: takes the marker, dies by SIGKILL
    child.start(QCoreApplication::applicationFilePath(), {QString::fromLatin1(testing::kCrashHoldingLockArg), dir.path()});
    QVERIFY(child.waitForFinished(20000));
    QCOMPARE(child.exitStatus(), QProcess::CrashExit);
    auto first = std::make_unique<InstanceLock>(dir.path());
    QVERIFY(QFileInfo::exists(first->path()));
    QVERIFY(first->TryAcquire() && first->held() && first->TryAcquire());
    const time_t hours_ago = ::time(nullptr) - 5 * 3600;
    struct utimbuf times {hours_ago, hours_ago};
    QCOMPARE(::utime(QFile::encodeName(first->path()).constData(), &times), 0);
    InstanceLock second(dir.path());
    QVERIFY(!second.TryAcquire() && !second.held() && second.held_elsewhere());
    first.reset();
    QVERIFY(second.TryAcquire());

    InstanceLock unwritable(dir.filePath(QStringLiteral("missing/deeper")));
    QVERIFY(!unwritable.TryAcquire() && !unwritable.held_elsewhere());
    QVERIFY(QFileInfo(DefaultInstanceLockDirectory()).isDir());
  }

  // The real program: a configured copy that meets the marker held ends at
  // once with 0 and writes nothing.
  void secondConfiguredCopyExitsWithZero() {
    testing::TempDir dir;
    const std::string runtime = dir.At("runtime"), settings_path = dir.At("BK_CLIENT_CFG.ini");
    QVERIFY(testing::MakeDirs(runtime));
    const auto owner_only = QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner;
    QVERIFY(QFile::setPermissions(QString::fromStdString(runtime), owner_only));
    QVERIFY(testing::WriteClientSettings(settings_path, {"/srv/data"}));
    const std::string saved = testing::ReadFile(settings_path);
    InstanceLock first(QString::fromStdString(runtime));
    QVERIFY(first.TryAcquire());
    testing::ChildOptions second;
    second.argv = {testing::BinDir() + "/tervaneclt", "--settings", settings_path};
    second.environment = {"XDG_RUNTIME_DIR=" + runtime, "QT_QPA_PLATFORM=offscreen"};
    QCOMPARE(testing::RunToEnd(second, 15000), 0);  // a dialog that opened is killed: -1
    QCOMPARE(testing::ReadFile(settings_path), saved);
  }
};

TERVANE_UI_TEST(InstanceLockTest);

}  // namespace tervane

#include "instance_lock_test.moc"
