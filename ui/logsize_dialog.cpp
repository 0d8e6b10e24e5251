#include "ui/logsize_dialog.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>

#include "ui/data_exchange.h"
#include "ui/dialog_services.h"
#include "ui/up_down.h"

namespace veldar {

CVELDAR2Logsize::CVELDAR2Logsize(UserMessages& messages, QWidget* parent)
    : TemplateDialog(parent, QStringLiteral("Veldar"), 8, 108, 81), messages_(messages) {
  AddLabel(QStringLiteral("ログサイズ"), 7, 9, 34, 9);
  sizeEdit_ = AddEdit(1000, 43, 7, 31, 12);
  sizeEdit_->setAlignment(Qt::AlignRight);
  // Digits only, as typed; the range is checked on OK.
  sizeEdit_->setValidator(new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), sizeEdit_));
  spin_ = new CUpDownCtrl(sizeEdit_, client());
  spin_->setGeometry(units().Rect(76, 7, 11, 13));
  Register(1012, spin_);
  AddLabel(QStringLiteral("KB"), 56, 20, 26, 8, Qt::AlignHCenter);
  successCheck_ = AddCheck(1010, QStringLiteral("成功ログを記録する。"), 7, 31, 94, 12);
  skipCheck_ = AddCheck(1013, QStringLiteral("スキップログを記録する。"), 7, 43, 94, 12);
  QPushButton* ok = AddButton(1, QStringLiteral("OK"), 7, 60, 45, 14, /*isDefault=*/true);
  QPushButton* cancel = AddButton(2, QStringLiteral("キャンセル"), 56, 60, 45, 14);
  connect(ok, &QPushButton::clicked, this, [this] { OnBnClickedOk(); });
  connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
}

bool CVELDAR2Logsize::OnInitDialog() {
  UpdateData(false);
  spin_->SetRange(kMinSize, kMaxSize);
  spin_->SetPos(static_cast<int>(logSize & 0xFFFF));
  return true;
}

bool CVELDAR2Logsize::UpdateData(bool saveAndValidate) {
  if (!saveAndValidate) {
    sizeEdit_->setText(QString::number(logSize));
    successCheck_->setChecked(successLog != 0);
    skipCheck_->setChecked(skipLog != 0);
    return true;
  }
  if (!ExchangeUnsigned(sizeEdit_, logSize, kMinSize, kMaxSize, messages_)) return false;
  successLog = successCheck_->isChecked() ? 1 : 0;
  skipLog = skipCheck_->isChecked() ? 1 : 0;
  return true;
}

void CVELDAR2Logsize::OnBnClickedOk() {
  if (UpdateData(true)) accept();
}

void QtLogCommandUi::OpenWithDesktop(const std::string& path) { services_.OpenWithDesktop(path); }

bool QtLogCommandUi::RunLogSizeDialog(LogSizeValues& values) {
  CVELDAR2Logsize dialog(messages_, parent_);
  dialog.logSize = values.logSize;
  dialog.successLog = values.successLog;
  dialog.skipLog = values.skipLog;
  if (services_.RunModal(dialog) != QDialog::Accepted) return false;
  values.logSize = dialog.logSize;
  values.successLog = dialog.successLog;
  values.skipLog = dialog.skipLog;
  return true;
}

}  // namespace veldar
