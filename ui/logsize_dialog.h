#pragma once
// CVELDAR2Logsize: the log size dialog, run by the log command that changes
// the log's size limit and its two options. QtLogCommandUi: what the log
// commands need from the desktop, done with this dialog and the desktop's
// file opener.

#include <cstdint>

#include "log/log_commands.h"
#include "ui/template_dialog.h"

class QCheckBox;
class QLineEdit;

namespace veldar {

class CUpDownCtrl;
class DialogServices;
class UserMessages;

class CVELDAR2Logsize : public TemplateDialog {
 public:
  // `messages` shows the validation messages.
  explicit CVELDAR2Logsize(UserMessages& messages, QWidget* parent = nullptr);

  // The values the dialog edits; set them before showing it and read them
  // back after it returned Accepted.
  std::uint32_t logSize = 500;  // KB
  int successLog = 1;
  int skipLog = 1;

  static constexpr std::uint32_t kMinSize = 100;
  static constexpr std::uint32_t kMaxSize = 10000;

  // Moves the values into the controls (false) or reads them back with
  // validation (true); false when the size fails it.
  bool UpdateData(bool saveAndValidate);
  // OK: closes with Accepted when the controls pass validation; otherwise
  // the message has been shown and the dialog stays open.
  void OnBnClickedOk();

  CUpDownCtrl* spin() const { return spin_; }

 protected:
  bool OnInitDialog() override;

 private:
  UserMessages& messages_;
  QLineEdit* sizeEdit_;
  CUpDownCtrl* spin_;
  QCheckBox* successCheck_;
  QCheckBox* skipCheck_;
};

class QtLogCommandUi : public LogCommandUi {
 public:
  QtLogCommandUi(DialogServices& services, UserMessages& messages, QWidget* parent)
      : services_(services), messages_(messages), parent_(parent) {}
  void OpenWithDesktop(const std::string& path) override;
  bool RunLogSizeDialog(LogSizeValues& values) override;

 private:
  DialogServices& services_;
  UserMessages& messages_;
  QWidget* parent_;
};

}  // namespace veldar
