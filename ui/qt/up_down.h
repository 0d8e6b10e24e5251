#pragma once
// CUpDownCtrl: a pair of arrow buttons that step a number in the edit beside
// it (its buddy), as the up-down control of the dialog templates does.
//
// The arrows (and the Up and Down keys in the buddy) read the buddy's number,
// step it by one within the range and write it back as plain digits; a buddy
// that does not hold a number in the range steps from the last position.

#include <QWidget>

class QLineEdit;
class QToolButton;

namespace veldar {

class CUpDownCtrl : public QWidget {
 public:
  CUpDownCtrl(QLineEdit* buddy, QWidget* parent);

  // The range, `lower` at the bottom arrow and `upper` at the top.
  void SetRange(int lower, int upper);
  int Lower() const { return lower_; }
  int Upper() const { return upper_; }
  // Moves to `position` (kept within the range) and writes it into the buddy.
  void SetPos(int position);
  int Pos() const { return position_; }
  // One step towards the upper end (`up`) or the lower one, as an arrow does.
  void Step(bool up);

  QToolButton* upButton() const { return up_; }
  QToolButton* downButton() const { return down_; }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  int Clamp(int value) const;

  QLineEdit* buddy_;
  QToolButton* up_;
  QToolButton* down_;
  int lower_ = 0;
  int upper_ = 100;
  int position_ = 0;
};

}  // namespace veldar
