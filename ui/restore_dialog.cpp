#include "ui/restore_dialog.h"

#include <QApplication>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>

#include "engine/engine.h"
#include "engine/restore.h"
#include "ui/dialog_services.h"
#include "ui/progress_window.h"
#include "res/string_table.h"

namespace veldar {

CVELDAR2Res::CVELDAR2Res(CVELDAR2Engine& engine, DialogServices& services, QWidget* parent)
    : TemplateDialog(parent, QStringLiteral("Veldar"), 9, 159, 163), engine_(engine), services_(services) {
  AddLabel(QStringLiteral("レストアするディレクトリ・ファイル（元）"), 7, 7, 113, 8);
  list_ = new QListWidget(client());
  list_->setGeometry(units().Rect(7, 16, 145, 88));
  list_->setSelectionMode(QAbstractItemView::SingleSelection);
  list_->setSortingEnabled(false);
  Register(1008, list_);
  AddLabel(QStringLiteral("復元するディレクトリ（先）"), 7, 110, 78, 9);
  dirEdit_ = AddEdit(1000, 7, 121, 115, 12);
  QPushButton* browse = AddButton(1004, QStringLiteral("検索"), 127, 122, 25, 12);
  QPushButton* ok = AddButton(1, QStringLiteral("ﾚｽﾄｱ"), 53, 142, 48, 14, /*isDefault=*/true);
  QPushButton* cancel = AddButton(2, QStringLiteral("ｷｬﾝｾﾙ"), 104, 142, 48, 14);
  connect(browse, &QPushButton::clicked, this, [this] { OnBnClickedBrowse(); });
  connect(ok, &QPushButton::clicked, this, [this] { OnBnClickedOk(); });
  connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
}

bool CVELDAR2Res::OnInitDialog() {
  UpdateData(false);
  for (const std::string& row : GenerationRows(engine_.generations, engine_.os)) {
    list_->addItem(QString::fromStdString(row));
  }
  restoreDirText = QString::fromStdString(engine_.restoreDir);
  UpdateData(false);
  return true;
}

void CVELDAR2Res::UpdateData(bool saveAndValidate) {
  if (saveAndValidate) {
    restoreDirText = dirEdit_->text();
  } else {
    dirEdit_->setText(restoreDirText);
  }
}

void CVELDAR2Res::OnBnClickedBrowse() {
  const auto folder = services_.ChooseFolder(this, QStringLiteral("復元するホルダﾞ"));
  if (!folder) return;
  UpdateData(true);
  if (folder->empty()) return;
  restoreDirText = QString::fromStdString(*folder);
  UpdateData(false);
}

void CVELDAR2Res::OnBnClickedOk() {
  UpdateData(true);
  const QList<QListWidgetItem*> selected = list_->selectedItems();
  if (selected.isEmpty()) return;
  const int row = list_->row(selected.constFirst());
  if (restoreDirText.isEmpty()) {
    engine_.messages.Show(LoadString(IDS_NO_RESTORE_DIR));
    return;
  }
  engine_.restoreDir = ExpandEnvVars(restoreDirText.toStdString(), engine_.os);

  QApplication::setOverrideCursor(Qt::WaitCursor);
  RestoreResult result;
  RunWithProgress(this, engine_, [&] {
    result = RunRestore(engine_, row);
    return result.ok;
  });
  engine_.messages.Show(result.message);
  QApplication::restoreOverrideCursor();
}

}  // namespace veldar
