// Temporary until the dialog lands: the program only has its command-line modes.
#include "client/ui/run_dialog.h"

#include <cstdio>

namespace tervane {

int RunDialog(int, char**) {
  std::fputs("tervaneclt: the dialog is not built yet; use --sync\n", stderr);
  return 1;
}

}  // namespace tervane
