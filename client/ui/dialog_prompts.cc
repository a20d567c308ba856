#include "client/ui/dialog_prompts.h"

#include <QDir>
#include <QFileDialog>

namespace tervane {

void QtDialogPrompts::ShowMessage(QWidget* owner, const QString& caption, const QString& text,
                                  QMessageBox::Icon icon) {
  QMessageBox box(icon, caption, text, QMessageBox::Ok, owner);
  box.exec();
}

QString QtDialogPrompts::ChooseDirectory(QWidget* owner, const QString& title) {
  // Directories only; the path comes back in the platform's own separators.
  const QString chosen = QFileDialog::getExistingDirectory(
      owner, title, QDir::homePath(), QFileDialog::ShowDirsOnly);
  return chosen.isEmpty() ? QString() : QDir::toNativeSeparators(chosen);
}

}  // namespace tervane
