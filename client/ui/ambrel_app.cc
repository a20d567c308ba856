#include "client/ui/ambrel_app.h"

#include <QIcon>
#include <cstdio>
#include <cstdlib>
#include <utility>

#include "client/ui/dialog_font.h"

namespace tervane {

CAmbrelApp::CAmbrelApp(int& argc, char** argv) : QApplication(argc, argv) {
  setApplicationName(QStringLiteral("tervaneclt"));
  setApplicationDisplayName(QString::fromUtf8(kProgramName));
  setDesktopFileName(QStringLiteral("tervaneclt"));
}

int CAmbrelApp::InitInstance(DialogOptions options) {
  // Message boxes and the directory chooser use the application font, so
  // they get the Chinese-capable one too.
  setFont(PickDialogFont());
  setWindowIcon(QIcon(QStringLiteral(":/tervane/tervane.png")));

  int exit_code = 0;
  bool runs_ended = true;
  {
    CAmbrelDlg dialog(std::move(options));
    if (dialog.InitDialog() == CAmbrelDlg::InitResult::kAnotherCopyRunning) return 0;
    dialog.exec();
    if (dialog.requested_exit_code() >= 0) exit_code = dialog.requested_exit_code();
    runs_ended = dialog.WaitForRuns(kRunStopWaitMs);
    if (!runs_ended) {
      // The settings are saved; a run still in progress ends with the
      // process rather than keep a closed program alive.
      std::fflush(nullptr);
      std::_Exit(exit_code);
    }
  }
  return exit_code;
}

}  // namespace tervane
