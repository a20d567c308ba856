#include "client/ui/run_dialog.h"

#include <QIcon>
#include <QString>
#include <cstdio>
#include <utility>

#include "client/app/command_line.h"
#include "client/app/user_timer.h"
#include "client/ui/ambrel_app.h"
#include "client/ui/dialog_font.h"
#include "client/ui/dialog_screenshot.h"
#include "client/ui/restore_window.h"
#include "client/ui/restore_window_screenshot.h"

namespace tervane {

int RunDialog(int argc, char** argv) {
  CommandLineOptions parsed;
  if (!ParseCommandLine(argc, argv, &parsed)) {
    std::fprintf(stderr, "tervaneclt: %s\n%s", parsed.error.c_str(), UsageText().c_str());
    return 2;
  }
  CAmbrelApp app(argc, argv);
  if (parsed.restore_window) {
    app.setFont(PickDialogFont());
    app.setWindowIcon(QIcon(QStringLiteral(":/tervane/tervane.png")));
    if (!parsed.screenshot_path.empty()) {
      return RenderRestoreWindowScreenshot(QString::fromStdString(parsed.screenshot_path)) ? 0 : 1;
    }
    RestoreWindowOptions window_options;
    window_options.settings_path = parsed.settings_path;
    window_options.port = parsed.port;
    RestoreWindow window(window_options);
    window.Start();
    window.exec();
    return 0;
  }
  if (!parsed.screenshot_path.empty()) {
    return RenderDialogScreenshot(QString::fromStdString(parsed.screenshot_path)) ? 0 : 1;
  }
  DialogOptions options;
  options.settings_path = parsed.settings_path;
  options.port = parsed.port;
  options.user_unit_folder = DefaultUserUnitFolder();
  return app.InitInstance(std::move(options));
}

}  // namespace tervane
