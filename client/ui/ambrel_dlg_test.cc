#include "client/ui/ambrel_dlg.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGroupBox>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTimeEdit>
#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "client/app/account_name.h"
#include "client/app/last_run.h"
#include "client/app/run_lock.h"
#include "testing/temp_dir.h"
#include "testing/test_server.h"
#include "client/ui/dialog_template.h"
#include "client/ui/ipv4_edit.h"
#include "shared/platform/mutex.h"
#include "testing/ui_test_main.h"

namespace tervane {
namespace {

// Answers the dialog's questions without a window and remembers them.
// Thread-safe: a run's worker shows its messages through it.
class FakePrompts : public DialogPrompts {
 public:
  struct Message {
    QString caption;
    QString text;
    QMessageBox::Icon icon;
    QThread* thread;
  };

  void ShowMessage(QWidget*, const QString& caption, const QString& text, QMessageBox::Icon icon) override {
    MutexLock hold(&mutex_);
    messages_.push_back(Message{caption, text, icon, QThread::currentThread()});
  }
  QString ChooseDirectory(QWidget*, const QString& title) override {
    MutexLock hold(&mutex_);
    chooser_titles_.push_back(title);
    const QString answer = answers_.empty() ? QString() : answers_.front();
    if (!answers_.empty()) answers_.erase(answers_.begin());
    return answer;
  }
  void Answer(const QString& directory) {
    MutexLock hold(&mutex_);
    answers_.push_back(directory);
  }
  std::vector<Message> messages() const {
    MutexLock hold(&mutex_);
    return messages_;
  }
  size_t message_count() const { return messages().size(); }
  std::vector<QString> chooser_titles() const {
    MutexLock hold(&mutex_);
    return chooser_titles_;
  }

 private:
  mutable Mutex mutex_;
  std::vector<Message> messages_ GUARDED_BY(mutex_);
  std::vector<QString> answers_ GUARDED_BY(mutex_);
  std::vector<QString> chooser_titles_ GUARDED_BY(mutex_);
};

QString Utf8(const char* text) { return QString::fromUtf8(text); }

QByteArray ReadAll(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return QByteArray();
  return file.readAll();
}

QStringList ListTexts(QListWidget* list) {
  QStringList texts;
  for (int i = 0; i < list->count(); ++i) texts << list->item(i)->text();
  return texts;
}

}  // namespace

class AmbrelDlgTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<QTemporaryDir> dir_;
  std::unique_ptr<FakePrompts> prompts_;
  QDateTime now_;
  std::vector<SyncJob> jobs_;
  QString settings_path_;
  QString lock_dir_;

  DialogOptions Options(bool fake_runs = true) {
    DialogOptions options;
    options.settings_path = settings_path_.toStdString();
    options.lock_directory = lock_dir_;
    options.prompts = prompts_.get();
    options.port = 9527;
    options.clock = [this] { return now_; };
    if (fake_runs) options.start_run = [this](const SyncJob& job) { jobs_.push_back(job); };
    return options;
  }

  std::unique_ptr<CAmbrelDlg> MakeDialog(bool fake_runs = true) {
    return std::make_unique<CAmbrelDlg>(Options(fake_runs));
  }

  void WriteSettings(const std::vector<std::string>& directories, uint32_t address,
                     StartTime start, const std::string& user = std::string()) {
    SyncSettings settings;
    settings.server_address = address;
    settings.start_time = start;
    settings.directories = directories;
    settings.user = user;
    QCOMPARE(SaveSettings(settings_path_.toStdString(), settings), 0u);
  }

  SyncSettings ReadSettings() {
    SyncSettings settings;
    settings.start_time_valid = false;
    if (LoadSettings(settings_path_.toStdString(), &settings) != 0) settings.server_address = 0;
    return settings;
  }

  template <typename T>
  static T* Control(CAmbrelDlg* dlg, int id) {
    T* control = dlg->findChild<T*>(QString::number(id));
    if (control == nullptr) qFatal("control %d missing", id);
    return control;
  }

  QString LockPath() const { return QDir(lock_dir_).filePath(QStringLiteral("CLIENT_EVENT")); }

 private slots:
  void init() {
    dir_ = std::make_unique<QTemporaryDir>();
    QVERIFY(dir_->isValid());
    prompts_ = std::make_unique<FakePrompts>();
    now_ = QDateTime(QDate(2024, 5, 6), QTime(9, 15, 0));
    jobs_.clear();
    settings_path_ = QDir(dir_->path()).filePath(QStringLiteral("BK_CLIENT_CFG.ini"));
    lock_dir_ = QDir(dir_->path()).filePath(QStringLiteral("run"));
    QVERIFY(QDir().mkpath(lock_dir_));
  }

