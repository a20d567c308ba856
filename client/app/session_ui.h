// What the client session needs from whoever shows it to the user: the
// dialog implements it with message boxes and its window caption, the
// headless mode with lines on standard error.
#ifndef TERVANE_CLIENT_APP_SESSION_UI_H_
#define TERVANE_CLIENT_APP_SESSION_UI_H_

#include <string>

namespace tervane {

// Called on the thread that runs the session (the UI thread or a sync
// worker); implementations that must act on their own UI thread hand the
// call over and wait for it. Texts are UTF-8.
class SessionUi {
 public:
  virtual ~SessionUi() = default;

  // A message for the user (an information box over the dialog). Returns
  // when the user has taken note of it.
  virtual void ShowMessage(const std::string& caption, const std::string& text) = 0;

  // Replaces the main window's caption.
  virtual void SetCaption(const std::string& caption) = 0;

  // Asked to end the whole process with `code` (after the login that follows
  // a registration failed). The dialog ends the process; an implementation
  // may instead return (tests, the headless mode), and the caller then treats
  // the login as failed.
  virtual void ExitProcess(int code) = 0;
};

}  // namespace tervane

#endif  // TERVANE_CLIENT_APP_SESSION_UI_H_
