#include "ui/qt/qt_dialog.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QVBoxLayout>
#include <algorithm>

#include "ui/qt/desktop.h"
#include "ui/qt/translation.h"
#include "ui/qt/up_down.h"

namespace veldar {
namespace {

Qt::WindowFlags FlagsFor(DialogFrame frame) {
  switch (frame) {
    case DialogFrame::kMain:
      // A window of its own, on the task bar, that can be minimised.
      return Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
             Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint;
    case DialogFrame::kProgress:
    case DialogFrame::kModal:
      break;
  }
  // A modal frame: fixed size, a caption with a close box, no help button.
  return Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
         Qt::WindowCloseButtonHint;
}

// The template's menu bar. Help (F1) works wherever the focus is.
QMenuBar* MakeMenuBar(const std::vector<MenuTemplate>& menus) {
  auto* bar = new QMenuBar;
  bar->setNativeMenuBar(false);
  for (const MenuTemplate& menu : menus) {
    QMenu* popup = bar->addMenu(Tr(menu.text));
    for (const MenuItemTemplate& item : menu.items) {
      if (item.id == 0) {
        popup->addSeparator();
        continue;
      }
      QAction* action = popup->addAction(Tr(item.text));
      action->setData(item.id);
      if (item.id == ID_HELP) {
        action->setShortcut(QKeySequence::HelpContents);
        action->setShortcutContext(Qt::WindowShortcut);
      }
    }
  }
  return bar;
}

}  // namespace

QtDialog::QtDialog(DialogLogic& logic, QWidget* parent)
    : QDialog(parent), logic_(logic), units_(DialogFont(logic.Template().fontPoints)) {
  const DialogTemplate& dialog = logic.Template();
  setFont(DialogFont(dialog.fontPoints));
  setWindowTitle(Tr(dialog.caption));
  setWindowFlags(FlagsFor(dialog.frame));
  if (dialog.frame == DialogFrame::kMain) setWindowIcon(ProgramIcon());

  client_ = new QWidget(this);
  client_->setFixedSize(units_.Size(dialog.width, dialog.height));
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  layout->setSizeConstraint(QLayout::SetFixedSize);
  if (!dialog.menu.empty()) {
    QMenuBar* bar = MakeMenuBar(dialog.menu);
    bar->setParent(this);
    layout->setMenuBar(bar);
    for (QAction* action : bar->findChildren<QAction*>()) {
      const int id = action->data().toInt();
      if (id == 0) continue;
      addAction(action);  // so that its shortcut works wherever the focus is
      connect(action, &QAction::triggered, this, [this, id] { logic_.OnCommand(id); });
    }
  }
  layout->addWidget(client_);

  QWidget* previous = nullptr;
  for (const ControlTemplate& control : dialog.controls) previous = AddControl(control, previous);
  MakeRoomForLabels();
  logic_.Attach(this);
}

QtDialog::~QtDialog() { logic_.Attach(nullptr); }

QWidget* QtDialog::AddControl(const ControlTemplate& control, QWidget* previous) {
  const int id = control.id;
  QRect rect = units_.Rect(control.x, control.y, control.width, control.height);
  switch (control.kind) {
    case ControlKind::kButton:
    case ControlKind::kDefaultButton: {
      auto* button = new QPushButton(Tr(control.text), client_);
      // A text longer than the template's button (a translation) widens it.
      rect.setWidth(std::max(rect.width(), TextWidth(*button) + units_.X(6)));
      button->setGeometry(rect);
      FitClient(rect);
      button->setDefault(control.kind == ControlKind::kDefaultButton);
      button->setAutoDefault(false);
      connect(button, &QPushButton::clicked, this, [this, id] { logic_.OnCommand(id); });
      Register(id, button);
      return button;
    }
    case ControlKind::kEdit: {
      auto* edit = new QLineEdit(client_);
      edit->setGeometry(rect);
      if (control.flags & kRightAligned) edit->setAlignment(Qt::AlignRight);
      if (control.flags & kDigitsOnly) {
        // Digits only, as typed; the range is checked by the handlers.
        edit->setValidator(new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), edit));
      }
      connect(edit, &QLineEdit::textChanged, this, [this, id] { logic_.OnEditChange(id); });
      Register(id, edit);
      return edit;
    }
    case ControlKind::kCheckBox: {
      // A check box is given at least the width its text needs: the
      // templates were laid out for a narrower Japanese font, and such a
      // control has room to its right. Where even that room is too little,
      // the client area widens so that no text is cut.
      auto* check = new QCheckBox(Tr(control.text), client_);
      rect.setWidth(std::max(rect.width(), check->sizeHint().width()));
      check->setGeometry(rect);
      FitClient(rect);
      connect(check, &QCheckBox::clicked, this, [this, id] { logic_.OnCommand(id); });
      Register(id, check);
      return check;
    }
    case ControlKind::kLabel: {
      auto* label = new QLabel(Tr(control.text), client_);
      label->setTextFormat(Qt::PlainText);
      const Qt::Alignment alignment = control.flags & kCentred ? Qt::AlignHCenter : Qt::AlignLeft;
      label->setAlignment(alignment | Qt::AlignTop);
      label->setMargin(0);
      label->setIndent(0);
      // Like a check box, a static text is widened to its text (not when
      // centred: it is centred in its box).
      const int needed = label->fontMetrics().horizontalAdvance(label->text()) + 1;
      if (needed > rect.width() && !(alignment & Qt::AlignHCenter)) rect.setWidth(needed);
      label->setGeometry(rect);
      FitClient(rect);
      Register(id, label);
      return label;
    }
    case ControlKind::kListBox: {
      auto* list = new QListWidget(client_);
      list->setGeometry(rect);
      list->setSelectionMode(QAbstractItemView::SingleSelection);
      list->setSortingEnabled(false);
      connect(list, &QListWidget::itemDoubleClicked, this, [this, id] { logic_.OnDoubleClick(id); });
      Register(id, list);
      return list;
    }
    case ControlKind::kUpDown: {
      auto* spin = new CUpDownCtrl(qobject_cast<QLineEdit*>(previous), client_);
      spin->setGeometry(rect);
      Register(id, spin);
      return spin;
    }
    case ControlKind::kProgressBar: {
      auto* bar = new QProgressBar(client_);
      bar->setGeometry(rect);
      bar->setRange(0, 1000);
      bar->setTextVisible(false);
      Register(id, bar);
      return bar;
    }
    case ControlKind::kIcon: {
      // An icon control takes the icon's own size, 32 x 32 pixels.
      auto* icon = new QLabel(client_);
      icon->setPixmap(ProgramIcon().pixmap(32, 32));
      icon->setGeometry(rect.x(), rect.y(), 32, 32);
      Register(id, icon);
      return icon;
    }
  }
  return nullptr;
}

