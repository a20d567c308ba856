// The dialog program: runs the main dialog modally and returns the process
// exit code.
#ifndef TERVANE_CLIENT_UI_RUN_DIALOG_H_
#define TERVANE_CLIENT_UI_RUN_DIALOG_H_

namespace tervane {

int RunDialog(int argc, char** argv);

}  // namespace tervane

#endif  // TERVANE_CLIENT_UI_RUN_DIALOG_H_
