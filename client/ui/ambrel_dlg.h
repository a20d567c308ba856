// CAmbrelDlg, the client's main dialog (template 102): the directories to
// back up, the daily start time and the server address; manual runs,
// arming of the daily trigger, and the status line every run reports on.
//
// The dialog lives on the UI thread. Runs go to worker threads; what they
// show (status lines, message boxes, the caption) is handed to the UI
// thread, and the worker waits until the UI thread has done it.
#ifndef TERVANE_CLIENT_UI_AMBREL_DLG_H_
#define TERVANE_CLIENT_UI_AMBREL_DLG_H_

#include <QDateTime>
#include <QDialog>
#include <QIcon>
#include <QString>
#include <QTimer>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "client/app/client_session.h"
#include "client/app/run_recorder.h"
#include "client/app/session_ui.h"
#include "client/app/settings.h"
#include "client/app/sync_engine.h"
#include "client/app/user_timer.h"
#include "client/net/status_sink.h"
#include "client/ui/dialog_prompts.h"
#include "client/ui/dialog_units.h"
#include "client/ui/instance_lock.h"
#include "client/ui/start_window.h"
#include "shared/platform/mutex.h"

class QGroupBox;
class QLabel;
class QListWidget;
class QPushButton;
class QTimeEdit;

namespace tervane {

class Ipv4Edit;
class RunWorkers;

inline constexpr int kAutoSyncTimerId = 22;
inline constexpr int kAutoSyncPeriodMs = 1000;
inline constexpr char kUnconfiguredText[] = "请先进行环境配置，然后退出重新启动";
inline constexpr char kUnconfiguredCaption[] = "[Ostrova]--请先进行环境配置，然后退出重新启动";
inline constexpr char kNoDirectoryText[] = "请选择待备份的目录";
inline constexpr char kChooseDirectoryTitle[] = "选择待备份的目录";
inline constexpr char kReadyText[] = "就绪";
// Refusals of the add button, for directories the settings file could not
// give back unchanged.
inline constexpr char kUnstorableDirectoryText[] = "该目录名含有“|”或换行符，无法保存到配置文件";
inline constexpr char kDirectoryListFullText[] = "待同步的目录过多，配置文件已无法全部保存";

// How the dialog is put together; the defaults are the program's own.
struct DialogOptions {
  std::string settings_path;        // BK_CLIENT_CFG.ini to load and save (required)
  uint16_t port = kDefaultPort;     // the server's port for runs
  bool single_instance = true;      // take the "CLIENT_EVENT" marker
  QString lock_directory;           // where the marker lives; empty: the runtime directory
  DialogPrompts* prompts = nullptr;  // message boxes and chooser; null: QtDialogPrompts
  // The local date and time; null: QDateTime::currentDateTime.
  std::function<QDateTime()> clock;
  // Starts one run with `job`, without waiting for it; null: a worker
  // thread that runs the sync engine (whose run lock drops a second run).
  std::function<void(const SyncJob&)> start_run;
  // The user's systemd folder: saving the settings moves the daily timer's
  // drop-in there to the new start time (user_timer.h). Empty: left alone.
  std::string user_unit_folder;
  // Reaches the user manager for that; null: systemctl --user.
  UserManager user_manager;
};

class CAmbrelDlg : public QDialog, public StatusSink, public SessionUi {
  Q_OBJECT

 public:
  enum class InitResult {
    kReady,               // settings loaded, marker taken
    kUnconfigured,        // no settings file: run buttons disabled
    kAnotherCopyRunning,  // a configured copy holds the marker: end with 0, show nothing
  };

  explicit CAmbrelDlg(DialogOptions options, QWidget* parent = nullptr);
  // Asks a run in progress to stop and waits for every worker thread.
  ~CAmbrelDlg() override;

  // The dialog's initialisation, before it is shown: loads the settings (or
  // enters the unconfigured state, with its message box) and takes the
  // single-instance marker. Call once.
  InitResult InitDialog();

  // StatusSink: makes `utf8` the status line's text and writes it to the
  // debug output. Any thread; a worker waits until the UI thread took it.
  void ShowStatus(const std::string& utf8) override;
  void ShowStatus(const QString& text);

