// tervaneclt_headless: the client program's command-line modes (the
// headless backup, --help, --version) without the dialog, for builds that
// leave the dialog out. The robustness tests run tervaneclt itself when it
// was built.
#include "client/app/command_line.h"

int main(int argc, char** argv) {
  int exit_code = 2;
  tervane::RunCommandLine(argc, argv, &exit_code);
  return exit_code;
}
