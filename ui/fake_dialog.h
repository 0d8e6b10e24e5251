#pragma once
// FakeDialogWindow: a dialog's controls in memory, built from its template,
// for tests of the handlers without a toolkit. It behaves as the toolkits do
// where the handlers can tell: setting an edit's text reports a change, an
// up-down writes its position into its buddy, a disabled control takes no
// click, Esc and the close box arrive as Cancel.

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "ui/dialog_driver.h"

namespace veldar::testing {

class FakeDialogWindow : public DialogWindow {
 public:
  FakeDialogWindow(DialogLogic& logic, DialogWindow* owner);
  ~FakeDialogWindow() override;

  std::string ItemText(int id) const override;
  void SetItemText(int id, const std::string& text) override;
  bool IsChecked(int id) const override;
  void SetChecked(int id, bool checked) override;
  bool IsEnabled(int id) const override;
  void EnableItem(int id, bool enable) override;
  void FocusItem(int id) override;
  void AddListRow(int id, const std::string& row) override;
  void AddMarkedListRow(int id, const std::string& row, const std::string& mark) override;
  int SelectedListRow(int id) const override;
  void SelectListRow(int id, int row) override;
  void SetUpDownRange(int id, int lower, int upper) override;
  void SetUpDownPos(int id, int position) override;
  void EndDialog(int result) override;

  struct Control {
    const ControlTemplate* source = nullptr;
    std::string text;
    bool checked = false, enabled = true;
    std::vector<std::string> rows;
    int selected = -1;
    int lower = 0, upper = 100, position = 0;
  };
  Control* Find(int id);
  const Control* Find(int id) const;
  // The edit an up-down control `id` is bound to: the control before it.
  int BuddyOf(int id) const;

  DialogLogic& logic;
  DialogWindow* owner;
  std::vector<Control> controls;  // template order
  int focused = 0;
  bool open = true;
  int result = 0;
};

// The fake's driver: plays the user on a FakeDialogWindow.
class FakeDialogDriver : public DialogDriver {
 public:
  explicit FakeDialogDriver(std::unique_ptr<FakeDialogWindow> window) : window_(std::move(window)) {}
  FakeDialogWindow& window() { return *window_; }

  std::string Caption() override;
  std::string Text(int id) override { return window_->ItemText(id); }
  void Type(int id, const std::string& text) override;
  void Click(int id) override;
  bool Checked(int id) override { return window_->IsChecked(id); }
  bool Enabled(int id) override { return window_->IsEnabled(id); }
  bool IsDefault(int id) override;
  int Focused() override { return window_->focused; }
  void Menu(int id) override;
  void Step(int id, bool up) override;
  std::vector<std::string> Rows(int id) override;
  void SelectRow(int id, int row) override { window_->SelectListRow(id, row); }
  void DoubleClickRow(int id, int row) override;
  int SelectedRow(int id) override { return window_->SelectedListRow(id); }
  void Escape() override { Command(IDC_CANCEL); }
  void CloseBox() override { Command(IDC_CANCEL); }
  bool IsOpen() override { return window_->open; }
  int Result() override { return window_->result; }

 private:
  void Command(int id);
  std::unique_ptr<FakeDialogWindow> window_;
};

// The fake toolkit: dialogs in memory; a run goes to a worker thread, with a
// progress of its own, and is waited for.
class FakeDialogToolkit : public DialogToolkit {
 public:
  std::string Name() const override { return "Fake"; }
  std::unique_ptr<DialogDriver> Open(DialogLogic& logic, DialogWindow* owner) override;
  DialogWindow& Window(DialogDriver& driver) override;
  int RunWithProgress(DialogWindow& owner, const ProgressWork& work) override;
};

}  // namespace veldar::testing