int QtDialog::TextWidth(const QAbstractButton& button) {
  QString text = button.text();
  text.remove(QRegularExpression(QStringLiteral("&(?!&)")));  // the mnemonic marks
  return button.fontMetrics().horizontalAdvance(text);
}

QRect QtDialog::TextExtent(const QLabel& label) {
  if (label.alignment() & Qt::AlignHCenter) return label.geometry();
  return QRect(label.pos(), QSize(label.fontMetrics().horizontalAdvance(label.text()), label.height()));
}

// A static text wider than its box in the dialog font would run under the
// control to its right on the same row (the templates were laid out for a
// narrower font). Those controls move right, as far as the text needs.
void QtDialog::MakeRoomForLabels() {
  const int gap = units_.X(2);
  for (QLabel* label : client_->findChildren<QLabel*>(Qt::FindDirectChildrenOnly)) {
    const QRect text = TextExtent(*label);
    std::vector<QWidget*> onRow;
    int shift = 0;
    for (QWidget* control : controls_) {
      if (qobject_cast<QLabel*>(control) || control->x() < text.x()) continue;
      const QRect rect = control->geometry();
      if (rect.top() > text.bottom() || rect.bottom() < text.top()) continue;
      onRow.push_back(control);
      shift = std::max(shift, text.right() + 1 + gap - rect.x());
    }
    if (shift <= 0) continue;
    for (QWidget* control : onRow) {
      control->move(control->x() + shift, control->y());
      FitClient(control->geometry());
    }
  }
}

void QtDialog::FitClient(const QRect& rect) {
  const int needed = rect.right() + 1 + units_.X(4);
  if (needed > client_->width()) client_->setFixedWidth(needed);
}

void QtDialog::Register(int id, QWidget* control) {
  control->setObjectName(QString::number(id));
  if (id != 0) controls_.insert(id, control);
}

QWidget* QtDialog::GetDlgItem(int id) const { return controls_.value(id, nullptr); }

QAction* QtDialog::MenuCommand(int id) const {
  for (QAction* action : findChildren<QAction*>()) {
    if (action->data().toInt() == id) return action;
  }
  return nullptr;
}

