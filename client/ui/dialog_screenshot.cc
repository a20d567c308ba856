#include "client/ui/dialog_screenshot.h"

#include <QApplication>
#include <QDateTime>
#include <QDir>
#include <QFont>
#include <QIcon>
#include <QPainter>
#include <QPixmap>
#include <QTemporaryDir>
#include <cstdio>

#include "client/app/settings.h"
#include "client/ui/ambrel_dlg.h"
#include "client/ui/dialog_template.h"

namespace tervane {
namespace {

// Answers without a window: the picture must not wait for a user.
class SilentPrompts : public DialogPrompts {
 public:
  void ShowMessage(QWidget*, const QString&, const QString&, QMessageBox::Icon) override {}
  QString ChooseDirectory(QWidget*, const QString&) override { return QString(); }
};

}  // namespace

QImage RenderDialogImage() {
  QTemporaryDir scratch;
  if (!scratch.isValid()) return QImage();
  const std::string settings_path =
      QDir(scratch.path()).filePath(QString::fromLatin1(kSettingsFileName)).toStdString();
  SyncSettings sample;
  sample.server_address = (192u << 24) | (168u << 16) | (1u << 8) | 20u;
  sample.start_time = StartTime{2024, 5, 6, 12, 30, 0};
  sample.directories = {"/home/ann/文档", "/home/ann/项目 Files", "/srv/data"};
  if (SaveSettings(settings_path, sample) != 0) return QImage();

  SilentPrompts prompts;
  DialogOptions options;
  options.settings_path = settings_path;
  options.single_instance = false;
  options.prompts = &prompts;
  options.clock = [] { return QDateTime(QDate(2024, 5, 6), QTime(9, 0, 0)); };
  options.start_run = [](const SyncJob&) {};
  CAmbrelDlg dialog(options);
  dialog.InitDialog();
  dialog.show();
  QApplication::processEvents();
  const QImage image = FramedWindowImage(&dialog);
  // The dialog ends without saving into the scratch directory's file again.
  dialog.hide();
  return image;
}

QImage FramedWindowImage(QWidget* window) {
  const QPixmap client = window->grab();
  const int title_height = window->fontMetrics().height() + 12;
  QImage image(client.width() + 2, client.height() + title_height + 1, QImage::Format_ARGB32);
  image.fill(QColor(0x3c, 0x4a, 0x5c));
  QPainter painter(&image);
  const int icon_size = title_height - 8;
  window->windowIcon().paint(&painter, QRect(6, 4, icon_size, icon_size));
  QFont title_font = window->font();
  title_font.setBold(true);
  painter.setFont(title_font);
  painter.setPen(Qt::white);
  painter.drawText(QRect(icon_size + 12, 0, image.width() - icon_size - 12, title_height),
                   Qt::AlignVCenter | Qt::AlignLeft, window->windowTitle());
  painter.drawPixmap(1, title_height, client);
  painter.end();
  return image;
}

bool RenderDialogScreenshot(const QString& path) {
  const QImage image = RenderDialogImage();
  if (image.isNull() || !image.save(path, "PNG")) {
    std::fprintf(stderr, "tervaneclt: cannot write the dialog picture to %s\n",
                 path.toLocal8Bit().constData());
    return false;
  }
  return true;
}

}  // namespace tervane
