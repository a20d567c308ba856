#include "client/ui/instance_lock.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <QTest>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <utime.h>

#include "client/app/settings.h"
#include "testing/temp_dir.h"
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

  // The real program: a second configured copy ends at once with 0 while
  // the first holds the marker, and writes nothing.
  void secondConfiguredCopyExitsWithZero() {
    QTemporaryDir dir;
    const QString program = QDir(qEnvironmentVariable("TERVANE_BIN_DIR")).filePath(QStringLiteral("tervaneclt"));
    QVERIFY2(QFileInfo(program).isExecutable(), qPrintable(program));
    const QString runtime = dir.filePath(QStringLiteral("runtime")), settings_path = dir.filePath(QStringLiteral("BK_CLIENT_CFG.ini"));
    QVERIFY(QDir().mkpath(runtime));
    QVERIFY(QFile::setPermissions(runtime, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));
    SyncSettings settings;
    settings.server_address = 0x7F000001u;
    settings.directories = {"/srv/data"};
    QCOMPARE(SaveSettings(settings_path.toStdString(), settings), 0u);
    const std::string saved = testing::ReadFile(settings_path.toStdString());
    const auto holder = [&] { return std::atoll(testing::ReadFile(QDir(runtime).filePath(QStringLiteral("CLIENT_EVENT")).toStdString()).c_str()); };
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime);
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    QProcess first, second;
    for (QProcess* process : {&first, &second}) {
      process->setProcessEnvironment(env);
      process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    }
    first.start(program, {QStringLiteral("--settings"), settings_path});
    QTRY_COMPARE_WITH_TIMEOUT(holder(), first.processId(), 15000);
    second.start(program, {QStringLiteral("--settings"), settings_path});
    const bool second_ended = second.waitForFinished(15000);
    const QProcess::ProcessState first_state = first.state();
    first.kill();  // by its own pid
    first.waitForFinished(10000);
    QVERIFY(second_ended);
    QCOMPARE(second.exitStatus(), QProcess::NormalExit);
    QCOMPARE(second.exitCode(), 0);
    QCOMPARE(first_state, QProcess::Running);
    QCOMPARE(testing::ReadFile(settings_path.toStdString()), saved);
  }
};

TERVANE_UI_TEST(InstanceLockTest);

}  // namespace tervane

#include "instance_lock_test.moc"
