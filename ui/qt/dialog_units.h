#pragma once
// Dialog units: the coordinates the dialog templates give every control in,
// turned into pixels for the font the dialog is shown with.
//
// One horizontal unit is a quarter of the font's average character width, one
// vertical unit an eighth of its height, the average width being taken over
// the 52 Latin letters and rounded, as Windows computes its dialog base units;
// pixel values are rounded to the nearest. The dialogs place every control
// with it, so their proportions follow the templates whatever the font.

#include <QFont>
#include <QRect>
#include <QSize>

namespace veldar {

class DialogUnits {
 public:
  explicit DialogUnits(const QFont& font);

  int X(int units) const;  // horizontal units to pixels
  int Y(int units) const;  // vertical units to pixels
  QRect Rect(int x, int y, int width, int height) const;
  QSize Size(int width, int height) const;

  int baseWidth() const { return baseWidth_; }
  int baseHeight() const { return baseHeight_; }

 private:
  int baseWidth_;
  int baseHeight_;
};

// The font the dialogs are shown in: Noto Sans CJK JP (Debian's
// fonts-noto-cjk), which holds the Japanese, the half-width katakana included,
// at `points` points.
QFont DialogFont(int points);

}  // namespace veldar
