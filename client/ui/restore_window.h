// The restore window: the weekday copies on the server as a tree, loaded
// directory by directory with each file's size, time and local name; the
// user ticks files and folders and restores them to where they were or to
// a chosen folder, and follows the progress and the result.
//
// The window lives on the UI thread. Everything that talks to the server
// runs on the window's one worker thread, in the order it was asked for,
// each task on a connection of its own that is closed when the task ends
// (so the window never holds the desk's account between tasks, and a
// backup can log in meanwhile). Results come back to the UI thread as
// queued calls.
#ifndef TERVANE_CLIENT_UI_RESTORE_WINDOW_H_
#define TERVANE_CLIENT_UI_RESTORE_WINDOW_H_

#include <QDialog>
#include <QHash>
#include <QString>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "client/app/copy_browser.h"
#include "client/app/restore_run.h"
#include "client/app/settings.h"
#include "shared/protocol/op_codes.h"

class QCheckBox;
class QLabel;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QThread;
class QTreeWidget;
class QTreeWidgetItem;

namespace tervane {

class DialogPrompts;
class QtDialogPrompts;

inline constexpr char kRestoreWindowTitle[] = "恢复文件";
inline constexpr char kRestoreHereText[] = "恢复到原位置";
inline constexpr char kRestoreToText[] = "恢复到...";
inline constexpr char kOverwriteText[] = "覆盖本地已有的文件";
inline constexpr char kChooseTargetTitle[] = "选择恢复到的文件夹";
inline constexpr char kNothingTickedText[] = "请先勾选要恢复的文件或文件夹";

struct RestoreWindowOptions {
  std::string settings_path;         // BK_CLIENT_CFG.ini: the server and the desk's account
  uint16_t port = kDefaultPort;
  DialogPrompts* prompts = nullptr;  // folder picker and messages; null: QtDialogPrompts
};

class RestoreWindow : public QDialog {
  Q_OBJECT

 public:
  // Tree columns.
  enum Column { kNameColumn = 0, kSizeColumn = 1, kTimeColumn = 2 };

  explicit RestoreWindow(RestoreWindowOptions options, QWidget* parent = nullptr);
  // Asks a restore in progress to stop after its current file and waits for
  // the worker; tasks not yet begun are dropped.
  ~RestoreWindow() override;

  // Loads the settings and asks the server for the weekday copies. False
  // (with the reason on the status line) when there are no settings.
  bool Start();

  // Puts the weekday copies in the tree as top-level folders.
  void ShowDays(const std::vector<std::string>& days);
  // Fills the folder of `remote_path` with its entries (files with size and
  // time), ticked when the folder is.
  void ShowDirectory(const QString& remote_path, const std::vector<CopyEntry>& entries);
  // The tree item of a loaded remote path, or null.
  QTreeWidgetItem* ItemFor(const QString& remote_path) const;
  // Sets the status line (UI thread).
  void ShowStatusText(const QString& text);

  QTreeWidget* tree() const { return tree_; }
  bool busy() const { return busy_; }

 public slots:
  void RestoreToOriginal();  // "恢复到原位置"
  void RestoreToFolder();    // "恢复到..."

 signals:
  // The entries of a folder (or the list of copies, remote path "") arrived.
  void directoryShown(const QString& remote_path);
  // A restore ended with this exit code (0 all restored, 1 some failed or
  // skipped, 2 no connection).
  void restoreFinished(int exit_code);

 private:
  void OnItemExpanded(QTreeWidgetItem* item);
  void StartRestore(const std::string& target_dir);
  std::vector<RestoreJob> TickedJobs(const std::string& target_dir) const;
  // Runs `task` on the worker with a logged-in connection; `task` gets null
  // when connecting or logging in failed (the reason is already shown).
  void RunRemote(std::function<void(RemoteSession*)> task);
  // From the worker: runs `fn` on the UI thread, later.
  void Post(std::function<void()> fn);
  void AppendLog(const QString& text);
  void SetBusy(bool busy);

  RestoreWindowOptions options_;
  std::unique_ptr<QtDialogPrompts> own_prompts_;
  DialogPrompts* prompts_ = nullptr;
  SyncSettings settings_;  // read by the worker only while no Start() runs

  QTreeWidget* tree_ = nullptr;
  QPushButton* here_button_ = nullptr;
  QPushButton* to_button_ = nullptr;
  QCheckBox* overwrite_box_ = nullptr;
  QProgressBar* progress_ = nullptr;
  QLabel* status_ = nullptr;
  QPlainTextEdit* log_ = nullptr;
  QHash<QString, QTreeWidgetItem*> items_;  // remote path -> item (UI thread)
  bool busy_ = false;

  std::atomic<bool> stop_{false};
  std::unique_ptr<QThread> worker_;
  QObject* worker_context_ = nullptr;  // lives on worker_; deleted after it ended
};

}  // namespace tervane

#endif  // TERVANE_CLIENT_UI_RESTORE_WINDOW_H_