  // Every control of the template exists under its id, at its place, with
  // its caption, in a window of fixed size.
  void buildsTemplate102() {
    auto dlg = MakeDialog();
    QCOMPARE(dlg->windowTitle(), QStringLiteral("Ostrova"));
    const DialogBaseUnits units = dlg->base_units();
    QCOMPARE(dlg->size(), DluToPixels(kDialogSizeDlu, units));
    QCOMPARE(dlg->minimumSize(), dlg->maximumSize());
    for (const TemplateControl& control : Template102()) {
      if (control.id == kNoId) continue;
      QWidget* widget = Control<QWidget>(dlg.get(), control.id);
      QCOMPARE(widget->geometry(), DluToPixels(control.dlu, units));
    }
    QCOMPARE(Control<QPushButton>(dlg.get(), kIdAddDirectory)->text(), Utf8("添加"));
    QCOMPARE(Control<QPushButton>(dlg.get(), kIdRemoveDirectory)->text(), Utf8("删除"));
    QCOMPARE(Control<QPushButton>(dlg.get(), kIdAutoSync)->text(), Utf8("自动同步"));
    QCOMPARE(Control<QPushButton>(dlg.get(), kIdManualSync)->text(), Utf8("手工同步"));
    QCOMPARE(Control<QPushButton>(dlg.get(), kIdCancel)->text(), Utf8("退出(&Q)"));
    QCOMPARE(Control<QLabel>(dlg.get(), kIdStatus)->text(), Utf8("就绪"));
    QVERIFY(Control<QListWidget>(dlg.get(), kIdDirectoryList)->isSortingEnabled());
    QCOMPARE(Control<QTimeEdit>(dlg.get(), kIdStartTime)->displayFormat(), QStringLiteral("HH:mm:ss"));
    QVERIFY(Control<Ipv4Edit>(dlg.get(), kIdServerAddress) != nullptr);
    QStringList boxes;
    for (QGroupBox* box : dlg->findChildren<QGroupBox*>()) boxes << box->title();
    boxes.sort();
    QStringList expected = {Utf8("设置待同步的目录(可多设)"), Utf8("开始同步时间"), Utf8("同步服务器地址")};
    expected.sort();
    QCOMPARE(boxes, expected);
    // The start time begins as the moment the dialog was made.
    QCOMPARE(Control<QTimeEdit>(dlg.get(), kIdStartTime)->time(), QTime(9, 15, 0));
    QVERIFY(!dlg->windowIcon().availableSizes().isEmpty());  // the icon resource is linked in
  }

  void unconfiguredFirstStartWritesSettingsOnClose() {
    auto dlg = MakeDialog();
    QCOMPARE(dlg->InitDialog(), CAmbrelDlg::InitResult::kUnconfigured);
    const auto messages = prompts_->messages();
    QCOMPARE(messages.size(), size_t{1});
    QCOMPARE(messages[0].caption, QStringLiteral("Ostrova"));
    QCOMPARE(messages[0].text, Utf8("请先进行环境配置，然后退出重新启动"));
    QCOMPARE(messages[0].icon, QMessageBox::Warning);
    QCOMPARE(dlg->windowTitle(), Utf8("[Ostrova]--请先进行环境配置，然后退出重新启动"));
    QVERIFY(!Control<QPushButton>(dlg.get(), kIdManualSync)->isEnabled());
    QVERIFY(!Control<QPushButton>(dlg.get(), kIdAutoSync)->isEnabled());
    QVERIFY(Control<QPushButton>(dlg.get(), kIdAddDirectory)->isEnabled());
    // No marker without settings: a second unconfigured copy may run too.
    QVERIFY(!QFileInfo::exists(LockPath()));
    QVERIFY(!QFileInfo::exists(settings_path_));

    // The user fills everything in and quits.
    prompts_->Answer(QStringLiteral("/data/报表"));
    QTest::mouseClick(Control<QPushButton>(dlg.get(), kIdAddDirectory), Qt::LeftButton);
    QCOMPARE(prompts_->chooser_titles().at(0), Utf8("选择待备份的目录"));
    Control<QTimeEdit>(dlg.get(), kIdStartTime)->setTime(QTime(12, 30, 5));
    Control<Ipv4Edit>(dlg.get(), kIdServerAddress)->setText(QStringLiteral("10.0.0.7"));
    QTest::mouseClick(Control<QPushButton>(dlg.get(), kIdCancel), Qt::LeftButton);
    QCOMPARE(dlg->result(), int(QDialog::Rejected));
    QVERIFY(dlg->settings_saved_on_close());

    const QByteArray text = ReadAll(settings_path_);
    QVERIFY2(text.startsWith("[BK_CFG_INIF]"), text.constData());
    const int ip = text.indexOf("\nIP=10.0.0.7");
    const int begin = text.indexOf("\nBEGIN_TM=2024-05-06 12:30:05");
    const int dirs = text.indexOf(QByteArray("\nBK_DIRS=/data/报表|"));
    QVERIFY2(ip > 0 && begin > ip && dirs > begin, text.constData());
    const SyncSettings saved = ReadSettings();
    QCOMPARE(saved.server_address, 0x0A000007u);
    QCOMPARE(saved.start_time.hour, 12);
    QCOMPARE(saved.start_time.second, 5);
    QCOMPARE(saved.directories, std::vector<std::string>{"/data/报表"});
  }

