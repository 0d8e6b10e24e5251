#include "ui/qt/qt_services.h"

#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QStringList>
#include <QUrl>

#include "ui/qt/desktop.h"
#include "ui/qt/progress_window.h"
#include "ui/qt/qt_dialog.h"

namespace veldar {

QString QtNameFilters(const std::string& filter) {
  const QStringList parts = QString::fromStdString(filter).split(QLatin1Char('|'));
  QStringList filters;
  for (qsizetype i = 0; i + 1 < parts.size() && !parts[i].isEmpty(); i += 2) {
    QString patterns = parts[i + 1];
    patterns.replace(QLatin1Char(';'), QLatin1Char(' ')).replace(QStringLiteral("*.*"), QStringLiteral("*"));
    filters << QStringLiteral("%1 (%2)").arg(parts[i], patterns);
  }
  return filters.join(QStringLiteral(";;"));
}

std::optional<std::string> QtDialogServices::ChooseFile(DialogWindow& owner, const std::string& title,
                                                        const std::string& initialPath, const std::string& filter) {
  QFileDialog dialog(WidgetOf(&owner), QString::fromStdString(title));
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  // Any typed name is taken as it stands, existing or not.
  dialog.setFileMode(QFileDialog::AnyFile);
  dialog.setOption(QFileDialog::HideNameFilterDetails);
  dialog.setNameFilter(QtNameFilters(filter));
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

std::optional<std::string> QtDialogServices::ChooseFolder(DialogWindow& owner, const std::string& title) {
  const QString folder =
      QFileDialog::getExistingDirectory(WidgetOf(&owner), QString::fromStdString(title), QDir::homePath());
  if (folder.isEmpty()) return std::nullopt;
  return QDir::toNativeSeparators(folder).toStdString();
}

int QtDialogServices::RunModal(DialogWindow* owner, DialogLogic& logic) {
  QtDialog dialog(logic, WidgetOf(owner));
  return dialog.DoModal();
}

void QtDialogServices::OpenWithDesktop(const std::string& path) {
  QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromStdString(path)));
}

int QtDialogServices::RunWithProgress(DialogWindow& owner, CVELDAR2Engine& engine,
                                      const std::function<int()>& work) {
  QApplication::setOverrideCursor(Qt::WaitCursor);
  const int result = veldar::RunWithProgress(WidgetOf(&owner), engine, work);
  QApplication::restoreOverrideCursor();
  return result;
}

std::string QtDialogServices::HelpPagePath() { return veldar::HelpPagePath().toStdString(); }

}  // namespace veldar
