#include "client/ui/restore_window.h"

#include <QCheckBox>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMetaObject>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QThread>
#include <QTreeWidget>
#include <QTreeWidgetItem>
#include <QVBoxLayout>
#include <algorithm>
#include <map>
#include <utility>

#include "client/app/client_session.h"
#include "client/app/copy_session.h"
#include "client/app/remote_path.h"
#include "client/app/session_ui.h"
#include "client/net/status_sink.h"
#include "client/ui/ambrel_dlg.h"
#include "client/ui/dialog_font.h"
#include "client/ui/dialog_prompts.h"

namespace tervane {
namespace {

enum Role {
  kRemoteRole = Qt::UserRole,  // QString: remote path ("Mon\data\a.txt")
  kLocalRole,                  // QString: local path ("/data/a.txt"; "/" for a day)
  kDayRole,                    // QString: the weekday copy
  kDirectoryRole,              // bool
  kLoadRole,                   // int: 0 not asked, 1 asked, 2 loaded
};

const char* const kChineseWeekdays[7] = {"星期日", "星期一", "星期二", "星期三", "星期四", "星期五", "星期六"};

QString Utf8(const std::string& text) { return QString::fromStdString(text); }

QString SizeText(uint64_t bytes) {
  if (bytes < 1024) return QStringLiteral("%1 B").arg(bytes);
  const char* units[] = {"KB", "MB", "GB", "TB"};
  double value = static_cast<double>(bytes) / 1024;
  int unit = 0;
  while (value >= 1024 && unit < 3) {
    value /= 1024;
    ++unit;
  }
  return QStringLiteral("%1 %2").arg(value, 0, 'f', 1).arg(QString::fromLatin1(units[unit]));
}

// Hands the worker's status lines to the UI thread.
class ForwardingStatus : public StatusSink {
 public:
  explicit ForwardingStatus(std::function<void(const std::string&)> forward) : forward_(std::move(forward)) {}
  void ShowStatus(const std::string& utf8) override { forward_(utf8); }

 private:
  std::function<void(const std::string&)> forward_;
};

// The session's messages become lines of the window; nothing blocks the
// worker. A request to end the process closes the window.
class ForwardingUi : public SessionUi {
 public:
  ForwardingUi(std::function<void(const std::string&)> line, std::function<void(const std::string&)> caption,
               std::function<void()> close)
      : line_(std::move(line)), caption_(std::move(caption)), close_(std::move(close)) {}
  void ShowMessage(const std::string&, const std::string& text) override { line_(text + "\n"); }
  void SetCaption(const std::string& caption) override { caption_(caption); }
  void ExitProcess(int) override { close_(); }

 private:
  std::function<void(const std::string&)> line_;
  std::function<void(const std::string&)> caption_;
  std::function<void()> close_;
};

}  // namespace

RestoreWindow::RestoreWindow(RestoreWindowOptions options, QWidget* parent)
    : QDialog(parent), options_(std::move(options)) {
  if (options_.prompts != nullptr) {
    prompts_ = options_.prompts;
  } else {
    own_prompts_ = std::make_unique<QtDialogPrompts>();
    prompts_ = own_prompts_.get();
  }
  setWindowTitle(QString::fromUtf8(kRestoreWindowTitle));
  setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinMaxButtonsHint |
                 Qt::WindowCloseButtonHint);
  setFont(PickDialogFont());

  tree_ = new QTreeWidget(this);
  tree_->setColumnCount(3);
  tree_->setHeaderLabels({QStringLiteral("名称"), QStringLiteral("大小"), QStringLiteral("修改时间")});
  tree_->header()->setSectionResizeMode(kNameColumn, QHeaderView::Stretch);
  tree_->header()->setSectionResizeMode(kSizeColumn, QHeaderView::ResizeToContents);
  tree_->header()->setSectionResizeMode(kTimeColumn, QHeaderView::ResizeToContents);
  tree_->header()->setStretchLastSection(false);
  connect(tree_, &QTreeWidget::itemExpanded, this, &RestoreWindow::OnItemExpanded);

