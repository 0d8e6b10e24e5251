#include "ui/qt/dialog_units.h"

#include <QFontMetrics>

namespace veldar {
namespace {

// a * b / c rounded to the nearest, halves away from zero, for the small
// non-negative values of a layout.
int MulDiv(int a, int b, int c) {
  const long long product = static_cast<long long>(a) * b;
  return static_cast<int>(product >= 0 ? (product + c / 2) / c : (product - c / 2) / c);
}

}  // namespace

DialogUnits::DialogUnits(const QFont& font) {
  const QFontMetrics metrics(font);
  const int letters = metrics.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
  baseWidth_ = (letters / 26 + 1) / 2;
  baseHeight_ = metrics.height();
  if (baseWidth_ < 1) baseWidth_ = 1;
  if (baseHeight_ < 1) baseHeight_ = 1;
}

int DialogUnits::X(int units) const { return MulDiv(units, baseWidth_, 4); }
int DialogUnits::Y(int units) const { return MulDiv(units, baseHeight_, 8); }

QRect DialogUnits::Rect(int x, int y, int width, int height) const { return QRect(X(x), Y(y), X(width), Y(height)); }

QSize DialogUnits::Size(int width, int height) const { return QSize(X(width), Y(height)); }

QFont DialogFont(int points) {
  QFont font(QStringLiteral("Noto Sans CJK JP"), points);
  // Where the font is missing, another with Japanese glyphs stands in.
  font.setStyleHint(QFont::SansSerif);
  return font;
}

}  // namespace veldar