  void configuredStartLoadsSettingsAndTakesTheMarker() {
    WriteSettings({"/srv/b", "/srv/a"}, 0xC0A80114u, StartTime{2023, 1, 2, 7, 8, 9});
    auto dlg = MakeDialog();
    QCOMPARE(dlg->InitDialog(), CAmbrelDlg::InitResult::kReady);
    QCOMPARE(prompts_->message_count(), size_t{0});
    QCOMPARE(dlg->windowTitle(), QStringLiteral("Ostrova"));
    QCOMPARE(ListTexts(Control<QListWidget>(dlg.get(), kIdDirectoryList)),
             QStringList({"/srv/a", "/srv/b"}));
    QCOMPARE(Control<Ipv4Edit>(dlg.get(), kIdServerAddress)->text(), QStringLiteral("192.168.1.20"));
    QCOMPARE(Control<QTimeEdit>(dlg.get(), kIdStartTime)->time(), QTime(7, 8, 9));
    QVERIFY(Control<QPushButton>(dlg.get(), kIdManualSync)->isEnabled());
    QVERIFY(Control<QPushButton>(dlg.get(), kIdAutoSync)->isEnabled());
    QCOMPARE(Control<QLabel>(dlg.get(), kIdStatus)->text(), Utf8("就绪"));
    QVERIFY(QFileInfo::exists(LockPath()));

    // A second configured copy finds the marker and must end without a
    // window and without touching the settings.
    const QByteArray before = ReadAll(settings_path_);
    {
      auto second = MakeDialog();
      QCOMPARE(second->InitDialog(), CAmbrelDlg::InitResult::kAnotherCopyRunning);
    }
    QCOMPARE(ReadAll(settings_path_), before);

    // The closing dialog keeps the date it loaded.
    dlg->reject();
    QCOMPARE(ReadSettings().start_time.year, 2023);
    dlg.reset();
    QVERIFY(!QFileInfo::exists(LockPath()));  // released with the dialog
  }

  void theStatusLineOpensOnTheLastRun() {
    WriteSettings({"/srv/x"}, 0x7F000001u, StartTime{2024, 5, 6, 12, 0, 0});
    LastRun run;
    run.ended = 1'800'000'000;
    run.result = 1;
    run.summary = "已上传 2 个文件";
    QVERIFY(WriteLastRun(LastRunPath(settings_path_.toStdString()), run));
    auto dlg = MakeDialog();
    QCOMPARE(dlg->InitDialog(), CAmbrelDlg::InitResult::kReady);
    QCOMPARE(Control<QLabel>(dlg.get(), kIdStatus)->text().toStdString(), LastRunLine(run));
  }

  void unreadableStartTimeKeepsTheCreationTime() {
    QFile file(settings_path_);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("[BK_CFG_INIF]\nIP=bad\nBEGIN_TM=tomorrow\nBK_DIRS=/a/b|x|/c/d|\n");
    file.close();
    auto dlg = MakeDialog();
    QCOMPARE(dlg->InitDialog(), CAmbrelDlg::InitResult::kReady);
    QCOMPARE(Control<QTimeEdit>(dlg.get(), kIdStartTime)->time(), QTime(9, 15, 0));
    QCOMPARE(Control<Ipv4Edit>(dlg.get(), kIdServerAddress)->text(), QStringLiteral("255.255.255.255"));
    QCOMPARE(ListTexts(Control<QListWidget>(dlg.get(), kIdDirectoryList)), QStringList({"/a/b"}));
  }

