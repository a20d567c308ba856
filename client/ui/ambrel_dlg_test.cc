#include "client/ui/ambrel_dlg.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QFont>
#include <QFontInfo>
#include <QImage>
#include <QLabel>
#include <QListWidget>
#include <QProcess>
#include <QPushButton>
#include <QSet>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTimeEdit>
#include <QValidator>
#include <atomic>
#include <chrono>
#include <ctime>
#include <memory>
#include <thread>
#include <utime.h>
#include <vector>

#include "client/app/last_run.h"
#include "client/app/run_lock.h"
#include "client/ui/dialog_font.h"
#include "client/ui/dialog_screenshot.h"
#include "client/ui/dialog_template.h"
#include "client/ui/dialog_units.h"
#include "client/ui/ipv4_edit.h"
#include "client/ui/run_workers.h"
#include "client/ui/start_window.h"
#include "shared/platform/mutex.h"
#include "testing/child_process.h"
#include "testing/temp_dir.h"
#include "testing/ui_test_main.h"

namespace tervane {
namespace {

// Answers the dialog's questions without a window and remembers them. The
// dialog calls it on the UI thread only (each message keeps its thread to
// show that); a worker reads the messages once the dialog's call returned,
// which orders the read after the write.
class FakePrompts : public DialogPrompts {
 public:
  struct Message {
    QString caption, text;
    QMessageBox::Icon icon;
    QThread* thread;
  };
  void ShowMessage(QWidget*, const QString& caption, const QString& text, QMessageBox::Icon icon) override {
    messages.push_back(Message{caption, text, icon, QThread::currentThread()});
  }
  QString ChooseDirectory(QWidget*, const QString& title) override {
    titles << title;
    return answers.isEmpty() ? QString() : answers.takeFirst();
  }
  std::vector<Message> messages;
  QStringList answers, titles;
};

QString U(const char* text) { return QString::fromUtf8(text); }

}  // namespace

class AmbrelDlgTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<QTemporaryDir> dir_;
  std::unique_ptr<FakePrompts> prompts_;
  std::unique_ptr<CAmbrelDlg> dlg_;
  QDateTime now_;
  std::vector<SyncJob> jobs_;
  std::vector<std::string> calls_;  // to the user manager
  std::string settings_;

  DialogOptions Options(bool fake_runs = true) {
    DialogOptions options;
    options.settings_path = settings_;
    options.lock_directory = dir_->path();
    options.prompts = prompts_.get();
    options.port = 9527;
    options.clock = [this] { return now_; };
    options.user_unit_folder = dir_->filePath(QStringLiteral("systemd/user")).toStdString();
    options.user_manager = [this](const std::vector<std::string>& args) {
      calls_.push_back(args.front());
      return 0;
    };
    if (fake_runs) options.start_run = [this](const SyncJob& job) { jobs_.push_back(job); };
    return options;
  }
  CAmbrelDlg::InitResult Open(const DialogOptions& options) {
    dlg_ = std::make_unique<CAmbrelDlg>(options);
    return dlg_->InitDialog();
  }
  void Write(const SyncSettings& settings) { QCOMPARE(SaveSettings(settings_, settings), 0u); }
  SyncSettings Read() {
    SyncSettings settings;
    if (LoadSettings(settings_, &settings) != 0) settings.server_address = 0;
    return settings;
  }
  template <typename T = QPushButton>
  T* C(int id) {
    T* control = dlg_->findChild<T*>(QString::number(id));
    if (control == nullptr) qFatal("control %d missing", id);
    return control;
  }
  void Click(int id) { QTest::mouseClick(C(id), Qt::LeftButton); }
  void Add(const QString& answer) {
    prompts_->answers << answer;
    Click(kIdAddDirectory);
  }
  QStringList List() {
    QStringList texts;
    for (int i = 0; i < C<QListWidget>(kIdDirectoryList)->count(); ++i) texts << C<QListWidget>(kIdDirectoryList)->item(i)->text();
    return texts;
  }
  QString Status() { return C<QLabel>(kIdStatus)->text(); }
  QString LockPath() const { return dir_->filePath(QStringLiteral("CLIENT_EVENT")); }

