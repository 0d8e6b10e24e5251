#include "ui/template_dialog.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>

namespace veldar {

TemplateDialog::TemplateDialog(QWidget* parent, const QString& caption, int points, int width,
                               int height, QMenuBar* menuBar)
    : QDialog(parent), units_(DialogFont(points)) {
  setFont(DialogFont(points));
  setWindowTitle(caption);
  // A modal frame: fixed size, a caption with a close box, no help button.
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowCloseButtonHint);

  client_ = new QWidget(this);
  client_->setFixedSize(units_.Size(width, height));
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  layout->setSizeConstraint(QLayout::SetFixedSize);
  if (menuBar) {
    menuBar->setParent(this);
    layout->setMenuBar(menuBar);
  }
  layout->addWidget(client_);
}

QWidget* TemplateDialog::GetDlgItem(int id) const { return controls_.value(id, nullptr); }

void TemplateDialog::setVisible(bool visible) {
  if (visible && !initialised_) {
    initialised_ = true;
    OnInitDialog();
  }
  QDialog::setVisible(visible);
}

void TemplateDialog::Register(int id, QWidget* control) {
  control->setObjectName(QString::number(id));
  if (id != 0) controls_.insert(id, control);
}

QPushButton* TemplateDialog::AddButton(int id, const QString& text, int x, int y, int w, int h,
                                       bool isDefault) {
  auto* button = new QPushButton(text, client_);
  button->setGeometry(units_.Rect(x, y, w, h));
  button->setDefault(isDefault);
  button->setAutoDefault(false);
  Register(id, button);
  return button;
}

QLineEdit* TemplateDialog::AddEdit(int id, int x, int y, int w, int h) {
  auto* edit = new QLineEdit(client_);
  edit->setGeometry(units_.Rect(x, y, w, h));
  Register(id, edit);
  return edit;
}

QCheckBox* TemplateDialog::AddCheck(int id, const QString& text, int x, int y, int w, int h) {
  auto* check = new QCheckBox(text, client_);
  QRect rect = units_.Rect(x, y, w, h);
  rect.setWidth(std::max(rect.width(), check->sizeHint().width()));
  check->setGeometry(rect);
  FitClient(rect);
  Register(id, check);
  return check;
}

void TemplateDialog::FitClient(const QRect& rect) {
  const int needed = rect.right() + 1 + units_.X(4);
  if (needed > client_->width()) client_->setFixedWidth(needed);
}

QLabel* TemplateDialog::AddLabel(const QString& text, int x, int y, int w, int h, Qt::Alignment alignment) {
  auto* label = new QLabel(text, client_);
  label->setTextFormat(Qt::PlainText);
  label->setAlignment(alignment | Qt::AlignTop);
  label->setMargin(0);
  label->setIndent(0);
  QRect rect = units_.Rect(x, y, w, h);
  const int needed = label->fontMetrics().horizontalAdvance(text) + 1;
  if (needed > rect.width() && !(alignment & Qt::AlignHCenter)) rect.setWidth(needed);
  label->setGeometry(rect);
  FitClient(rect);
  Register(0, label);
  return label;
}

}  // namespace veldar