  void addingTheSameFolderTwiceKeepsBothInSortedOrder() {
    WriteSettings({}, 0x7F000001u, StartTime{});
    auto dlg = MakeDialog();
    QCOMPARE(dlg->InitDialog(), CAmbrelDlg::InitResult::kReady);
    auto* add = Control<QPushButton>(dlg.get(), kIdAddDirectory);
    auto* list = Control<QListWidget>(dlg.get(), kIdDirectoryList);
    for (const char* answer : {"/work/Files", "/data/a", "/数据", "/data/a", "/Data/b"}) {
      prompts_->Answer(Utf8(answer));
      QTest::mouseClick(add, Qt::LeftButton);
    }
    QTest::mouseClick(add, Qt::LeftButton);  // chooser cancelled: nothing added
    QCOMPARE(prompts_->chooser_titles().size(), size_t{6});
    QCOMPARE(ListTexts(list),
             QStringList({"/data/a", "/data/a", "/Data/b", "/work/Files", Utf8("/数据")}));
    QCOMPARE(prompts_->message_count(), size_t{0});

    // Saved in the list's order, duplicates included.
    dlg->reject();
    QCOMPARE(ReadSettings().directories,
             (std::vector<std::string>{"/data/a", "/data/a", "/Data/b", "/work/Files", "/数据"}));
  }

  // A directory the settings file could not give back is refused when it is
  // added, instead of vanishing at the next start.
  void addRefusesWhatTheSettingsCannotKeep() {
    WriteSettings({}, 0x7F000001u, StartTime{});
    auto dlg = MakeDialog();
    QCOMPARE(dlg->InitDialog(), CAmbrelDlg::InitResult::kReady);
    auto* add = Control<QPushButton>(dlg.get(), kIdAddDirectory);
    auto* list = Control<QListWidget>(dlg.get(), kIdDirectoryList);
    prompts_->Answer(QStringLiteral("/odd|name"));
    QTest::mouseClick(add, Qt::LeftButton);
    QCOMPARE(list->count(), 0);
    QCOMPARE(prompts_->messages().back().text, Utf8(kUnstorableDirectoryText));

    // Entries of 100 bytes (with the bar): ten fit into 1023 bytes, the
    // eleventh would not load back.
    for (int i = 0; i < 11; ++i) {
      prompts_->Answer(QStringLiteral("/") + QString(97, QLatin1Char('a' + i)) + QStringLiteral("/"));
      QTest::mouseClick(add, Qt::LeftButton);
    }
    QCOMPARE(list->count(), 10);
    QCOMPARE(prompts_->messages().back().text, Utf8(kDirectoryListFullText));
    dlg->reject();
    QCOMPARE(ReadSettings().directories.size(), size_t{10});
  }

  void removeDeletesOnlyTheSelectedEntry() {
    WriteSettings({"/a1", "/b2", "/c3"}, 0x7F000001u, StartTime{});
    auto dlg = MakeDialog();
    QCOMPARE(dlg->InitDialog(), CAmbrelDlg::InitResult::kReady);
    auto* list = Control<QListWidget>(dlg.get(), kIdDirectoryList);
    auto* remove = Control<QPushButton>(dlg.get(), kIdRemoveDirectory);
    QTest::mouseClick(remove, Qt::LeftButton);  // nothing selected
    QCOMPARE(list->count(), 3);
    list->setCurrentRow(1);
    QTest::mouseClick(remove, Qt::LeftButton);
    QCOMPARE(ListTexts(list), QStringList({"/a1", "/c3"}));
    list->clearSelection();
    QTest::mouseClick(remove, Qt::LeftButton);  // current row but no selection
    QCOMPARE(list->count(), 2);
    list->setCurrentRow(1);
    QTest::mouseClick(remove, Qt::LeftButton);
    QCOMPARE(ListTexts(list), QStringList({"/a1"}));
    QCOMPARE(prompts_->message_count(), size_t{0});
  }