 private slots:
  void init() {
    dir_ = std::make_unique<QTemporaryDir>();
    prompts_ = std::make_unique<FakePrompts>();
    now_ = QDateTime(QDate(2024, 5, 6), QTime(9, 15, 0));
    jobs_.clear();
    calls_.clear();
    settings_ = dir_->filePath(QStringLiteral("BK_CLIENT_CFG.ini")).toStdString();
  }
  void cleanup() { dlg_.reset(); }

  // Halves round away from zero. The classic 8-point font has base units
  // 6 x 13: the dialog is then 405 x 354 pixels.
  void mapsDialogUnitsToPixels() {
    const int cases[][4] = {{7, 6, 4, 11},  {5, 6, 4, 8},    {3, 13, 8, 5},  {1, 13, 8, 2},
                            {9, 13, 8, 15}, {-7, 6, 4, -11}, {0, 6, 4, 0},   {270, 6, -4, -405}};
    for (const auto& c : cases) QCOMPARE(MulDivRound(c[0], c[1], c[2]), c[3]);
    const DialogBaseUnits units{6, 13};
    QCOMPARE(DluToPixels(kDialogSizeDlu, units), QSize(405, 354));
    QCOMPARE(DluToPixels(QRect(15, 3, 193, 115), units), QRect(23, 5, 290, 187));  // each part rounded alone
    QFont font = QApplication::font();
    font.setPointSize(9);
    QFont large = font;
    large.setPointSize(18);
    const DialogBaseUnits small_units = BaseUnitsFor(font), large_units = BaseUnitsFor(large);
    QVERIFY(small_units.x >= 1 && large_units.x > small_units.x && large_units.y > small_units.y);
  }

  // Every control of the template inside the dialog, found by its id, at its
  // place with its caption, in a fixed window; every caption and message has
  // glyphs in the chosen font (else it renders as empty boxes), a private-use
  // code point has none. A first start without settings warns, takes no
  // marker, and the closing dialog writes what the user filled in.
  void buildsTheTemplateAndFirstStartSavesOnClose() {
    QCOMPARE(Open(Options()), CAmbrelDlg::InitResult::kUnconfigured);
    const DialogBaseUnits units = dlg_->base_units();
    QCOMPARE(dlg_->size(), DluToPixels(kDialogSizeDlu, units));
    QCOMPARE(dlg_->minimumSize(), dlg_->maximumSize());
    QString all = QStringLiteral("请先进行环境配置，然后退出重新启动请选择待备份的目录连接文件服务器失败连接备份服务器失败"
                                 "注册用户名后登陆失败配置的无法向远程发送删除命令成功创建文件夹开始一个完毕上传");
    for (const TemplateControl& control : Template102()) {
      QVERIFY2(QRect(QPoint(0, 0), kDialogSizeDlu).contains(control.dlu), control.caption);
      if (control.id != kNoId) {
        QCOMPARE(FindTemplateControl(control.id), &control);
        QCOMPARE(C<QWidget>(control.id)->geometry(), DluToPixels(control.dlu, units));
      }
      if (control.kind == ControlKind::kPushButton) QCOMPARE(C(control.id)->text(), U(control.caption));
      all += U(control.caption);
    }
    QVERIFY(FindTemplateControl(kNoId) == nullptr && FindTemplateControl(1011) == nullptr);
    const QFont font = PickDialogFont();
    QCOMPARE(font.pointSize(), kDialogFontPointSize);
    QVERIFY2(FontCovers(font, all), qPrintable(QFontInfo(font).family()));
    QVERIFY(!FontCovers(font, QString(QChar(0xE83A))));
    QCOMPARE(Status(), U("就绪"));
    QCOMPARE(C<QTimeEdit>(kIdStartTime)->time(), QTime(9, 15, 0));
    QVERIFY(!dlg_->windowIcon().availableSizes().isEmpty());
    const auto messages = prompts_->messages;
    QCOMPARE(messages.size(), size_t{1});
    QCOMPARE(messages[0].caption + messages[0].text, U("Ostrova请先进行环境配置，然后退出重新启动"));
    QCOMPARE(messages[0].icon, QMessageBox::Warning);
    QCOMPARE(dlg_->windowTitle(), U("[Ostrova]--请先进行环境配置，然后退出重新启动"));
    QVERIFY(!C(kIdManualSync)->isEnabled() && !C(kIdAutoSync)->isEnabled() && C(kIdAddDirectory)->isEnabled());
    QVERIFY(!QFileInfo::exists(LockPath()));  // a second unconfigured copy may run too

    Add(QStringLiteral("/data/报表"));
    QCOMPARE(prompts_->titles, QStringList{U("选择待备份的目录")});
    C<QTimeEdit>(kIdStartTime)->setTime(QTime(12, 30, 5));
    C<Ipv4Edit>(kIdServerAddress)->setText(QStringLiteral("10.0.0.7"));
    Click(kIdCancel);
    QVERIFY(dlg_->result() == QDialog::Rejected && dlg_->settings_saved_on_close());
    const SyncSettings saved = Read();  // the file's form is SaveSettings' own
    QCOMPARE(saved.server_address, 0x0A000007u);
    QCOMPARE(FormatStartTime(saved.start_time), std::string("2024-05-06 12:30:05"));
    QCOMPARE(saved.directories, std::vector<std::string>{"/data/报表"});
  }

