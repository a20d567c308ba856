// CAmbrelApp, the client's application object: its one job is to run the
// main dialog modally; the program ends when the dialog does.
#ifndef TERVANE_CLIENT_UI_AMBREL_APP_H_
#define TERVANE_CLIENT_UI_AMBREL_APP_H_

#include <QApplication>

#include "client/ui/ambrel_dlg.h"

namespace tervane {

// How long a closing dialog waits for a run to stop after its current file
// before the process ends with the run still going.
inline constexpr int kRunStopWaitMs = 3000;

class CAmbrelApp : public QApplication {
  Q_OBJECT

 public:
  // `argc` must outlive the application, as QApplication requires.
  CAmbrelApp(int& argc, char** argv);

  // Sets the application font (one that shows the Chinese texts) and icon,
  // runs the dialog modally and returns the process's exit code: 0 for a
  // second copy that found a running one, or when the dialog was closed;
  // the code of a SessionUi::ExitProcess request.
  int InitInstance(DialogOptions options);
};

}  // namespace tervane

#endif  // TERVANE_CLIENT_UI_AMBREL_APP_H_
