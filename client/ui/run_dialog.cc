#include "client/ui/run_dialog.h"

#include <QString>
#include <cstdio>
#include <utility>

#include "client/app/command_line.h"
#include "client/app/user_timer.h"
#include "client/ui/ambrel_app.h"
#include "client/ui/dialog_screenshot.h"

namespace tervane {

int RunDialog(int argc, char** argv) {
  CommandLineOptions parsed;
  if (!ParseCommandLine(argc, argv, &parsed)) {
    std::fprintf(stderr, "tervaneclt: %s\n%s", parsed.error.c_str(), UsageText().c_str());
    return 2;
  }
  CAmbrelApp app(argc, argv);
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
