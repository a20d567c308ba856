#include "client/ui/instance_lock.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>
#include <QCoreApplication>
#include <QProcess>
#include <ctime>
#include <memory>
#include <utime.h>

#include "testing/ui_test_main.h"

namespace tervane {

class InstanceLockTest : public QObject {
  Q_OBJECT

 private slots:
  void secondHolderIsRefusedUntilTheFirstEnds() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    auto first = std::make_unique<InstanceLock>(dir.path());
    QCOMPARE(first->path(), QDir(dir.path()).filePath(QStringLiteral("CLIENT_EVENT")));
    QVERIFY(!QFileInfo::exists(first->path()));
    QVERIFY(first->TryAcquire());
    QVERIFY(first->held());
    QVERIFY(first->TryAcquire());  // taking it again is harmless
    QVERIFY(QFileInfo::exists(first->path()));

    InstanceLock second(dir.path());
    QVERIFY(!second.TryAcquire());
    QVERIFY(!second.held());
    QVERIFY(second.held_elsewhere());

    first.reset();
    QVERIFY(!QFileInfo::exists(QDir(dir.path()).filePath(QStringLiteral("CLIENT_EVENT"))));
    QVERIFY(second.TryAcquire());
  }

  // A copy that has run for hours still holds the marker: age alone does
  // not make a lock stale.
  void oldLockOfARunningHolderStaysHeld() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    InstanceLock first(dir.path());
    QVERIFY(first.TryAcquire());
    const time_t hours_ago = ::time(nullptr) - 5 * 3600;
    struct utimbuf times {hours_ago, hours_ago};
    QCOMPARE(::utime(QFile::encodeName(first.path()).constData(), &times), 0);
    InstanceLock second(dir.path());
    QVERIFY(!second.TryAcquire());
    QVERIFY(second.held_elsewhere());
  }

  // A holder that died without unlocking leaves a file naming a dead process;
  // the next copy takes the marker over.
  void crashedHolderLeavesNothingStale() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.path();
    // The helper mode of this test program takes the marker and dies by
    // SIGKILL, so nothing of it is released.
    QProcess child;
    child.start(QCoreApplication::applicationFilePath(),
                {QString::fromLatin1(testing::kCrashHoldingLockArg), path});
    QVERIFY(child.waitForFinished(20000));
    QCOMPARE(child.exitStatus(), QProcess::CrashExit);
    QVERIFY(QFileInfo::exists(QDir(path).filePath(QStringLiteral("CLIENT_EVENT"))));

    InstanceLock next(path);
    QVERIFY(next.TryAcquire());
  }

  void unwritableDirectoryIsNotAnotherCopy() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    InstanceLock lock(QDir(dir.path()).filePath(QStringLiteral("missing/deeper")));
    QVERIFY(!lock.TryAcquire());
    QVERIFY(!lock.held_elsewhere());
  }

  void defaultDirectoryIsUsable() {
    const QString dir = DefaultInstanceLockDirectory();
    QVERIFY(!dir.isEmpty());
    QVERIFY(QFileInfo(dir).isDir());
  }
};

TERVANE_UI_TEST(InstanceLockTest);

}  // namespace tervane

#include "instance_lock_test.moc"
