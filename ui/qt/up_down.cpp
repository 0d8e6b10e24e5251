#include "ui/qt/up_down.h"

#include <QKeyEvent>
#include <QLineEdit>
#include <QToolButton>
#include <algorithm>

namespace veldar {

CUpDownCtrl::CUpDownCtrl(QLineEdit* buddy, QWidget* parent) : QWidget(parent), buddy_(buddy) {
  up_ = new QToolButton(this);
  down_ = new QToolButton(this);
  for (QToolButton* button : {up_, down_}) {
    button->setArrowType(button == up_ ? Qt::UpArrow : Qt::DownArrow);
    button->setAutoRepeat(true);
    button->setFocusPolicy(Qt::NoFocus);
    button->setIconSize(QSize(6, 6));
  }
  connect(up_, &QToolButton::clicked, this, [this] { Step(true); });
  connect(down_, &QToolButton::clicked, this, [this] { Step(false); });
  setFocusPolicy(Qt::NoFocus);
  if (buddy_) buddy_->installEventFilter(this);
}

void CUpDownCtrl::SetRange(int lower, int upper) {
  lower_ = lower;
  upper_ = upper;
  position_ = Clamp(position_);
}

int CUpDownCtrl::Clamp(int value) const {
  return std::clamp(value, std::min(lower_, upper_), std::max(lower_, upper_));
}

void CUpDownCtrl::SetPos(int position) {
  position_ = Clamp(position);
  if (buddy_) buddy_->setText(QString::number(position_));
}

void CUpDownCtrl::Step(bool up) {
  int current = position_;
  if (buddy_) {
    bool ok = false;
    const int typed = buddy_->text().trimmed().toInt(&ok);
    if (ok && typed == Clamp(typed)) current = typed;
  }
  const int direction = (upper_ >= lower_) == up ? 1 : -1;
  SetPos(current + direction);
}

bool CUpDownCtrl::eventFilter(QObject* watched, QEvent* event) {
  if (watched == buddy_ && event->type() == QEvent::KeyPress && isEnabled()) {
    const int key = static_cast<QKeyEvent*>(event)->key();
    if (key == Qt::Key_Up || key == Qt::Key_Down) {
      Step(key == Qt::Key_Up);
      return true;
    }
  }
  return QWidget::eventFilter(watched, event);
}

void CUpDownCtrl::resizeEvent(QResizeEvent*) {
  const int half = height() / 2;
  up_->setGeometry(0, 0, width(), half);
  down_->setGeometry(0, half, width(), height() - half);
}

}  // namespace veldar