  // Settings and the last run's line are shown; the marker is taken, also
  // over the file a crashed copy left. The real program meets it, hours old
  // as it is (age alone does not make a lock stale), and ends at once with 0,
  // leaving the settings alone. The marker goes with the dialog, which keeps
  // the date it loaded. A marker that cannot be made does not stop a start;
  // an unreadable start time keeps the creation time.
  void configuredStartLoadsSettingsAndTakesTheMarker() {
    QProcess crashed;  // this program's helper mode: takes the marker, dies by SIGKILL
    crashed.start(QCoreApplication::applicationFilePath(), {QString::fromLatin1(testing::kCrashHoldingLockArg), dir_->path()});
    QVERIFY(crashed.waitForFinished(20000) && crashed.exitStatus() == QProcess::CrashExit);
    QVERIFY(QFileInfo::exists(LockPath()));
    Write({0xC0A80114u, {2023, 1, 2, 7, 8, 9}, true, {"/srv/b", "/srv/a"}, ""});
    LastRun run;
    run.ended = 1'800'000'000;
    run.summary = "已上传 2 个文件";
    QVERIFY(WriteLastRun(LastRunPath(settings_), run));
    QCOMPARE(Open(Options()), CAmbrelDlg::InitResult::kReady);
    QVERIFY(prompts_->messages.empty());
    QCOMPARE(dlg_->windowTitle(), QStringLiteral("Ostrova"));
    QCOMPARE(List(), QStringList({"/srv/a", "/srv/b"}));
    QCOMPARE(C<Ipv4Edit>(kIdServerAddress)->text(), QStringLiteral("192.168.1.20"));
    QCOMPARE(C<QTimeEdit>(kIdStartTime)->time(), QTime(7, 8, 9));
    QVERIFY(C(kIdManualSync)->isEnabled() && C(kIdAutoSync)->isEnabled());
    QCOMPARE(Status().toStdString(), LastRunLine(run));
    const time_t hours_ago = ::time(nullptr) - 5 * 3600;
    struct utimbuf times {hours_ago, hours_ago};
    QCOMPARE(::utime(QFile::encodeName(LockPath()).constData(), &times), 0);
    const std::string before = testing::ReadFile(settings_);
    testing::ChildOptions second;
    second.argv = {testing::BinDir() + "/tervaneclt", "--settings", settings_};
    second.environment = {"XDG_RUNTIME_DIR=" + dir_->path().toStdString(), "QT_QPA_PLATFORM=offscreen"};
    QCOMPARE(testing::RunToEnd(second, 15000), 0);  // a dialog that opened is killed: -1
    QCOMPARE(testing::ReadFile(settings_), before);
    dlg_->reject();
    QCOMPARE(Read().start_time.year, 2023);
    dlg_.reset();
    QVERIFY(!QFileInfo::exists(LockPath()));
    QVERIFY(testing::WriteFile(settings_, "[BK_CFG_INIF]\nIP=10.0.0.1\nBEGIN_TM=tomorrow\nBK_DIRS=/a/b|\n"));
    DialogOptions no_marker = Options();
    no_marker.lock_directory = dir_->filePath(QStringLiteral("missing/deeper"));
    QCOMPARE(Open(no_marker), CAmbrelDlg::InitResult::kReady);
    QCOMPARE(C<QTimeEdit>(kIdStartTime)->time(), QTime(9, 15, 0));
  }

