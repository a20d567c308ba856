#include "client/ui/ambrel_dlg.h"

#include <QAbstractButton>
#include <QCoreApplication>
#include <QEventLoop>
#include <QDebug>
#include <QFileInfo>
#include <QGroupBox>
#include <QLabel>
#include <QListWidget>
#include <QListWidgetItem>
#include <QMetaObject>
#include <QPushButton>
#include <QThread>
#include <QTimeEdit>
#include <chrono>
#include <ctime>
#include <utility>

#include "client/app/account_name.h"
#include "client/app/last_run.h"
#include "client/app/run_lock.h"
#include "client/ui/dialog_font.h"
#include "client/ui/dialog_template.h"
#include "client/ui/ipv4_edit.h"
#include "client/ui/run_workers.h"

namespace tervane {
namespace {

// List-box order: without regard to case first, as the platform's sorted
// list boxes compare, then by the exact text so that equal-looking entries
// keep a fixed order.
class DirectoryItem : public QListWidgetItem {
 public:
  explicit DirectoryItem(const QString& text) : QListWidgetItem(text) {}
  bool operator<(const QListWidgetItem& other) const override {
    const int folded = text().compare(other.text(), Qt::CaseInsensitive);
    if (folded != 0) return folded < 0;
    return text() < other.text();
  }
};

QString FromUtf8(const std::string& text) { return QString::fromStdString(text); }

StartTime ToStartTime(const QDateTime& value) {
  StartTime t;
  t.year = value.date().year();
  t.month = value.date().month();
  t.day = value.date().day();
  t.hour = value.time().hour();
  t.minute = value.time().minute();
  t.second = value.time().second();
  return t;
}

QDateTime FromStartTime(const StartTime& t) {
  return QDateTime(QDate(t.year, t.month, t.day), QTime(t.hour, t.minute, t.second));
}

// Bytes that BK_DIRS takes for these entries: each one and its "|".
size_t DirsValueLength(const std::vector<std::string>& entries) {
  size_t length = 0;
  for (const std::string& entry : entries) length += entry.size() + 1;
  return length;
}

}  // namespace

CAmbrelDlg::CAmbrelDlg(DialogOptions options, QWidget* parent)
    : QDialog(parent),
      options_(std::move(options)),
      engine_(&session_, &recorder_, this),
      workers_(std::make_unique<RunWorkers>()) {
  if (options_.prompts != nullptr) {
    prompts_ = options_.prompts;
  } else {
    own_prompts_ = std::make_unique<QtDialogPrompts>();
    prompts_ = own_prompts_.get();
  }
  if (!options_.clock) options_.clock = [] { return QDateTime::currentDateTime(); };
  engine_.SetDebugOutput([](const std::string& line) { qDebug().noquote() << FromUtf8(line); });

  // The start time begins as the moment the dialog was made; settings that
  // cannot be read leave it so.
  start_time_ = options_.clock();
  icon_ = QIcon(QStringLiteral(":/tervane/tervane.png"));

  setWindowTitle(QString::fromUtf8(kDialogTitle));
  setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
  setWindowIcon(icon_);
  setFont(PickDialogFont());
  BuildControls();
  WriteControls();

  timer_.setTimerType(Qt::PreciseTimer);
  timer_.setInterval(kAutoSyncPeriodMs);
  connect(&timer_, &QTimer::timeout, this, &CAmbrelDlg::OnTimerTick);
}

CAmbrelDlg::~CAmbrelDlg() {
  timer_.stop();
  {
    MutexLock hold(&ui_call_mutex_);
    closing_.store(true);
  }
  ui_call_cv_.SignalAll();
  engine_.RequestStop();
  workers_->JoinAll();
}

void CAmbrelDlg::BuildControls() {
  units_ = BaseUnitsFor(font());
  setFixedSize(DluToPixels(kDialogSizeDlu, units_));

  QWidget* previous = nullptr;
  for (const TemplateControl& control : Template102()) {
    const QString caption = QString::fromUtf8(control.caption);
    QWidget* widget = nullptr;
    switch (control.kind) {
      case ControlKind::kGroupBox:
        widget = new QGroupBox(caption, this);
        break;
      case ControlKind::kListBox: {
        auto* list = new QListWidget(this);
        list->setSortingEnabled(true);
        list->setSelectionMode(QAbstractItemView::SingleSelection);
        list->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
        list->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
        list_ = list;
        widget = list;
        break;
      }
      case ControlKind::kPushButton: {
        auto* button = new QPushButton(caption, this);
        // No default button: Enter does not start anything by itself.
        button->setAutoDefault(false);
        button->setDefault(false);
        widget = button;
        break;
      }
      case ControlKind::kTimePicker: {
        auto* edit = new QTimeEdit(this);
        edit->setDisplayFormat(QStringLiteral("HH:mm:ss"));
        edit->setButtonSymbols(QAbstractSpinBox::UpDownArrows);
        edit->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
        time_edit_ = edit;
        widget = edit;
        break;
      }
      case ControlKind::kStaticText: {
        auto* label = new QLabel(caption, this);
        label->setTextFormat(Qt::PlainText);
        label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        widget = label;
        break;
      }
      case ControlKind::kAddressEdit:
        address_edit_ = new Ipv4Edit(this);
        widget = address_edit_;
        break;
    }
    widget->setGeometry(DluToPixels(control.dlu, units_));
    if (control.id != kNoId) widget->setObjectName(QString::number(control.id));
    if (control.kind != ControlKind::kGroupBox && control.kind != ControlKind::kStaticText) {
      if (previous != nullptr) setTabOrder(previous, widget);
      previous = widget;
    }
    switch (control.id) {
      case kIdManualSync:
        manual_button_ = static_cast<QPushButton*>(widget);
        connect(manual_button_, &QPushButton::clicked, this, &CAmbrelDlg::OnManualSync);
        break;
      case kIdAutoSync:
        auto_button_ = static_cast<QPushButton*>(widget);
        connect(auto_button_, &QPushButton::clicked, this, &CAmbrelDlg::OnAutoSync);
        break;
      case kIdAddDirectory:
        connect(static_cast<QPushButton*>(widget), &QPushButton::clicked, this,
                &CAmbrelDlg::OnAddDirectory);
        break;
      case kIdRemoveDirectory:
        connect(static_cast<QPushButton*>(widget), &QPushButton::clicked, this,
                &CAmbrelDlg::OnRemoveDirectory);
        break;
      case kIdCancel:
        connect(static_cast<QPushButton*>(widget), &QPushButton::clicked, this,
                &CAmbrelDlg::reject);
        break;
      case kIdStatus:
        status_ = static_cast<QLabel*>(widget);
        break;
      default:
        break;
    }
  }
}

CAmbrelDlg::InitResult CAmbrelDlg::InitDialog() {
  timer_.stop();
  SyncSettings settings;
  settings.start_time = ToStartTime(start_time_);
  const bool exists = QFileInfo::exists(FromUtf8(options_.settings_path));
  if (!exists || LoadSettings(options_.settings_path, &settings) != 0) {
    // Unconfigured: the user may fill in everything, and quitting writes the
    // settings file; runs wait for the next start.
    auto_button_->setEnabled(false);
    manual_button_->setEnabled(false);
    prompts_->ShowMessage(this, QString::fromUtf8(kProgramName), QString::fromUtf8(kUnconfiguredText),
                          QMessageBox::Warning);
    setWindowTitle(QString::fromUtf8(kUnconfiguredCaption));
    return InitResult::kUnconfigured;
  }

  // The status line opens on how the last run went, where one is recorded.
  LastRun last;
  if (ReadLastRun(LastRunPath(options_.settings_path), &last)) status_->setText(FromUtf8(LastRunLine(last)));

  server_address_ = settings.server_address;
  user_ = settings.user;
  if (settings.start_time_valid) start_time_ = FromStartTime(settings.start_time);
  list_->clear();
  for (const std::string& directory : settings.directories) {
    list_->addItem(new DirectoryItem(FromUtf8(directory)));
  }
  WriteControls();

  if (options_.single_instance) {
    // Taken only now, after the settings were loaded: two unconfigured copies
    // may both run.
    instance_lock_ = std::make_unique<InstanceLock>(options_.lock_directory);
    if (!instance_lock_->TryAcquire()) {
      if (instance_lock_->held_elsewhere()) return InitResult::kAnotherCopyRunning;
      qWarning().noquote() << "single-instance marker unavailable:" << instance_lock_->path();
    }
  }
  return InitResult::kReady;
}

void CAmbrelDlg::ReadControls() {
  server_address_ = address_edit_->Address();
  // The picker shows only the time of day; the date stays as loaded.
  start_time_.setTime(time_edit_->time());
}

void CAmbrelDlg::WriteControls() {
  address_edit_->SetAddress(server_address_);
  time_edit_->setTime(QTime(start_time_.time().hour(), start_time_.time().minute(),
                            start_time_.time().second()));
}

std::vector<std::string> CAmbrelDlg::ListEntries() const {
  std::vector<std::string> entries;
  entries.reserve(static_cast<size_t>(list_->count()));
  for (int i = 0; i < list_->count(); ++i) entries.push_back(list_->item(i)->text().toStdString());
  return entries;
}

void CAmbrelDlg::SaveCurrentSettings() {
  SyncSettings settings;
  settings.server_address = server_address_;
  settings.start_time = ToStartTime(start_time_);
  settings.directories = ListEntries();
  settings.user = user_;
  const Result result = SaveSettings(options_.settings_path, settings);
  if (!result.ok()) {
    qWarning().noquote() << "settings not fully saved to" << FromUtf8(options_.settings_path)
                         << "result" << result.code();
    return;
  }
  std::string error;
  if (!FollowStartTime(options_.user_unit_folder, settings.start_time,
                       options_.user_manager ? options_.user_manager : RunSystemctlUser, &error)) {
    qWarning().noquote() << "the daily timer keeps its old time:" << QString::fromStdString(error);
  }
}

SyncJob CAmbrelDlg::MakeJob(bool automatic) const {
  SyncJob job;
  job.server_address = server_address_;
  job.port = options_.port;
  job.directories = directories_;
  job.user = user_;
  job.retry = automatic;
  // Shared with a headless run on the same settings file.
  job.run_lock_path = RunLockPathFor(options_.settings_path);
  return job;
}

void CAmbrelDlg::Warn(const QString& text) {
  prompts_->ShowMessage(this, QString::fromUtf8(kProgramName), text, QMessageBox::Warning);
}

void CAmbrelDlg::OnManualSync() {
  ReadControls();
  if (list_->count() == 0) {
    Warn(QString::fromUtf8(kNoDirectoryText));
    return;
  }
  SaveCurrentSettings();
  directories_ = ListEntries();
  // One run, on a worker: the window keeps answering and its status line
  // shows the progress.
  StartRun(MakeJob(false));
  qDebug().noquote() << QString::fromUtf8("Uploadbtn执行完毕");
}

void CAmbrelDlg::OnAutoSync() {
  ReadControls();
  if (list_->count() == 0) {
    Warn(QString::fromUtf8(kNoDirectoryText));
    return;
  }
  SaveCurrentSettings();
  directories_ = ListEntries();
  // Armed until the program ends.
  auto_button_->setEnabled(false);
  timer_.start();
}

void CAmbrelDlg::OnTimerTick() {
  // The start time as the last arming or manual run read it.
  if (trigger_.OnTick(options_.clock(), start_time_.time())) StartRun(MakeJob(true));
}

void CAmbrelDlg::OnAddDirectory() {
  const QString chosen = prompts_->ChooseDirectory(this, QString::fromUtf8(kChooseDirectoryTitle));
  if (chosen.isEmpty()) return;
  const std::string entry = chosen.toStdString();
  // Refused here rather than lost on the next start: the settings file could
  // not give this entry back.
  if (!IsStorableDirectory(entry)) {
    Warn(QString::fromUtf8(kUnstorableDirectoryText));
    return;
  }
  std::vector<std::string> entries = ListEntries();
  entries.push_back(entry);
  if (DirsValueLength(entries) > kDirsValueBuffer - 1) {
    Warn(QString::fromUtf8(kDirectoryListFullText));
    return;
  }
  list_->addItem(new DirectoryItem(chosen));
}

void CAmbrelDlg::OnRemoveDirectory() {
  QListWidgetItem* current = list_->currentItem();
  if (current == nullptr || !current->isSelected()) return;
  delete list_->takeItem(list_->row(current));
}

void CAmbrelDlg::StartRun(const SyncJob& job) {
  if (options_.start_run) {
    options_.start_run(job);
    return;
  }
  workers_->Start([this, job] {
    const SyncReport report = engine_.SyncTask(job);
    recorder_.WriteRecord(options_.settings_path, AccountName(job.user), report, report.ExitCode(), std::time(nullptr));
  });
}

bool CAmbrelDlg::RunInProgress() const { return workers_->Active() > 0; }

bool CAmbrelDlg::WaitForRuns(int timeout_ms) {
  {
    MutexLock hold(&ui_call_mutex_);
    closing_.store(true);
  }
  ui_call_cv_.SignalAll();
  engine_.RequestStop();
  return workers_->WaitFor(std::chrono::milliseconds(timeout_ms),
                           [] { QCoreApplication::processEvents(QEventLoop::AllEvents, 10); });
}

void CAmbrelDlg::done(int result) {
  if (!ended_) {
    ended_ = true;
    timer_.stop();
    ReadControls();
    SaveCurrentSettings();
  }
  QDialog::done(result);
}

bool CAmbrelDlg::RunOnUiThread(std::function<void()> fn) {
  if (QThread::currentThread() == thread()) {
    fn();
    return true;
  }
  if (closing_.load()) return false;
  // The queued call may still sit in the queue when a closing dialog
  // releases its caller; it then finishes a ticket nobody waits for, and
  // tickets are never reused.
  uint64_t ticket = 0;
  {
    MutexLock hold(&ui_call_mutex_);
    ticket = ++ui_call_tickets_;
  }
  QMetaObject::invokeMethod(
      this,
      [this, ticket, fn = std::move(fn)] {
        if (!closing_.load()) fn();
        {
          MutexLock hold(&ui_call_mutex_);
          ui_calls_done_.insert(ticket);
        }
        ui_call_cv_.SignalAll();
      },
      Qt::QueuedConnection);
  MutexLock hold(&ui_call_mutex_);
  while (ui_calls_done_.count(ticket) == 0 && !closing_.load()) ui_call_cv_.Wait();
  return ui_calls_done_.erase(ticket) != 0;
}

void CAmbrelDlg::ShowStatus(const std::string& utf8) { ShowStatus(FromUtf8(utf8)); }

void CAmbrelDlg::ShowStatus(const QString& text) {
  // The debug output ends each message with its own line break.
  qDebug().noquote() << (text.endsWith(QLatin1Char('\n')) ? text.chopped(1) : text);
  RunOnUiThread([this, text] {
    status_->setText(text);
    emit statusShown(text);
  });
}

void CAmbrelDlg::ShowMessage(const std::string& caption, const std::string& text) {
  const QString caption_text = FromUtf8(caption);
  const QString message = FromUtf8(text);
  if (!RunOnUiThread([this, caption_text, message] {
        prompts_->ShowMessage(this, caption_text, message, QMessageBox::Information);
      })) {
    qDebug().noquote() << caption_text << message;
  }
}

void CAmbrelDlg::SetCaption(const std::string& caption) {
  const QString title = FromUtf8(caption);
  RunOnUiThread([this, title] { setWindowTitle(title); });
}

void CAmbrelDlg::ExitProcess(int code) {
  RunOnUiThread([this, code] {
    requested_exit_code_ = code;
    done(QDialog::Rejected);
  });
}

}  // namespace tervane
