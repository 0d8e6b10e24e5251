#include "ui/dialog_services.h"

#include <QDesktopServices>
#include <QDialog>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QUrl>

namespace veldar {

std::optional<std::string> QtDialogServices::ChooseFile(QWidget* parent, const QString& title,
                                                        const std::string& initialPath, const QString& filter) {
  QFileDialog dialog(parent, title);
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  // Any typed name is taken as it stands, existing or not.
  dialog.setFileMode(QFileDialog::AnyFile);
  dialog.setOption(QFileDialog::HideNameFilterDetails);
  dialog.setNameFilter(filter);
  const QFileInfo initial(QString::fromStdString(initialPath));
  if (!initialPath.empty()) {
    dialog.setDirectory(initial.absolutePath());
    dialog.selectFile(initial.fileName());
  } else {
    dialog.setDirectory(QDir::homePath());
  }
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
  return QDir::toNativeSeparators(dialog.selectedFiles().constFirst()).toStdString();
}

std::optional<std::string> QtDialogServices::ChooseFolder(QWidget* parent, const QString& title) {
  const QString folder = QFileDialog::getExistingDirectory(parent, title, QDir::homePath());
  if (folder.isEmpty()) return std::nullopt;
  return QDir::toNativeSeparators(folder).toStdString();
}

int QtDialogServices::RunModal(QDialog& dialog) { return dialog.exec(); }

void QtDialogServices::OpenWithDesktop(const std::string& path) {
  QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromStdString(path)));
}

}  // namespace veldar
