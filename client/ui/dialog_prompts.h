// The dialog's modal questions to the user, behind one seam: message boxes
// and the directory chooser. The program uses QtDialogPrompts; tests put in
// their own implementation that records and answers without a window.
#ifndef TERVANE_CLIENT_UI_DIALOG_PROMPTS_H_
#define TERVANE_CLIENT_UI_DIALOG_PROMPTS_H_

#include <QMessageBox>
#include <QString>

class QWidget;

namespace tervane {

// Called on the UI thread only (CAmbrelDlg moves calls from workers there).
class DialogPrompts {
 public:
  virtual ~DialogPrompts() = default;
  // A modal message box with an OK button, owned by `owner`.
  virtual void ShowMessage(QWidget* owner, const QString& caption, const QString& text,
                           QMessageBox::Icon icon) = 0;
  // A directory chooser owned by `owner`; the chosen directory's path, or an
  // empty string when the user cancelled.
  virtual QString ChooseDirectory(QWidget* owner, const QString& title) = 0;
};

class QtDialogPrompts : public DialogPrompts {
 public:
  void ShowMessage(QWidget* owner, const QString& caption, const QString& text,
                   QMessageBox::Icon icon) override;
  QString ChooseDirectory(QWidget* owner, const QString& title) override;
};

}  // namespace tervane

#endif  // TERVANE_CLIENT_UI_DIALOG_PROMPTS_H_
