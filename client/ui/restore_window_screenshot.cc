#include "client/ui/restore_window_screenshot.h"

#include <QApplication>
#include <QTreeWidget>
#include <QTreeWidgetItem>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "client/app/copy_browser.h"
#include "client/ui/dialog_screenshot.h"
#include "client/ui/restore_window.h"
#include "shared/platform/filetime.h"

namespace tervane {
namespace {

CopyEntry Sample(const std::string& name, bool directory, uint64_t size = 0, time_t when = 0) {
  CopyEntry entry;
  entry.name = name;
  entry.remote_name = name;
  entry.is_directory = directory;
  entry.size = size;
  entry.last_write = FileTimeFromTimespec(timespec{when, 0});
  return entry;
}

void Open(RestoreWindow* window, const QString& remote, const std::vector<CopyEntry>& entries) {
  window->ShowDirectory(remote, entries);
  if (QTreeWidgetItem* item = window->ItemFor(remote)) item->setExpanded(true);
}

}  // namespace

QImage RenderRestoreWindowImage() {
  RestoreWindowOptions options;  // no settings: Start() is never called
  RestoreWindow window(options);
  window.ShowDays({"Mon", "Tue", "Wed", "Thu", "Fri"});
  const time_t friday = 1715331600;  // 2024-05-10, around noon
  Open(&window, QStringLiteral("Fri"), {Sample("home", true)});
  Open(&window, QStringLiteral("Fri\\home"), {Sample("ann", true)});
  Open(&window, QStringLiteral("Fri\\home\\ann"), {Sample("文档", true), Sample("项目 Files", true)});
  Open(&window, QStringLiteral("Fri\\home\\ann\\文档"),
       {Sample("照片", true), Sample("季度报告.docx", false, 48213, friday - 7200),
        Sample("会议纪要 2024-05.txt", false, 3120, friday - 90000),
        Sample("预算表.xlsx", false, 1310720, friday - 3600), Sample("合同: 草稿?.pdf", false, 254001, friday - 360000)});
  window.ItemFor(QStringLiteral("Fri\\home\\ann\\文档\\季度报告.docx"))->setCheckState(RestoreWindow::kNameColumn, Qt::Checked);
  window.ItemFor(QStringLiteral("Fri\\home\\ann\\文档\\照片"))->setCheckState(RestoreWindow::kNameColumn, Qt::Checked);
  window.ShowStatusText(QStringLiteral("勾选要恢复的文件或文件夹，然后选择恢复到哪里"));
  window.show();
  QApplication::processEvents();
  const QImage image = FramedWindowImage(&window);
  window.hide();
  return image;
}

bool RenderRestoreWindowScreenshot(const QString& path) {
  const QImage image = RenderRestoreWindowImage();
  if (image.isNull() || !image.save(path, "PNG")) {
    std::fprintf(stderr, "tervaneclt: cannot write the restore window's picture to %s\n",
                 path.toLocal8Bit().constData());
    return false;
  }
  return true;
}

}  // namespace tervane
