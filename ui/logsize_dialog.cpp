#include "ui/logsize_dialog.h"

#include "ui/data_exchange.h"

namespace veldar {

CVELDAR2Logsize::CVELDAR2Logsize(UserMessages& messages) : DialogLogic(LogSizeDialogTemplate()), messages_(messages) {}

void CVELDAR2Logsize::OnCommand(int id) {
  if (id == IDC_OK) {
    OnBnClickedOk();
  } else {
    DialogLogic::OnCommand(id);
  }
}

bool CVELDAR2Logsize::OnInitDialog() {
  UpdateData(false);
  window().SetUpDownRange(IDC_SPIN, kMinSize, kMaxSize);
  window().SetUpDownPos(IDC_SPIN, static_cast<int>(logSize & 0xFFFF));
  return true;
}

bool CVELDAR2Logsize::UpdateData(bool saveAndValidate) {
  DialogWindow& w = window();
  if (!saveAndValidate) {
    w.SetItemText(IDC_EDIT1, std::to_string(logSize));
    w.SetChecked(IDC_SUCCESS_LOG, successLog != 0);
    w.SetChecked(IDC_SKIP_LOG, skipLog != 0);
    return true;
  }
  if (!ExchangeUnsigned(w, IDC_EDIT1, logSize, kMinSize, kMaxSize, messages_)) return false;
  successLog = w.IsChecked(IDC_SUCCESS_LOG) ? 1 : 0;
  skipLog = w.IsChecked(IDC_SKIP_LOG) ? 1 : 0;
  return true;
}

void CVELDAR2Logsize::OnBnClickedOk() {
  if (UpdateData(true)) window().EndDialog(IDC_OK);
}

void DialogLogCommandUi::OpenWithDesktop(const std::string& path) { services_.OpenWithDesktop(owner_, path); }

bool DialogLogCommandUi::RunLogSizeDialog(LogSizeValues& values) {
  CVELDAR2Logsize dialog(messages_);
  dialog.logSize = values.logSize;
  dialog.successLog = values.successLog;
  dialog.skipLog = values.skipLog;
  if (services_.RunModal(owner_, dialog) != IDC_OK) return false;
  values.logSize = dialog.logSize;
  values.successLog = dialog.successLog;
  values.skipLog = dialog.skipLog;
  return true;
}

}  // namespace veldar
