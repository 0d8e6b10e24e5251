#pragma once
// The Win32 toolkit for the dialog tests: dialogs built by Win32Dialog and
// opened modeless, and a driver that works their real controls with the
// messages a user's actions make (a click, a typed text, an arrow pressed,
// Esc through the dialog manager), then lets the dialog handle what they
// posted. The tests run under Wine with an X display (Xvfb).

#include <memory>
#include <string>
#include <vector>

#include "ui/dialog_driver.h"
#include "ui/win32/win32_dialog.h"

namespace veldar::testing {

class Win32DialogDriver : public DialogDriver {
 public:
  explicit Win32DialogDriver(std::unique_ptr<Win32Dialog> dialog) : dialog_(std::move(dialog)) {}
  Win32Dialog& dialog() { return *dialog_; }

  std::string Caption() override;
  std::string Text(int id) override { return dialog_->ItemText(id); }
  void Type(int id, const std::string& text) override;
  void Click(int id) override;
  bool Checked(int id) override { return dialog_->IsChecked(id); }
  bool Enabled(int id) override { return dialog_->IsEnabled(id); }
  bool IsDefault(int id) override;
  int Focused() override;
  void Menu(int id) override;
  void Step(int id, bool up) override;
  std::vector<std::string> Rows(int id) override;
  void SelectRow(int id, int row) override;
  void DoubleClickRow(int id, int row) override;
  int SelectedRow(int id) override { return dialog_->SelectedListRow(id); }
  void Escape() override;
  void CloseBox() override;
  bool IsOpen() override { return dialog_->open(); }
  int Result() override { return dialog_->result(); }

  // Presses F1 on the focused control (the system's WM_HELP).
  void HelpKey();

 private:
  // Handles what the last action posted, through the dialog manager.
  void Pump();
  std::unique_ptr<Win32Dialog> dialog_;
};

class Win32DialogToolkit : public DialogToolkit {
 public:
  std::string Name() const override { return "Win32"; }
  // Throws when the dialog cannot be created (no display: error 1400).
  std::unique_ptr<DialogDriver> Open(DialogLogic& logic, DialogWindow* owner) override;
  DialogWindow& Window(DialogDriver& driver) override;
  int RunWithProgress(DialogWindow& owner, const ProgressWork& work) override;
};

}  // namespace veldar::testing
