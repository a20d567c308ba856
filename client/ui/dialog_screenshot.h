// A picture of the main dialog for the documentation, rendered by the
// program itself (offscreen works): sample directories, time and address,
// under a plain title bar with the icon and the window title.
#ifndef TERVANE_CLIENT_UI_DIALOG_SCREENSHOT_H_
#define TERVANE_CLIENT_UI_DIALOG_SCREENSHOT_H_

#include <QImage>
#include <QString>

class QWidget;

namespace tervane {

// `window`'s client area (it must be shown) under a plain frame: a title
// bar with its icon and title, and a one-pixel border.
QImage FramedWindowImage(QWidget* window);

// Needs a QApplication. Touches no settings file of the user's and takes no
// single-instance marker.
QImage RenderDialogImage();

// Writes RenderDialogImage() to `path` as PNG; false when it cannot.
bool RenderDialogScreenshot(const QString& path);

}  // namespace tervane

#endif  // TERVANE_CLIENT_UI_DIALOG_SCREENSHOT_H_
