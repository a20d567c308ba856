// A picture of the restore window for the documentation, rendered by the
// program itself without a server (offscreen works): sample copies, one of
// them opened down to a folder of documents, two entries ticked.
#ifndef TERVANE_CLIENT_UI_RESTORE_WINDOW_SCREENSHOT_H_
#define TERVANE_CLIENT_UI_RESTORE_WINDOW_SCREENSHOT_H_

#include <QImage>
#include <QString>

namespace tervane {

// Needs a QApplication; touches no settings file and no server.
QImage RenderRestoreWindowImage();

// Writes RenderRestoreWindowImage() to `path` as PNG; false when it cannot.
bool RenderRestoreWindowScreenshot(const QString& path);

}  // namespace tervane

#endif  // TERVANE_CLIENT_UI_RESTORE_WINDOW_SCREENSHOT_H_