  // With an empty list, arming and a manual run only warn: nothing saved,
  // nothing started. With a folder, arming saves, disables 1002 and starts
  // the timer; quitting while armed kills it and saves.
  void armingWarnsWithAnEmptyListElseSavesAndStartsTheTimer() {
    WriteSettings({}, 0x7F000001u, StartTime{2024, 5, 6, 12, 0, 0});
    const QByteArray before = ReadAll(settings_path_);
    auto dlg = MakeDialog();
    QCOMPARE(dlg->InitDialog(), CAmbrelDlg::InitResult::kReady);
    Control<Ipv4Edit>(dlg.get(), kIdServerAddress)->setText(QStringLiteral("10.9.8.7"));
    auto* arm = Control<QPushButton>(dlg.get(), kIdAutoSync);
    QTest::mouseClick(arm, Qt::LeftButton);
    QTest::mouseClick(Control<QPushButton>(dlg.get(), kIdManualSync), Qt::LeftButton);
    QCOMPARE(prompts_->message_count(), size_t{2});
    for (const auto& message : prompts_->messages()) {
      QCOMPARE(message.caption, QStringLiteral("Ostrova"));
      QCOMPARE(message.text, Utf8("请选择待备份的目录"));
      QCOMPARE(message.icon, QMessageBox::Warning);
    }
    QVERIFY(!dlg->armed());
    QVERIFY(arm->isEnabled());
    QVERIFY(jobs_.empty());
    QCOMPARE(ReadAll(settings_path_), before);

    prompts_->Answer(QStringLiteral("/srv/x"));
    QTest::mouseClick(Control<QPushButton>(dlg.get(), kIdAddDirectory), Qt::LeftButton);
    QTest::mouseClick(arm, Qt::LeftButton);
    QVERIFY(dlg->armed());
    QCOMPARE(dlg->timer_interval(), 1000);
    QVERIFY(!arm->isEnabled());
    QVERIFY(Control<QPushButton>(dlg.get(), kIdManualSync)->isEnabled());
    QCOMPARE(ReadSettings().server_address, 0x0A090807u);
    QVERIFY(jobs_.empty());  // arming alone runs nothing
    Control<QTimeEdit>(dlg.get(), kIdStartTime)->setTime(QTime(18, 0, 0));
    dlg->reject();
    QVERIFY(!dlg->armed());
    QCOMPARE(ReadSettings().start_time.hour, 18);
  }

  // A user with a daily timer: saving the settings moves its drop-in to the
  // new start time and reloads the user manager.
  void savingMovesTheDailyTimerToTheNewStartTime() {
    WriteSettings({"/srv/x"}, 0x7F000001u, StartTime{2024, 5, 6, 12, 0, 0});
    DialogOptions options = Options();
    options.user_unit_folder = dir_->path().toStdString() + "/systemd/user";
    std::vector<std::string> calls;
    options.user_manager = [&calls](const std::vector<std::string>& args) {
      calls.push_back(args.front());
      return 0;
    };
    std::string error;
    QVERIFY(SetTimerStartTime(options.user_unit_folder, StartTime{2024, 5, 6, 12, 0, 0}, options.user_manager, &error));
    auto dlg = std::make_unique<CAmbrelDlg>(options);
    QCOMPARE(dlg->InitDialog(), CAmbrelDlg::InitResult::kReady);
    Control<QTimeEdit>(dlg.get(), kIdStartTime)->setTime(QTime(18, 30, 0));
    dlg->reject();
    StartTime timer;
    QVERIFY(ReadTimerStartTime(options.user_unit_folder, &timer));
    QCOMPARE(timer.hour * 100 + timer.minute, 1830);
    QCOMPARE(calls, (std::vector<std::string>{"daemon-reload", "daemon-reload"}));
  }