  overwrite_box_ = new QCheckBox(QString::fromUtf8(kOverwriteText), this);
  here_button_ = new QPushButton(QString::fromUtf8(kRestoreHereText), this);
  to_button_ = new QPushButton(QString::fromUtf8(kRestoreToText), this);
  here_button_->setAutoDefault(false);
  to_button_->setAutoDefault(false);
  connect(here_button_, &QPushButton::clicked, this, &RestoreWindow::RestoreToOriginal);
  connect(to_button_, &QPushButton::clicked, this, &RestoreWindow::RestoreToFolder);
  progress_ = new QProgressBar(this);
  progress_->setRange(0, 1);
  progress_->setValue(0);
  progress_->setTextVisible(false);
  status_ = new QLabel(QString::fromUtf8(kReadyText), this);
  status_->setTextFormat(Qt::PlainText);
  status_->setWordWrap(true);
  log_ = new QPlainTextEdit(this);
  log_->setReadOnly(true);
  log_->setMaximumBlockCount(5000);
  log_->setFixedHeight(fontMetrics().height() * 6);

  auto* buttons = new QHBoxLayout;
  buttons->addWidget(overwrite_box_);
  buttons->addStretch(1);
  buttons->addWidget(here_button_);
  buttons->addWidget(to_button_);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(tree_, 1);
  layout->addLayout(buttons);
  layout->addWidget(progress_);
  layout->addWidget(status_);
  layout->addWidget(log_);
  resize(720, 520);

  worker_ = std::make_unique<QThread>();
  worker_context_ = new QObject;
  worker_context_->moveToThread(worker_.get());
  worker_->start();
}

RestoreWindow::~RestoreWindow() {
  stop_.store(true);
  worker_->quit();
  worker_->wait();
  delete worker_context_;
}

bool RestoreWindow::Start() {
  if (LoadSettings(options_.settings_path, &settings_) != 0) {
    ShowStatusText(QString::fromUtf8(kUnconfiguredText));
    here_button_->setEnabled(false);
    to_button_->setEnabled(false);
    return false;
  }
  ShowStatusText(QStringLiteral("正在读取服务器上的副本..."));
  RunRemote([this](RemoteSession* session) {
    if (session == nullptr) return;
    std::vector<std::string> days;
    const Result result = CopyBrowser(session).Days(&days);
    Post([this, days, result] {
      if (!result.ok()) {
        ShowStatusText(QStringLiteral("读取副本列表失败 (Error:%1)").arg(result.code()));
        return;
      }
      ShowDays(days);
      ShowStatusText(days.empty() ? QStringLiteral("服务器上还没有副本")
                                  : QStringLiteral("勾选要恢复的文件或文件夹，然后选择恢复到哪里"));
    });
  });
  return true;
}

void RestoreWindow::ShowDays(const std::vector<std::string>& days) {
  tree_->clear();
  items_.clear();
  for (const std::string& day : days) {
    int wday = 0;
    while (wday < 7 && day != WeekdayName(wday)) ++wday;
    auto* item = new QTreeWidgetItem(tree_);
    item->setText(kNameColumn, Utf8(day) + (wday < 7 ? QStringLiteral("  ") + QString::fromUtf8(kChineseWeekdays[wday])
                                                     : QString()));
    item->setData(kNameColumn, kRemoteRole, Utf8(day));
    item->setData(kNameColumn, kLocalRole, QStringLiteral("/"));
    item->setData(kNameColumn, kDayRole, Utf8(day));
    item->setData(kNameColumn, kDirectoryRole, true);
    item->setData(kNameColumn, kLoadRole, 0);
    item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable | Qt::ItemIsAutoTristate);
    item->setCheckState(kNameColumn, Qt::Unchecked);
    item->setChildIndicatorPolicy(QTreeWidgetItem::ShowIndicator);
    items_.insert(Utf8(day), item);
  }
  emit directoryShown(QString());
}

