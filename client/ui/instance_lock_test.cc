#include "client/ui/instance_lock.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <ctime>
#include <memory>
#include <utime.h>

#include "testing/ui_test_main.h"

namespace tervane {

class InstanceLockTest : public QObject {
  Q_OBJECT

 private slots:
  // A second holder is refused until the first ends, even when the marker
  // is hours old: age alone does not make a lock stale.
  void secondHolderIsRefusedUntilTheFirstEnds() {
    QTemporaryDir dir;
    auto first = std::make_unique<InstanceLock>(dir.path());
    QCOMPARE(first->path(), dir.filePath(QStringLiteral("CLIENT_EVENT")));
    QVERIFY(!QFileInfo::exists(first->path()));
    QVERIFY(first->TryAcquire() && first->held() && first->TryAcquire());
    const time_t hours_ago = ::time(nullptr) - 5 * 3600;
    struct utimbuf times {hours_ago, hours_ago};
    QCOMPARE(::utime(QFile::encodeName(first->path()).constData(), &times), 0);
    InstanceLock second(dir.path());
    QVERIFY(!second.TryAcquire() && !second.held() && second.held_elsewhere());
    first.reset();
    QVERIFY(!QFileInfo::exists(second.path()));
    QVERIFY(second.TryAcquire());

    InstanceLock unwritable(dir.filePath(QStringLiteral("missing/deeper")));
    QVERIFY(!unwritable.TryAcquire() && !unwritable.held_elsewhere());
    QVERIFY(QFileInfo(DefaultInstanceLockDirectory()).isDir());
  }

  // A holder killed while holding leaves a file naming a dead process; the
  // next copy takes the marker over.
  void crashedHolderLeavesNothingStale() {
    QTemporaryDir dir;
    QProcess child;  // this program's helper mode: takes the marker, dies by SIGKILL
    child.start(QCoreApplication::applicationFilePath(), {QString::fromLatin1(testing::kCrashHoldingLockArg), dir.path()});
    QVERIFY(child.waitForFinished(20000));
    QCOMPARE(child.exitStatus(), QProcess::CrashExit);
    QVERIFY(QFileInfo::exists(dir.filePath(QStringLiteral("CLIENT_EVENT"))));
    InstanceLock next(dir.path());
    QVERIFY(next.TryAcquire());
  }
};

TERVANE_UI_TEST(InstanceLockTest);

}  // namespace tervane

#include "instance_lock_test.moc"