  void tickStartsARunOnlyInsideTheWindow() {
    WriteSettings({"/srv/y", "/srv/x"}, 0x0A000001u, StartTime{2024, 5, 6, 12, 30, 0}, "ann");
    auto dlg = MakeDialog();
    QCOMPARE(dlg->InitDialog(), CAmbrelDlg::InitResult::kReady);
    QTest::mouseClick(Control<QPushButton>(dlg.get(), kIdAutoSync), Qt::LeftButton);
    QVERIFY(dlg->armed());

    now_ = QDateTime(QDate(2024, 5, 6), QTime(12, 29, 59, 500));
    dlg->OnTimerTick();
    QVERIFY(jobs_.empty());
    now_ = QDateTime(QDate(2024, 5, 6), QTime(12, 30, 0, 480));
    dlg->OnTimerTick();
    QCOMPARE(jobs_.size(), size_t{1});
    QCOMPARE(jobs_[0].directories, (std::vector<std::string>{"/srv/x", "/srv/y"}));
    QCOMPARE(jobs_[0].server_address, 0x0A000001u);
    QCOMPARE(jobs_[0].port, uint16_t{9527});
    // An unattended run: the settings' account, retries, the lock file a
    // headless run on the same settings takes too.
    QCOMPARE(jobs_[0].user, std::string("ann"));
    QVERIFY(jobs_[0].retry);
    QCOMPARE(jobs_[0].run_lock_path, RunLockPathFor(settings_path_.toStdString()));
    // (Which ticks of a window fire is StartWindowTest's.)

    // The picker changed after arming does not move the trigger; the time
    // read at arming counts, again the next day.
    Control<QTimeEdit>(dlg.get(), kIdStartTime)->setTime(QTime(18, 0, 1));
    now_ = QDateTime(QDate(2024, 5, 6), QTime(18, 0, 1));
    dlg->OnTimerTick();
    QCOMPARE(jobs_.size(), size_t{1});
    now_ = QDateTime(QDate(2024, 5, 7), QTime(12, 30, 1, 200));
    dlg->OnTimerTick();
    QCOMPARE(jobs_.size(), size_t{2});
  }

