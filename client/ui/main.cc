// tervaneclt: the command-line modes (the headless run, --help, --version)
// are handled before anything of the dialog is touched, so that they work
// without a display.
#include "client/app/command_line.h"
#include "client/ui/run_dialog.h"

int main(int argc, char** argv) {
  int exit_code = 0;
  if (tervane::RunCommandLine(argc, argv, &exit_code)) return exit_code;
  return tervane::RunDialog(argc, argv);
}
