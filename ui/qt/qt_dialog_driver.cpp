// The Qt toolkit for the handlers' tests: dialogs drawn by QtDialog, shown
// without waiting, and driven through their widgets as a user would.

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QListWidget>
#include <QPushButton>
#include <QTest>
#include <QToolButton>

#include "ui/fake_dialog.h"
#include "ui/qt/progress_window.h"
#include "ui/qt/qt_dialog.h"
#include "ui/qt/ui_test_util.h"
#include "ui/qt/up_down.h"

namespace veldar::testing {
namespace {

class QtDialogDriver : public DialogDriver {
 public:
  QtDialogDriver(DialogLogic& logic, DialogWindow* owner)
      : dialog_(std::make_unique<QtDialog>(logic, WidgetOf(owner))) {
    dialog_->show();
  }
  QtDialog& dialog() { return *dialog_; }

  std::string Caption() override { return dialog_->windowTitle().toStdString(); }
  std::string Text(int id) override { return dialog_->ItemText(id); }
  void Type(int id, const std::string& text) override {
    if (QWidget* item = dialog_->GetDlgItem(id)) item->setFocus();
    dialog_->SetItemText(id, text);
  }
  void Click(int id) override {
    if (auto* button = qobject_cast<QAbstractButton*>(dialog_->GetDlgItem(id))) button->click();
  }
  bool Checked(int id) override { return dialog_->IsChecked(id); }
  bool Enabled(int id) override { return dialog_->IsEnabled(id); }
  bool IsDefault(int id) override {
    auto* button = qobject_cast<QPushButton*>(dialog_->GetDlgItem(id));
    return button && button->isDefault();
  }
  int Focused() override {
    QWidget* focus = dialog_->focusWidget();
    return focus ? focus->objectName().toInt() : 0;
  }
  void Menu(int id) override {
    if (QAction* action = dialog_->MenuCommand(id)) action->trigger();
  }
  void Step(int id, bool up) override {
    if (CUpDownCtrl* spin = dialog_->UpDown(id)) (up ? spin->upButton() : spin->downButton())->click();
  }
  std::vector<std::string> Rows(int id) override {
    std::vector<std::string> rows;
    if (auto* list = qobject_cast<QListWidget*>(dialog_->GetDlgItem(id))) {
      for (int i = 0; i < list->count(); ++i) rows.push_back(list->item(i)->text().toStdString());
    }
    return rows;
  }
  void SelectRow(int id, int row) override { dialog_->SelectListRow(id, row); }
  void DoubleClickRow(int id, int row) override {
    auto* list = qobject_cast<QListWidget*>(dialog_->GetDlgItem(id));
    QListWidgetItem* item = list ? list->item(row) : nullptr;
    if (!item) return;
    // A view takes a double click only on the row its press went to.
    const QPoint centre = list->visualItemRect(item).center();
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, centre);
    QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, centre);
  }
  int SelectedRow(int id) override { return dialog_->SelectedListRow(id); }
  void Escape() override { QTest::keyClick(dialog_.get(), Qt::Key_Escape); }
  void CloseBox() override { dialog_->close(); }
  bool IsOpen() override { return dialog_->isVisible(); }
  int Result() override { return dialog_->result(); }

 private:
  std::unique_ptr<QtDialog> dialog_;
};

class QtDialogToolkit : public DialogToolkit {
 public:
  std::string Name() const override { return "Qt"; }
  std::unique_ptr<DialogDriver> Open(DialogLogic& logic, DialogWindow* owner) override {
    EnsureApplication();
    return std::make_unique<QtDialogDriver>(logic, owner);
  }
  DialogWindow& Window(DialogDriver& driver) override { return static_cast<QtDialogDriver&>(driver).dialog(); }
  int RunWithProgress(DialogWindow& owner, const ProgressWork& work) override {
    return veldar::RunWithProgress(WidgetOf(&owner), work);
  }
};

}  // namespace

std::vector<std::shared_ptr<DialogToolkit>> DialogToolkits() {
  return {std::make_shared<FakeDialogToolkit>(), std::make_shared<QtDialogToolkit>()};
}

}  // namespace veldar::testing
