#include "client/ui/dialog_font.h"

#include <QFontDatabase>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QStringList>

namespace tervane {
namespace {

// Families known to carry the Chinese captions, best first. WenQuanYi Micro
// Hei is the one scripts/install-deps installs.
const char* const kPreferredFamilies[] = {
    "WenQuanYi Micro Hei", "Noto Sans CJK SC", "Source Han Sans SC", "Noto Sans SC",
    "Droid Sans Fallback", "AR PL UMing CN",   "WenQuanYi Zen Hei",
};

// A sample of the dialog's own captions: a family must draw all of them.
const char kSample[] = "设置待同步的目录可多设添加删除开始时间服务器地址自动手工就绪退出";

QFont AtDialogSize(const QString& family) {
  QFont font(family);
  font.setPointSize(kDialogFontPointSize);
  return font;
}

}  // namespace

bool FontCovers(const QFont& font, const QString& text) {
  const QFontMetrics metrics(font);
  for (const char32_t ch : text.toUcs4()) {
    if (!metrics.inFontUcs4(ch)) return false;
  }
  return true;
}

QFont PickDialogFont() {
  const QStringList families = QFontDatabase::families();
  const QString sample = QString::fromUtf8(kSample);
  for (const char* name : kPreferredFamilies) {
    const QString family = QString::fromUtf8(name);
    if (families.contains(family, Qt::CaseInsensitive) && FontCovers(AtDialogSize(family), sample)) {
      return AtDialogSize(family);
    }
  }
  for (const QString& family : QFontDatabase::families(QFontDatabase::SimplifiedChinese)) {
    if (FontCovers(AtDialogSize(family), sample)) return AtDialogSize(family);
  }
  QFont fallback = QGuiApplication::font();
  fallback.setPointSize(kDialogFontPointSize);
  return fallback;
}

}  // namespace tervane