  // SessionUi, for the session of a run: any thread, performed on the UI
  // thread while the caller waits. ExitProcess ends the dialog (settings are
  // saved) with `code` as the program's exit code.
  void ShowMessage(const std::string& caption, const std::string& text) override;
  void SetCaption(const std::string& caption) override;
  void ExitProcess(int code) override;

  // The exit code asked for by ExitProcess, or -1.
  int requested_exit_code() const { return requested_exit_code_; }

  // Runs started by this dialog that have not ended yet (default starter).
  bool RunInProgress() const;
  // Asks a run in progress to stop after its current file, then waits up to
  // `timeout_ms` for every worker to end, keeping the UI thread's events
  // flowing so that a worker's hand-over does not stall. True when none is
  // left.
  bool WaitForRuns(int timeout_ms);

  // The pixel size of the client area and the base units it was laid out with.
  DialogBaseUnits base_units() const { return units_; }
  bool armed() const { return timer_.isActive(); }
  int timer_interval() const { return timer_.interval(); }
  bool settings_saved_on_close() const { return ended_; }

  // The handlers, reachable for tests as the buttons and the timer reach them.
 public slots:
  void OnManualSync();    // 1001
  void OnAutoSync();      // 1002
  void OnAddDirectory();  // 1009
  void OnRemoveDirectory();  // 1010
  void OnTimerTick();

 signals:
  // Emitted on the UI thread each time the status line takes a new text.
  void statusShown(const QString& text);

 public:
  // Ends the dialog however it was asked to (button 2, Esc, close box):
  // stops the timer, reads the controls and saves the settings, once.
  void done(int result) override;

 private:
  void BuildControls();
  // The dialog's members from the controls, and back.
  void ReadControls();
  void WriteControls();
  void SaveCurrentSettings();
  std::vector<std::string> ListEntries() const;
  // `automatic`: started by the daily trigger, so a server that cannot be
  // reached is tried again; a manual run reports at once.
  SyncJob MakeJob(bool automatic) const;
  void StartRun(const SyncJob& job);
  void Warn(const QString& text);
  // Runs `fn` on the UI thread: at once when called there, otherwise queued
  // while the caller waits. Returns false (without running it) when the
  // dialog is closing.
  bool RunOnUiThread(std::function<void()> fn);

  DialogOptions options_;
  std::unique_ptr<QtDialogPrompts> own_prompts_;
  DialogPrompts* prompts_ = nullptr;
  DialogBaseUnits units_;
  QIcon icon_;

  // The dialog's values as the controls last gave them (UI thread only).
  std::vector<std::string> directories_;  // the list of the last run or arming
  QDateTime start_time_;                  // only hour, minute and second count
  uint32_t server_address_ = 0;           // IPv4, host byte order
  std::string user_;                      // USER as the settings file held it; kept on save

  QListWidget* list_ = nullptr;  // 1012
  QTimeEdit* time_edit_ = nullptr;  // 1013
  Ipv4Edit* address_edit_ = nullptr;  // 1014
  QPushButton* manual_button_ = nullptr;  // 1001
  QPushButton* auto_button_ = nullptr;  // 1002
  QLabel* status_ = nullptr;  // 1006

  QTimer timer_;  // AUTO_SYNC_TIMER
  StartWindowTrigger trigger_;
  std::unique_ptr<InstanceLock> instance_lock_;
  bool ended_ = false;
  int requested_exit_code_ = -1;

  // Hand-over from workers: each call has a ticket; its caller waits on the
  // condition until the ticket is among the finished ones or the dialog
  // began closing. `closing_` is also read without the lock, to refuse new
  // calls early, and set under it, so that no waiter misses it.
  Mutex ui_call_mutex_;
  CondVar ui_call_cv_{&ui_call_mutex_};
  uint64_t ui_call_tickets_ GUARDED_BY(ui_call_mutex_) = 0;
  std::set<uint64_t> ui_calls_done_ GUARDED_BY(ui_call_mutex_);
  std::atomic<bool> closing_{false};

  // Declared last: destroyed first, after every worker that uses them ended.
  ClientSession session_;
  RunRecorder recorder_{this};  // between the engine and this status line: keeps each run's record
  SyncEngine engine_;
  std::unique_ptr<RunWorkers> workers_;
};

}  // namespace tervane

#endif  // TERVANE_CLIENT_UI_AMBREL_DLG_H_