  // Removing needs a selected entry; added folders sort case-folded,
  // duplicates kept; a name the settings could not give back, or one past
  // the settings' 1023 bytes, is refused.
  void directoryListAddsRemovesAndRefuses() {
    Write({0x7F000001u, {}, true, {"/a1", "/b2", "/c3"}, ""});
    QCOMPARE(Open(Options()), CAmbrelDlg::InitResult::kReady);
    auto* list = C<QListWidget>(kIdDirectoryList);
    Click(kIdRemoveDirectory);
    list->setCurrentRow(1);
    Click(kIdRemoveDirectory);
    list->setCurrentRow(1);
    list->clearSelection();
    Click(kIdRemoveDirectory);
    QCOMPARE(List(), QStringList({"/a1", "/c3"}));
    for (const char* answer : {"/work/Files", "/data/a", "/数据", "/data/a", "/Data/b", ""}) Add(U(answer));
    QCOMPARE(List(), QStringList({"/a1", "/c3", "/data/a", "/data/a", "/Data/b", "/work/Files", U("/数据")}));
    QVERIFY(prompts_->messages.empty());
    Add(QStringLiteral("/odd|name"));
    QCOMPARE(prompts_->messages.back().text, U(kUnstorableDirectoryText));
    // 52 bytes so far; entries of 100 with the bar: nine more fit, not ten.
    for (int i = 0; i < 10; ++i) Add(QStringLiteral("/%1/").arg(QString(97, QLatin1Char('f' + i))));
    QCOMPARE(list->count(), 16);
    QCOMPARE(prompts_->messages.back().text, U(kDirectoryListFullText));
  }