  // The real timer delivers the ticks: armed a second before the start time
  // by the injected clock, a run starts within a few periods.
  void armedTimerTicksReachTheTrigger() {
    WriteSettings({"/srv/x"}, 0x0A000001u, StartTime{2024, 5, 6, 12, 30, 0});
    auto dlg = MakeDialog();
    QCOMPARE(dlg->InitDialog(), CAmbrelDlg::InitResult::kReady);
    now_ = QDateTime(QDate(2024, 5, 6), QTime(12, 30, 0));
    QTest::mouseClick(Control<QPushButton>(dlg.get(), kIdAutoSync), Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(jobs_.size(), size_t{1}, 5000);
  }

  void manualRunStartsOneRunWithTheListAsShown() {
    WriteSettings({"/srv/b", "/srv/a"}, 0x0A000001u, StartTime{2024, 5, 6, 12, 30, 0}, "ann");
    auto dlg = MakeDialog();
    QCOMPARE(dlg->InitDialog(), CAmbrelDlg::InitResult::kReady);
    prompts_->Answer(QStringLiteral("/srv/c"));
    QTest::mouseClick(Control<QPushButton>(dlg.get(), kIdAddDirectory), Qt::LeftButton);
    Control<Ipv4Edit>(dlg.get(), kIdServerAddress)->setText(QStringLiteral("10.0.0.9"));
    QTest::mouseClick(Control<QPushButton>(dlg.get(), kIdManualSync), Qt::LeftButton);
    QCOMPARE(jobs_.size(), size_t{1});
    QCOMPARE(jobs_[0].directories, (std::vector<std::string>{"/srv/a", "/srv/b", "/srv/c"}));
    QCOMPARE(jobs_[0].server_address, 0x0A000009u);
    QVERIFY(!jobs_[0].retry);  // a manual run reports a failed connect at once
    // Saved before the run starts, the account it held included.
    const SyncSettings saved = ReadSettings();
    QCOMPARE(saved.server_address, 0x0A000009u);
    QCOMPARE(saved.user, std::string("ann"));
    QCOMPARE(saved.directories.size(), size_t{3});
    QVERIFY(Control<QPushButton>(dlg.get(), kIdManualSync)->isEnabled());
    QVERIFY(!dlg->armed());
  }

  void statusLineShowsExactlyTheLastText() {
    auto dlg = MakeDialog();
    auto* status = Control<QLabel>(dlg.get(), kIdStatus);
    dlg->ShowStatus(std::string("向远程发送删除[Mon]命令\n"));
    dlg->ShowStatus(std::string("远程删除[Mon] 成功\n"));
    QCOMPARE(status->text(), Utf8("远程删除[Mon] 成功\n"));
    dlg->ShowStatus(QStringLiteral("<b>not markup</b>"));
    QCOMPARE(status->text(), QStringLiteral("<b>not markup</b>"));
    QCOMPARE(status->textFormat(), Qt::PlainText);

    // From a worker: when ShowStatus returns, the UI thread has already
    // taken the text.
    std::mutex mutex;
    QStringList shown;
    connect(dlg.get(), &CAmbrelDlg::statusShown, this, [&](const QString& text) {
      QCOMPARE(QThread::currentThread(), QCoreApplication::instance()->thread());
      std::lock_guard<std::mutex> hold(mutex);
      shown << text;
    });
    std::atomic<bool> worker_done{false};
    std::atomic<int> taken_before_return{0};
    std::thread worker([&] {
      for (int i = 0; i < 20; ++i) {
        const QString text = QStringLiteral("目录备份 %1\n").arg(i);
        dlg->ShowStatus(text.toStdString());
        std::lock_guard<std::mutex> hold(mutex);
        if (!shown.isEmpty() && shown.back() == text) taken_before_return.fetch_add(1);
      }
      worker_done.store(true);
    });
    QTRY_VERIFY_WITH_TIMEOUT(worker_done.load(), 10000);
    worker.join();
    QCOMPARE(taken_before_return.load(), 20);
    QCOMPARE(status->text(), QStringLiteral("目录备份 19\n"));
  }

  // The session's message box, caption change and exit request from a
  // run's worker thread are carried out on the UI thread, and the worker
  // waits for each; the exit ends the dialog and saves.
  void workerRequestsAreCarriedOutOnTheUiThread() {
    WriteSettings({"/srv/x"}, 0x0A000001u, StartTime{});
    auto dlg = MakeDialog();
    QCOMPARE(dlg->InitDialog(), CAmbrelDlg::InitResult::kReady);
    dlg->show();
    Control<Ipv4Edit>(dlg.get(), kIdServerAddress)->setText(QStringLiteral("10.1.1.1"));
    std::atomic<bool> worker_done{false};
    std::atomic<size_t> seen_after_message{0};
    std::thread worker([&] {
      dlg->ShowMessage("Ostrova", "连接文件服务器失败[10.0.0.1-Error:10061]");
      seen_after_message.store(prompts_->message_count());
      dlg->SetCaption("[Ostrova]--配置的文件服务器IP无法连接");
      dlg->ExitProcess(0);
      worker_done.store(true);
    });
    QTRY_VERIFY_WITH_TIMEOUT(worker_done.load(), 10000);
    worker.join();
    QCOMPARE(seen_after_message.load(), size_t{1});
    const auto messages = prompts_->messages();
    QCOMPARE(messages[0].thread, QCoreApplication::instance()->thread());
    QCOMPARE(messages[0].icon, QMessageBox::Information);
    QCOMPARE(messages[0].text, Utf8("连接文件服务器失败[10.0.0.1-Error:10061]"));
    QCOMPARE(dlg->windowTitle(), Utf8("[Ostrova]--配置的文件服务器IP无法连接"));
    QCOMPARE(dlg->requested_exit_code(), 0);
    QVERIFY(!dlg->isVisible());
    QVERIFY(dlg->settings_saved_on_close());
    QCOMPARE(ReadSettings().server_address, 0x0A010101u);
  }

  // The whole road with the real server: a manual run from the dialog logs
  // in (registering the account), uploads the tree, and the status line
  // ends with the run's closing line; the files arrive unchanged.
  void manualRunBacksUpThroughTheRealServer() {
    if (testing::TestServer::Binary().empty()) QSKIP("tervanesvr is not built");
    testing::TestServer server;
    QVERIFY2(server.Start(), server.Errors().c_str());

    const std::string source = dir_->path().toStdString() + "/源 docs";
    const std::string first = "first file\n", second = testing::PatternBytes(70000, 1);
    QVERIFY(testing::WriteFile(source + "/a.txt", first) && testing::WriteFile(source + "/sub/报告.bin", second) &&
            testing::MakeDirs(source + "/empty"));
    WriteSettings({source}, 0x7F000001u, StartTime{});
    DialogOptions options = Options(false);
    options.port = server.port();
    auto dlg = std::make_unique<CAmbrelDlg>(options);
    QCOMPARE(dlg->InitDialog(), CAmbrelDlg::InitResult::kReady);
    QStringList shown;
    connect(dlg.get(), &CAmbrelDlg::statusShown, this, [&](const QString& text) { shown << text; });
    auto* status = Control<QLabel>(dlg.get(), kIdStatus);

    QTest::mouseClick(Control<QPushButton>(dlg.get(), kIdManualSync), Qt::LeftButton);
    // The run ends on its summary, after the closing line.
    QTRY_VERIFY_WITH_TIMEOUT(status->text().startsWith(Utf8("已上传 ")), 30000);
    QVERIFY(dlg->WaitForRuns(10000));
    QVERIFY2(status->text().startsWith(Utf8("已上传 2 个文件 (70011 字节), 3 个目录, 失败 0 个, 用时 ")),
             qPrintable(status->text()));
    QVERIFY(shown.size() >= 2 && shown[shown.size() - 2].startsWith(Utf8("目录备份完毕[")));
    QCOMPARE(prompts_->message_count(), size_t{0});
    QCOMPARE(dlg->windowTitle(), QStringLiteral("Ostrova"));
    QVERIFY2(shown.contains(Utf8("开始一个目录备份...\n")), qPrintable(shown.join(QLatin1Char('|'))));
    QVERIFY(!shown.contains(Utf8(kUploadFailedText)));
    LastRun record;  // the dialog's run is recorded like a headless one
    QVERIFY(ReadLastRun(LastRunPath(settings_path_.toStdString()), &record));
    QCOMPARE(record.result, 0);
    QCOMPARE(record.files, uint64_t{2});

    // The weekday folder of the run holds the tree below the source's path.
    // No USER in the settings: the account is the workstation's own.
    const QDir home(QString::fromStdString(server.share() + AccountName(std::string())));
    QString day_folder;
    for (const char* day : {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"}) {
      if (home.exists(QString::fromLatin1(day))) day_folder = home.filePath(QString::fromLatin1(day));
    }
    QVERIFY2(!day_folder.isEmpty(), qPrintable(home.path()));
    QVERIFY(shown.contains(QStringLiteral("向远程发送删除[%1]命令\n").arg(QFileInfo(day_folder).fileName())));
    const std::string copy = day_folder.toStdString() + source;
    QVERIFY(testing::ReadFile(copy + "/a.txt") == first);
    QVERIFY(testing::ReadFile(copy + "/sub/报告.bin") == second);
    QVERIFY(QFileInfo(QString::fromStdString(copy + "/empty")).isDir());
  }

  // A trigger that arrives while a run holds the session is dropped with a
  // status line; the running one goes on alone. The real engine runs on a
  // worker: when the server goes, its connection message and caption change
  // reach the UI thread, once.
  void triggerDuringARunIsDropped() {
    QTcpServer silent;  // accepts, never answers: the run waits in its connect
    QVERIFY(silent.listen(QHostAddress::LocalHost, 0));
    WriteSettings({dir_->path().toStdString()}, 0x7F000001u, StartTime{2024, 5, 6, 12, 30, 0});
    DialogOptions options = Options(false);
    options.port = silent.serverPort();
    auto dlg = std::make_unique<CAmbrelDlg>(options);
    QCOMPARE(dlg->InitDialog(), CAmbrelDlg::InitResult::kReady);
    auto* status = Control<QLabel>(dlg.get(), kIdStatus);
    QTest::mouseClick(Control<QPushButton>(dlg.get(), kIdManualSync), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(silent.hasPendingConnections(), 10000);
    QTcpSocket* first = silent.nextPendingConnection();
    QVERIFY(dlg->RunInProgress());

    // The timer's trigger and a second click both meet the running run.
    QTest::mouseClick(Control<QPushButton>(dlg.get(), kIdAutoSync), Qt::LeftButton);
    now_ = QDateTime(QDate(2024, 5, 6), QTime(12, 30, 0));
    dlg->OnTimerTick();
    QTRY_COMPARE_WITH_TIMEOUT(status->text(), Utf8(kRunBusyText), 10000);
    status->setText(QString());
    QTest::mouseClick(Control<QPushButton>(dlg.get(), kIdManualSync), Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(status->text(), Utf8(kRunBusyText), 10000);
    QVERIFY(!silent.hasPendingConnections());

    // The server goes away: the one run ends with its connection message.
    first->abort();
    silent.close();
    QTRY_COMPARE_WITH_TIMEOUT(prompts_->message_count(), size_t{1}, 15000);
    const auto message = prompts_->messages()[0];
    QCOMPARE(message.caption, QStringLiteral("Ostrova"));
    QVERIFY2(message.text.startsWith(Utf8("连接文件服务器失败[127.0.0.1-Error:")), qPrintable(message.text));
    QCOMPARE(message.thread, QCoreApplication::instance()->thread());
    QTRY_COMPARE_WITH_TIMEOUT(dlg->windowTitle(), Utf8("[Ostrova]--配置的文件服务器IP无法连接"), 5000);
    QVERIFY(dlg->WaitForRuns(10000));
    QVERIFY(!dlg->RunInProgress());
    QCOMPARE(prompts_->message_count(), size_t{1});
  }
};

TERVANE_UI_TEST(AmbrelDlgTest);

}  // namespace tervane

#include "ambrel_dlg_test.moc"
