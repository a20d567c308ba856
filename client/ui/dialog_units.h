// Dialog units: the dialog's layout is drawn in units of the dialog font, a
// quarter of its average character width across and an eighth of its height
// down, so the arrangement keeps its proportions whatever font and screen
// resolution the dialog finally gets.
#ifndef TERVANE_CLIENT_UI_DIALOG_UNITS_H_
#define TERVANE_CLIENT_UI_DIALOG_UNITS_H_

#include <QFont>
#include <QRect>
#include <QSize>

namespace tervane {

// The font's base units in pixels: x is the average width of the 52 Latin
// letters, rounded the classic way ((extent / 26 + 1) / 2); y is the font's
// line height. Both are at least 1.
struct DialogBaseUnits {
  int x = 1;
  int y = 1;
};

DialogBaseUnits BaseUnitsFor(const QFont& font);

// value * numerator / denominator, rounded half away from zero (how the
// dialog manager maps its units); denominator must not be 0.
int MulDivRound(int value, int numerator, int denominator);

// Each of x, y, width and height is mapped on its own, as the dialog manager
// does for every control of a template.
QRect DluToPixels(const QRect& dlu, DialogBaseUnits units);
QSize DluToPixels(const QSize& dlu, DialogBaseUnits units);

}  // namespace tervane

#endif  // TERVANE_CLIENT_UI_DIALOG_UNITS_H_