  // Empty list: arming and a manual run only warn. A manual run takes the
  // list as shown and saves first; arming saves, and the trigger fires once
  // in the window of the time read at arming, each day, from the real timer.
  // Saving moves a user's daily timer to the new start time.
  void armingAndRunsStartJobs() {
    Write({0x7F000001u, {2024, 5, 6, 12, 30, 0}, true, {}, "ann"});
    const DialogOptions options = Options();
    std::string error;
    QVERIFY(SetTimerStartTime(options.user_unit_folder, StartTime{2024, 5, 6, 12, 30, 0}, options.user_manager, &error));
    const std::string before = testing::ReadFile(settings_);
    QCOMPARE(Open(options), CAmbrelDlg::InitResult::kReady);
    Click(kIdAutoSync);
    Click(kIdManualSync);
    QCOMPARE(prompts_->messages.size(), size_t{2});
    for (const auto& m : prompts_->messages) QCOMPARE(m.caption + m.text, U("Ostrova请选择待备份的目录"));
    QVERIFY(!dlg_->armed() && jobs_.empty());
    QCOMPARE(testing::ReadFile(settings_), before);

    Add(QStringLiteral("/srv/y"));
    Add(QStringLiteral("/srv/x"));
    C<Ipv4Edit>(kIdServerAddress)->setText(QStringLiteral("10.0.0.9"));
    Click(kIdManualSync);
    QCOMPARE(jobs_.size(), size_t{1});
    QCOMPARE(jobs_[0].directories, (std::vector<std::string>{"/srv/x", "/srv/y"}));
    QVERIFY(jobs_[0].server_address == 0x0A000009u && jobs_[0].port == 9527);
    QVERIFY(!jobs_[0].retry);  // a manual run reports a failed connect at once
    QVERIFY(Read().server_address == 0x0A000009u && Read().user == "ann");
    QVERIFY(!dlg_->armed());

    Click(kIdAutoSync);
    QVERIFY(dlg_->armed() && !C(kIdAutoSync)->isEnabled() && C(kIdManualSync)->isEnabled());
    QCOMPARE(dlg_->timer_interval(), 1000);
    now_ = QDateTime(QDate(2024, 5, 6), QTime(12, 30, 0, 480));
    dlg_->OnTimerTick();
    QCOMPARE(jobs_.size(), size_t{2});
    QVERIFY(jobs_[1].retry && jobs_[1].user == "ann" && jobs_[1].run_lock_path == RunLockPathFor(settings_));
    C<QTimeEdit>(kIdStartTime)->setTime(QTime(18, 0, 1));
    now_ = QDateTime(QDate(2024, 5, 6), QTime(18, 0, 1));
    dlg_->OnTimerTick();
    QCOMPARE(jobs_.size(), size_t{2});
    now_ = QDateTime(QDate(2024, 5, 7), QTime(12, 30, 0));
    QTRY_COMPARE_WITH_TIMEOUT(jobs_.size(), size_t{3}, 5000);
    const size_t reloads = calls_.size();
    dlg_->reject();
    QVERIFY(!dlg_->armed());
    QCOMPARE(Read().start_time.hour, 18);
    StartTime timer;
    QVERIFY(ReadTimerStartTime(options.user_unit_folder, &timer));
    QCOMPARE(timer.hour * 100 + timer.minute, 1800);
    QCOMPARE(calls_.size(), reloads + 1);
  }

  // The status line shows text as plain text. A worker's status lines,
  // message box, caption and exit are carried out on the UI thread before
  // each call returns; the exit ends the dialog and saves.
  void workerRequestsAreCarriedOutOnTheUiThread() {
    Write({0x0A000001u, {}, true, {"/srv/x"}, ""});
    QCOMPARE(Open(Options()), CAmbrelDlg::InitResult::kReady);
    dlg_->ShowStatus(QStringLiteral("<b>not markup</b>"));
    QVERIFY(Status() == QStringLiteral("<b>not markup</b>") && C<QLabel>(kIdStatus)->textFormat() == Qt::PlainText);
    dlg_->show();
    Mutex mutex;
    QString shown;
    connect(dlg_.get(), &CAmbrelDlg::statusShown, this, [&](const QString& text) {
      QCOMPARE(QThread::currentThread(), thread());
      MutexLock hold(&mutex);
      shown = text;
    });
    std::atomic<bool> done{false};
    std::atomic<int> taken{0};
    std::atomic<size_t> seen_after_message{0};
    std::thread worker([&] {
      for (int i = 0; i < 20; ++i) {
        const QString text = QStringLiteral("目录备份 %1\n").arg(i);
        dlg_->ShowStatus(text.toStdString());
        MutexLock hold(&mutex);
        if (shown == text) taken.fetch_add(1);
      }
      dlg_->ShowMessage("Ostrova", "连接文件服务器失败[10.0.0.1-Error:10061]");
      seen_after_message.store(prompts_->messages.size());
      dlg_->SetCaption("[Ostrova]--配置的文件服务器IP无法连接");
      dlg_->ExitProcess(0);
      done.store(true);
    });
    QTRY_VERIFY_WITH_TIMEOUT(done.load(), 10000);
    worker.join();
    QCOMPARE(taken.load(), 20);
    QCOMPARE(Status(), QStringLiteral("目录备份 19\n"));
    QCOMPARE(seen_after_message.load(), size_t{1});
    const auto message = prompts_->messages[0];
    QVERIFY(message.thread == thread() && message.icon == QMessageBox::Information);
    QCOMPARE(message.text, U("连接文件服务器失败[10.0.0.1-Error:10061]"));
    QCOMPARE(dlg_->windowTitle(), U("[Ostrova]--配置的文件服务器IP无法连接"));
    QCOMPARE(dlg_->requested_exit_code(), 0);
    QVERIFY(!dlg_->isVisible() && dlg_->settings_saved_on_close());
  }