void RestoreWindow::ShowDirectory(const QString& remote_path, const std::vector<CopyEntry>& entries) {
  QTreeWidgetItem* parent = items_.value(remote_path, nullptr);
  if (parent == nullptr) return;
  parent->setData(kNameColumn, kLoadRole, 2);
  parent->setChildIndicatorPolicy(QTreeWidgetItem::DontShowIndicatorWhenChildless);
  const Qt::CheckState inherited = parent->checkState(kNameColumn) == Qt::Checked ? Qt::Checked : Qt::Unchecked;
  const QString day = parent->data(kNameColumn, kDayRole).toString();
  const QString local = parent->data(kNameColumn, kLocalRole).toString();
  // Folders first, each group in the listing's order.
  std::vector<const CopyEntry*> ordered;
  for (const CopyEntry& e : entries) ordered.push_back(&e);
  std::stable_partition(ordered.begin(), ordered.end(), [](const CopyEntry* e) { return e->is_directory; });
  for (const CopyEntry* entry : ordered) {
    auto* item = new QTreeWidgetItem(parent);
    const QString remote = remote_path + QLatin1Char('\\') + Utf8(entry->remote_name);
    item->setText(kNameColumn, Utf8(entry->name));
    item->setData(kNameColumn, kRemoteRole, remote);
    item->setData(kNameColumn, kLocalRole, (local == QLatin1String("/") ? QString() : local) + QLatin1Char('/') +
                                                Utf8(entry->name));
    item->setData(kNameColumn, kDayRole, day);
    item->setData(kNameColumn, kDirectoryRole, entry->is_directory);
    item->setData(kNameColumn, kLoadRole, 0);
    Qt::ItemFlags flags = Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable;
    if (entry->is_directory) {
      flags |= Qt::ItemIsAutoTristate;
      item->setChildIndicatorPolicy(QTreeWidgetItem::ShowIndicator);
    } else if (entry->detail_result == 0) {
      item->setText(kSizeColumn, SizeText(entry->size));
      item->setData(kSizeColumn, Qt::ToolTipRole, QStringLiteral("%1 字节").arg(entry->size));
      item->setText(kTimeColumn, Utf8(FormatFileTime(entry->last_write)));
    } else {
      item->setText(kSizeColumn, QStringLiteral("?"));
    }
    item->setTextAlignment(kSizeColumn, Qt::AlignRight | Qt::AlignVCenter);
    item->setFlags(flags);
    item->setCheckState(kNameColumn, inherited);
    items_.insert(remote, item);
  }
  emit directoryShown(remote_path);
}

QTreeWidgetItem* RestoreWindow::ItemFor(const QString& remote_path) const { return items_.value(remote_path, nullptr); }

void RestoreWindow::ShowStatusText(const QString& text) {
  status_->setText(text.endsWith(QLatin1Char('\n')) ? text.chopped(1) : text);
}

void RestoreWindow::AppendLog(const QString& text) {
  log_->appendPlainText(text.endsWith(QLatin1Char('\n')) ? text.chopped(1) : text);
}

void RestoreWindow::OnItemExpanded(QTreeWidgetItem* item) {
  if (!item->data(kNameColumn, kDirectoryRole).toBool() || item->data(kNameColumn, kLoadRole).toInt() != 0) return;
  item->setData(kNameColumn, kLoadRole, 1);
  const std::string remote = item->data(kNameColumn, kRemoteRole).toString().toStdString();
  RunRemote([this, remote](RemoteSession* session) {
    if (session == nullptr) return;
    std::vector<CopyEntry> entries;
    const Result result = CopyBrowser(session).List(remote, true, &entries);
    Post([this, remote, entries = std::move(entries), result] {
      const QString path = Utf8(remote);
      if (!result.ok()) {
        if (QTreeWidgetItem* failed = ItemFor(path)) failed->setData(kNameColumn, kLoadRole, 0);
        ShowStatusText(QStringLiteral("读取目录失败 (Error:%1)").arg(result.code()));
        return;
      }
      ShowDirectory(path, entries);
    });
  });
}

std::vector<RestoreJob> RestoreWindow::TickedJobs(const std::string& target_dir) const {
  std::map<std::string, RestoreJob> by_day;
  std::function<void(QTreeWidgetItem*)> collect = [&](QTreeWidgetItem* item) {
    const Qt::CheckState state = item->checkState(kNameColumn);
    if (state == Qt::Unchecked) return;
    if (state == Qt::Checked) {
      RestoreJob& job = by_day[item->data(kNameColumn, kDayRole).toString().toStdString()];
      job.paths.push_back(item->data(kNameColumn, kLocalRole).toString().toStdString());
      return;
    }
    for (int i = 0; i < item->childCount(); ++i) collect(item->child(i));
  };
  for (int i = 0; i < tree_->topLevelItemCount(); ++i) collect(tree_->topLevelItem(i));
  std::vector<RestoreJob> jobs;
  for (auto& [day, job] : by_day) {
    job.day = day;
    job.target_dir = target_dir;
    job.overwrite = overwrite_box_->isChecked();
    jobs.push_back(std::move(job));
  }
  return jobs;
}

