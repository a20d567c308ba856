// The dialog program: runs the main dialog modally and returns the process
// exit code. Takes --settings FILE and --port N (see client/app/command_line.h);
// with --screenshot FILE it renders the dialog, filled with sample values,
// into a PNG file instead and shows nothing. With --restore-window it runs
// the restore window instead (and --screenshot renders that).
#ifndef TERVANE_CLIENT_UI_RUN_DIALOG_H_
#define TERVANE_CLIENT_UI_RUN_DIALOG_H_

namespace tervane {

int RunDialog(int argc, char** argv);

}  // namespace tervane

#endif  // TERVANE_CLIENT_UI_RUN_DIALOG_H_