  // The real engine on a worker against a server that never answers: a
  // trigger while the run holds the session is dropped with a status line (a
  // click takes the same StartRun); when the server goes, the run's
  // connection message comes once.
  void triggerDuringARunIsDropped() {
    QTcpServer silent;
    QVERIFY(silent.listen(QHostAddress::LocalHost, 0));
    Write({0x7F000001u, {2024, 5, 6, 12, 30, 0}, true, {dir_->path().toStdString()}, ""});
    DialogOptions options = Options(false);
    options.port = silent.serverPort();
    QCOMPARE(Open(options), CAmbrelDlg::InitResult::kReady);
    Click(kIdManualSync);
    QTRY_VERIFY_WITH_TIMEOUT(silent.hasPendingConnections(), 10000);
    QTcpSocket* first = silent.nextPendingConnection();
    QVERIFY(dlg_->RunInProgress());
    Click(kIdAutoSync);
    now_ = QDateTime(QDate(2024, 5, 6), QTime(12, 30, 0));
    dlg_->OnTimerTick();
    QTRY_COMPARE_WITH_TIMEOUT(Status(), U(kRunBusyText), 10000);
    QVERIFY(!silent.hasPendingConnections());
    first->abort();
    silent.close();
    QTRY_COMPARE_WITH_TIMEOUT(prompts_->messages.size(), size_t{1}, 15000);
    const auto message = prompts_->messages[0];
    QVERIFY2(message.text.startsWith(U("连接文件服务器失败[127.0.0.1-Error:")), qPrintable(message.text));
    QVERIFY(dlg_->WaitForRuns(10000) && !dlg_->RunInProgress());
    QCOMPARE(prompts_->messages.size(), size_t{1});
  }

  // The window is two whole seconds from the start, across a minute and
  // midnight; no start time, no window. Each window fires once, on whichever
  // of its ticks comes first; a changed start time is a new window the same
  // day. Ticks outside a window come before any tick of it, so that their
  // false is not the "once".
  void eachStartWindowFiresOnce() {
    const struct {
      int day;
      QTime now, start;
      bool fires;
    } ticks[] = {
        {6, QTime(12, 30, 2), QTime(12, 30, 0), false},       {6, QTime(12, 30, 0), QTime(), false},
        {6, QTime(12, 30, 0, 400), QTime(12, 30, 0), true},   {6, QTime(12, 30, 1, 390), QTime(12, 30, 0), false},
        {6, QTime(12, 31, 1), QTime(12, 30, 59), false},      {6, QTime(12, 31, 0), QTime(12, 30, 59), true},
        {6, QTime(0, 0, 1), QTime(23, 59, 59), false},        {6, QTime(0, 0, 0, 100), QTime(23, 59, 59), true},
        {6, QTime(23, 59, 59, 500), QTime(23, 59, 59), true}, {7, QTime(0, 0, 0, 500), QTime(23, 59, 59), false},
        {7, QTime(12, 30, 1, 999), QTime(12, 30, 0), true},   {7, QTime(12, 30, 1, 999), QTime(12, 30, 1), true},
    };
    QCOMPARE(SecondsSinceStart(QTime(12, 29, 59), QTime(12, 30, 0)), 86399);  // just before: outside
    StartWindowTrigger trigger;
    for (const auto& t : ticks) {
      QVERIFY2(trigger.OnTick(QDateTime(QDate(2024, 5, t.day), t.now), t.start) == t.fires,
               qPrintable(QStringLiteral("%1 %2").arg(t.day).arg(t.now.toString(QStringLiteral("HH:mm:ss.zzz")))));
    }
  }

