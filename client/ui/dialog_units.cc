#include "client/ui/dialog_units.h"

#include <QFontMetrics>
#include <QString>
#include <cstdlib>

namespace tervane {

DialogBaseUnits BaseUnitsFor(const QFont& font) {
  const QFontMetrics metrics(font);
  const int extent = metrics.horizontalAdvance(
      QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
  DialogBaseUnits units;
  units.x = (extent / 26 + 1) / 2;
  units.y = metrics.height();
  if (units.x < 1) units.x = 1;
  if (units.y < 1) units.y = 1;
  return units;
}

int MulDivRound(int value, int numerator, int denominator) {
  const long long product = static_cast<long long>(value) * numerator;
  const long long magnitude = (std::llabs(product) * 2 + std::llabs(denominator)) /
                              (2 * std::llabs(static_cast<long long>(denominator)));
  const bool negative = (product < 0) != (denominator < 0);
  return static_cast<int>(negative ? -magnitude : magnitude);
}

QRect DluToPixels(const QRect& dlu, DialogBaseUnits units) {
  return QRect(MulDivRound(dlu.x(), units.x, 4), MulDivRound(dlu.y(), units.y, 8),
               MulDivRound(dlu.width(), units.x, 4), MulDivRound(dlu.height(), units.y, 8));
}

QSize DluToPixels(const QSize& dlu, DialogBaseUnits units) {
  return QSize(MulDivRound(dlu.width(), units.x, 4), MulDivRound(dlu.height(), units.y, 8));
}

}  // namespace tervane
