// The real program: a second configured copy ends at once with 0 while the
// first holds the marker. (A marker left by a holder that died is taken
// over: InstanceLockTest shows it.)
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <QTest>

#include "client/app/settings.h"
#include "testing/ui_test_main.h"

namespace tervane {

class SecondInstanceTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<QTemporaryDir> dir_;
  QString program_;
  QString runtime_dir_;
  QString settings_path_;

  void Start(QProcess* process, const QString& settings) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime_dir_);
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    process->setProcessEnvironment(env);
    process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process->start(program_, {QStringLiteral("--settings"), settings});
    QVERIFY2(process->waitForStarted(10000), qPrintable(process->errorString()));
  }

  QString LockPath() const { return QDir(runtime_dir_).filePath(QStringLiteral("CLIENT_EVENT")); }

  // The pid the marker names, or 0.
  qint64 LockHolder() const {
    QFile file(LockPath());
    if (!file.open(QIODevice::ReadOnly)) return 0;
    return file.readLine().trimmed().toLongLong();
  }

  static void Stop(QProcess* process) {
    if (process->state() == QProcess::NotRunning) return;
    process->kill();  // by its own pid
    process->waitForFinished(10000);
  }

 private slots:
  void init() {
    dir_ = std::make_unique<QTemporaryDir>();
    QVERIFY(dir_->isValid());
    program_ = QDir(qEnvironmentVariable("TERVANE_BIN_DIR")).filePath(QStringLiteral("tervaneclt"));
    QVERIFY2(QFileInfo(program_).isExecutable(), qPrintable(program_));
    runtime_dir_ = QDir(dir_->path()).filePath(QStringLiteral("runtime"));
    QVERIFY(QDir().mkpath(runtime_dir_));
    QVERIFY(QFile::setPermissions(runtime_dir_, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                    QFileDevice::ExeOwner));
    settings_path_ = QDir(dir_->path()).filePath(QStringLiteral("BK_CLIENT_CFG.ini"));
  }

  void secondConfiguredCopyExitsWithZero() {
    SyncSettings settings;
    settings.server_address = 0x7F000001u;
    settings.directories = {"/srv/data"};
    QCOMPARE(SaveSettings(settings_path_.toStdString(), settings), 0u);
    QFile file(settings_path_);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray saved = file.readAll();
    file.close();

    QProcess first;
    Start(&first, settings_path_);
    QTRY_COMPARE_WITH_TIMEOUT(LockHolder(), first.processId(), 15000);
    QCOMPARE(first.state(), QProcess::Running);

    QProcess second;
    Start(&second, settings_path_);
    QVERIFY(second.waitForFinished(15000));
    QCOMPARE(second.exitStatus(), QProcess::NormalExit);
    QCOMPARE(second.exitCode(), 0);
    QCOMPARE(first.state(), QProcess::Running);
    QCOMPARE(LockHolder(), first.processId());
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), saved);  // the second copy wrote nothing
    file.close();
    Stop(&first);
  }

  // Without settings neither copy takes the marker, so both run (each
  // waits at its configuration message).
  void twoUnconfiguredCopiesBothRun() {
    const QString missing = QDir(dir_->path()).filePath(QStringLiteral("none/BK_CLIENT_CFG.ini"));
    QProcess first;
    QProcess second;
    Start(&first, missing);
    Start(&second, missing);
    QTest::qWait(1500);
    QCOMPARE(first.state(), QProcess::Running);
    QCOMPARE(second.state(), QProcess::Running);
    QVERIFY(!QFileInfo::exists(LockPath()));
    Stop(&first);
    Stop(&second);
  }
};

TERVANE_UI_TEST(SecondInstanceTest);

}  // namespace tervane

#include "second_instance_test.moc"