  // Running bodies are counted and waited for while the pump runs; the rest
  // are joined by the destructor.
  void countsWaitsReapsAndJoins() {
    std::atomic<bool> release{false};
    std::atomic<int> finished{0};
    {
      RunWorkers workers;
      for (int i = 0; i < 2; ++i) {
        workers.Start([&] {
          while (!release.load()) std::this_thread::sleep_for(std::chrono::milliseconds(2));
          finished.fetch_add(1);
        });
      }
      QCOMPARE(workers.Active(), 2);
      int pumped = 0;
      QVERIFY(!workers.WaitFor(std::chrono::milliseconds(50), [&] { ++pumped; }));
      QVERIFY(pumped > 0);
      release.store(true);
      QVERIFY(workers.WaitFor(std::chrono::seconds(10), nullptr));
      QCOMPARE(workers.Active(), 0);
      workers.Start([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        finished.fetch_add(1);
      });
    }
    QCOMPARE(finished.load(), 3);
  }

  // A real picture, not one flat colour; a path that cannot be written fails.
  void rendersTheDialogIntoAPng() {
    const QString path = dir_->filePath(QStringLiteral("dialog.png"));
    QVERIFY(RenderDialogScreenshot(path));
    const QImage image(path);
    QVERIFY(image.width() > 300 && image.height() > 250);
    QSet<QRgb> colours;
    for (int y = 0; y < image.height(); y += 3)
      for (int x = 0; x < image.width(); x += 3) colours.insert(image.pixel(x, y));
    QVERIFY2(colours.size() > 20, qPrintable(QString::number(colours.size())));
    QVERIFY(!RenderDialogScreenshot(dir_->filePath(QStringLiteral("no/such/dir.png"))));
  }

  // Blank octets count as 0, as a partly filled address control reports.
  // The edit takes four octets as typed.
  void formatsParsesAndTakesFourOctets() {
    QCOMPARE(ParseIpv4Octets(QStringLiteral("10..3.")), 0x0A000300u);
    QCOMPARE(ParseIpv4Octets(QString()), 0u);
    Ipv4Edit edit;
    const struct {
      const char* text;
      QValidator::State state;
    } cases[] = {
        {"192.168.1.20", QValidator::Acceptable}, {"0.0.0.0", QValidator::Acceptable},
        {"192.168.1.", QValidator::Intermediate}, {"192.168", QValidator::Intermediate},
        {"256.1.1.1", QValidator::Invalid},       {"1.2.3.4.5", QValidator::Invalid},
        {"a.b.c.d", QValidator::Invalid},         {"01.2.3.4", QValidator::Invalid},
        {"1.2.3.4 ", QValidator::Invalid},
    };
    for (const auto& c : cases) {
      QString text = QString::fromLatin1(c.text);
      int pos = static_cast<int>(text.size());
      QCOMPARE(edit.validator()->validate(text, pos), c.state);
    }
    edit.clear();
    QTest::keyClicks(&edit, QStringLiteral("10.0.x0.7"));
    QCOMPARE(edit.text(), QStringLiteral("10.0.0.7"));
    edit.clear();
    QTest::keyClicks(&edit, QStringLiteral("300"));  // the last 0 would make 300
    QCOMPARE(edit.text(), QStringLiteral("30"));
    QVERIFY(!edit.IsComplete());
  }
};

TERVANE_UI_TEST(AmbrelDlgTest);

}  // namespace tervane

#include "ambrel_dlg_test.moc"
