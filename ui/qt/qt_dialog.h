#pragma once
// QtDialog: a dialog drawn by Qt Widgets from its template (dialog_template.h)
// and run by its `DialogLogic`. It places every control at its template
// position in dialog units of the dialog font, in template order (the tab
// order), builds the template's menu bar, and implements `DialogWindow` for
// the logic's handlers.
//
// Events reach the logic as the framework's messages would: a button's click
// and a menu command as OnCommand(id), an edit's change as OnEditChange(id),
// Esc and the close box as OnCommand(IDC_CANCEL), the first showing as
// OnShowWindow; OnInitDialog runs once, just before the dialog is first shown.
// EndDialog closes it; `DoModal` then returns the logic's result.

#include <QDialog>
#include <QMap>

#include "ui/dialog_window.h"
#include "ui/qt/dialog_units.h"

class QAbstractButton;
class QAction;
class QLabel;

namespace veldar {

class CUpDownCtrl;

class QtDialog : public QDialog, public DialogWindow {
 public:
  // Builds the controls of `logic`'s template over `parent` (nullptr: none).
  QtDialog(DialogLogic& logic, QWidget* parent = nullptr);
  ~QtDialog() override;

  // Shows the dialog modally; returns the result EndDialog was given
  // (IDC_CANCEL when it was closed some other way).
  int DoModal();

  // The control with template id `id`; nullptr for an id the dialog lacks.
  QWidget* GetDlgItem(int id) const;
  // The menu command with id `id`, or nullptr.
  QAction* MenuCommand(int id) const;
  CUpDownCtrl* UpDown(int id) const;
  const DialogUnits& units() const { return units_; }
  // The widget the template's controls sit in (the client area).
  QWidget* client() const { return client_; }
  DialogLogic& logic() const { return logic_; }

  // Where a static text's text really stands (its box may be wider).
  static QRect TextExtent(const QLabel& label);
  // The width a button's text takes, mnemonic marks left out.
  static int TextWidth(const QAbstractButton& button);

  // A second start asked for the window: un-minimise it and bring it (and
  // any dialog open over it) to the front.
  void BringBack();

  // ---- DialogWindow ----
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

  void setVisible(bool visible) override;
  void reject() override;

 protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  // Adds `control` (`previous` is the one before it) and returns it.
  QWidget* AddControl(const ControlTemplate& control, QWidget* previous);
  void MakeRoomForLabels();
  void FitClient(const QRect& rect);
  void Register(int id, QWidget* control);

  DialogLogic& logic_;
  DialogUnits units_;
  QWidget* client_;
  QMap<int, QWidget*> controls_;
  bool initialised_ = false;
  bool shown_ = false;
};

// The Qt widget of `window` (a QtDialog), or nullptr.
QWidget* WidgetOf(DialogWindow* window);

}  // namespace veldar
