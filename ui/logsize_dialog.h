#pragma once
// CVELDAR2Logsize: the log size dialog, run by the log command that changes
// the log's size limit and its two options; a toolkit draws it from
// `LogSizeDialogTemplate()`. DialogLogCommandUi: what the log commands need
// from the desktop, done with this dialog and the desktop's file opener.

#include <cstdint>

#include "ui/log_commands.h"
#include "ui/dialog_window.h"

namespace veldar {

class UserMessages;

class CVELDAR2Logsize : public DialogLogic {
 public:
  // `messages` shows the validation messages.
  explicit CVELDAR2Logsize(UserMessages& messages);

  // The values the dialog edits; set them before showing it and read them
  // back after it returned IDC_OK.
  std::uint32_t logSize = 500;  // KB
  int successLog = 1;
  int skipLog = 1;

  static constexpr std::uint32_t kMinSize = 100;
  static constexpr std::uint32_t kMaxSize = 10000;

  // Moves the values into the controls (false) or reads them back with
  // validation (true); false when the size fails it.
  bool UpdateData(bool saveAndValidate);
  // OK: closes with IDC_OK when the controls pass validation; otherwise
  // the message has been shown and the dialog stays open.
  void OnBnClickedOk();

  bool OnInitDialog() override;
  void OnCommand(int id) override;

 private:
  UserMessages& messages_;
};

class DialogLogCommandUi : public LogCommandUi {
 public:
  // The log size dialog opens over `owner` (nullptr: none).
  DialogLogCommandUi(DialogServices& services, UserMessages& messages, DialogWindow* owner)
      : services_(services), messages_(messages), owner_(owner) {}
  void OpenWithDesktop(const std::string& path) override;
  bool RunLogSizeDialog(LogSizeValues& values) override;

 private:
  DialogServices& services_;
  UserMessages& messages_;
  DialogWindow* owner_;
};

}  // namespace veldar