CUpDownCtrl* QtDialog::UpDown(int id) const { return dynamic_cast<CUpDownCtrl*>(GetDlgItem(id)); }

int QtDialog::DoModal() { return exec(); }

void QtDialog::setVisible(bool visible) {
  if (visible && !initialised_) {
    initialised_ = true;
    setResult(IDC_CANCEL);
    logic_.OnInitDialog();
  }
  QDialog::setVisible(visible);
}

void QtDialog::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (shown_) return;
  shown_ = true;
  logic_.OnShowWindow();
}

// Esc, and the close box through closeEvent, arrive here.
void QtDialog::reject() {
  if (isVisible()) logic_.OnCommand(IDC_CANCEL);
}

void QtDialog::closeEvent(QCloseEvent* event) {
  // Only the logic closes the dialog (by EndDialog).
  event->ignore();
  if (isVisible()) logic_.OnCommand(IDC_CANCEL);
}

void QtDialog::EndDialog(int result) { done(result); }

void QtDialog::BringBack() {
  setWindowState(windowState() & ~Qt::WindowMinimized);
  show();
  raise();
  activateWindow();
  QWidget* modal = QApplication::activeModalWidget();
  if (modal && modal != this) {
    modal->raise();
    modal->activateWindow();
  }
}

std::string QtDialog::ItemText(int id) const {
  QWidget* item = GetDlgItem(id);
  if (auto* edit = qobject_cast<QLineEdit*>(item)) return edit->text().toStdString();
  if (auto* button = qobject_cast<QAbstractButton*>(item)) return button->text().toStdString();
  if (auto* label = qobject_cast<QLabel*>(item)) return label->text().toStdString();
  return {};
}

void QtDialog::SetItemText(int id, const std::string& text) {
  QWidget* item = GetDlgItem(id);
  const QString value = QString::fromStdString(text);
  if (auto* edit = qobject_cast<QLineEdit*>(item)) {
    edit->setText(value);
  } else if (auto* button = qobject_cast<QAbstractButton*>(item)) {
    button->setText(value);
  } else if (auto* label = qobject_cast<QLabel*>(item)) {
    label->setText(value);
  }
}

bool QtDialog::IsChecked(int id) const {
  auto* check = qobject_cast<QCheckBox*>(GetDlgItem(id));
  return check && check->isChecked();
}

void QtDialog::SetChecked(int id, bool checked) {
  if (auto* check = qobject_cast<QCheckBox*>(GetDlgItem(id))) check->setChecked(checked);
}

bool QtDialog::IsEnabled(int id) const {
  QWidget* item = GetDlgItem(id);
  return item && item->isEnabled();
}

void QtDialog::EnableItem(int id, bool enable) {
  if (QWidget* item = GetDlgItem(id)) item->setEnabled(enable);
}

void QtDialog::FocusItem(int id) {
  QWidget* item = GetDlgItem(id);
  if (!item) return;
  item->setFocus();
  if (auto* edit = qobject_cast<QLineEdit*>(item)) edit->selectAll();
}

void QtDialog::AddListRow(int id, const std::string& row) {
  if (auto* list = qobject_cast<QListWidget*>(GetDlgItem(id))) list->addItem(QString::fromStdString(row));
}

void QtDialog::AddMarkedListRow(int id, const std::string& row, const std::string& mark) {
  if (auto* list = qobject_cast<QListWidget*>(GetDlgItem(id))) {
    list->addItem(QString::fromStdString(row) + QStringLiteral("   ") + Tr(mark));
  }
}

int QtDialog::SelectedListRow(int id) const {
  auto* list = qobject_cast<QListWidget*>(GetDlgItem(id));
  if (!list) return -1;
  const QList<QListWidgetItem*> selected = list->selectedItems();
  return selected.isEmpty() ? -1 : list->row(selected.constFirst());
}

void QtDialog::SelectListRow(int id, int row) {
  auto* list = qobject_cast<QListWidget*>(GetDlgItem(id));
  if (!list) return;
  if (row < 0 || row >= list->count()) {
    list->clearSelection();
    return;
  }
  list->setCurrentRow(row);
}

void QtDialog::SetUpDownRange(int id, int lower, int upper) {
  if (CUpDownCtrl* spin = UpDown(id)) spin->SetRange(lower, upper);
}

void QtDialog::SetUpDownPos(int id, int position) {
  if (CUpDownCtrl* spin = UpDown(id)) spin->SetPos(position);
}

QWidget* WidgetOf(DialogWindow* window) { return dynamic_cast<QtDialog*>(window); }

}  // namespace veldar
