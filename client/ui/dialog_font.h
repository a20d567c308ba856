// The dialog font: 9 points like the template's, in a family that carries
// the Chinese captions. Without such a family every caption would render as
// empty boxes, so the choice prefers installed CJK families by name and then
// any family the font database lists for Simplified Chinese.
#ifndef TERVANE_CLIENT_UI_DIALOG_FONT_H_
#define TERVANE_CLIENT_UI_DIALOG_FONT_H_

#include <QFont>
#include <QString>

namespace tervane {

inline constexpr int kDialogFontPointSize = 9;

// Needs a QGuiApplication. Falls back to the application font (at 9 points)
// when no Chinese-capable family is installed.
QFont PickDialogFont();

// True when `font` has a glyph for every character of `text`.
bool FontCovers(const QFont& font, const QString& text);

}  // namespace tervane

#endif  // TERVANE_CLIENT_UI_DIALOG_FONT_H_