void RestoreWindow::RestoreToOriginal() { StartRestore(std::string()); }

void RestoreWindow::RestoreToFolder() {
  if (busy_) return;
  if (TickedJobs(std::string()).empty()) {
    ShowStatusText(QString::fromUtf8(kNothingTickedText));
    return;
  }
  const QString chosen = prompts_->ChooseDirectory(this, QString::fromUtf8(kChooseTargetTitle));
  if (chosen.isEmpty()) return;
  StartRestore(QFileInfo(chosen).absoluteFilePath().toStdString());
}

void RestoreWindow::StartRestore(const std::string& target_dir) {
  if (busy_) return;
  std::vector<RestoreJob> jobs = TickedJobs(target_dir);
  if (jobs.empty()) {
    ShowStatusText(QString::fromUtf8(kNothingTickedText));
    return;
  }
  SetBusy(true);
  log_->clear();
  stop_.store(false);
  ShowStatusText(QStringLiteral("正在恢复..."));
  RunRemote([this, jobs = std::move(jobs)](RemoteSession* session) {
    int code = session == nullptr ? 2 : 0;
    std::string summary;
    if (session != nullptr) {
      ForwardingStatus status([this, &summary](const std::string& line) {
        summary = line;
        Post([this, text = Utf8(line)] { AppendLog(text); });
      });
      const RestoreProgress progress = [this](const RestoreReport& r) {
        Post([this, files = r.files, bytes = r.bytes] {
          ShowStatusText(QStringLiteral("正在恢复... 已恢复 %1 个文件 (%2)").arg(files).arg(SizeText(bytes)));
        });
      };
      for (const RestoreJob& job : jobs) {
        code = std::max(code, RunRestore(session, job, &status, &stop_, progress).ExitCode());
        if (code == 2 || stop_.load()) break;
      }
    }
    Post([this, code, summary = Utf8(summary)] {
      SetBusy(false);
      const QString verdict = code == 0   ? QStringLiteral("恢复完成")
                              : code == 1 ? QStringLiteral("恢复结束，有文件未恢复或被跳过，详见下方记录")
                                          : QStringLiteral("无法连接服务器或连接中断，恢复未完成");
      ShowStatusText(summary.isEmpty() ? verdict : verdict + QStringLiteral("：") + summary);
      emit restoreFinished(code);
    });
  });
}

void RestoreWindow::SetBusy(bool busy) {
  busy_ = busy;
  here_button_->setEnabled(!busy);
  to_button_->setEnabled(!busy);
  overwrite_box_->setEnabled(!busy);
  if (busy) {
    progress_->setRange(0, 0);
  } else {
    progress_->setRange(0, 1);
    progress_->setValue(1);
  }
}

void RestoreWindow::Post(std::function<void()> fn) {
  QMetaObject::invokeMethod(this, std::move(fn), Qt::QueuedConnection);
}

void RestoreWindow::RunRemote(std::function<void(RemoteSession*)> task) {
  QMetaObject::invokeMethod(
      worker_context_,
      [this, task = std::move(task)] {
        if (stop_.load()) return;
        ForwardingStatus status([this](const std::string& line) {
          Post([this, text = Utf8(line)] {
            AppendLog(text);
            ShowStatusText(text);
          });
        });
        ForwardingUi ui([this](const std::string& line) {
                          Post([this, text = Utf8(line)] {
                            AppendLog(text);
                            ShowStatusText(text);
                          });
                        },
                        [this](const std::string& caption) { Post([this, text = Utf8(caption)] { setWindowTitle(text); }); },
                        [this] { Post([this] { reject(); }); });
        ClientSession session;
        if (!OpenCopySession(&session, settings_, options_.port, &ui, &status)) {
          task(nullptr);
          return;
        }
        task(session.connection());
        session.Disconnect();
      },
      Qt::QueuedConnection);
}

}  // namespace tervane
