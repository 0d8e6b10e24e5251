#include "ui/qt/qt_services.h"

#include <QApplication>
#include <QCursor>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QMenu>
#include <QPointer>
#include <QProcess>
#include <QStringList>

#include "ui/qt/desktop.h"
#include "ui/qt/file_viewer.h"
#include "ui/qt/progress_window.h"
#include "ui/qt/qt_dialog.h"
#include "ui/qt/translation.h"

namespace veldar {

QString QtNameFilters(const std::string& filter) {
  QStringList filters;
  for (const FileType& type : ParseFileFilter(filter)) {
    QString patterns = QString::fromStdString(type.pattern);
    patterns.replace(QLatin1Char(';'), QLatin1Char(' ')).replace(QStringLiteral("*.*"), QStringLiteral("*"));
    filters << QStringLiteral("%1 (%2)").arg(Tr(type.label), patterns);
  }
  return filters.join(QStringLiteral(";;"));
}

std::optional<std::string> QtDialogServices::ChooseFile(DialogWindow& owner, const std::string& title,
                                                        const std::string& initialPath, const std::string& filter) {
  QFileDialog dialog(WidgetOf(&owner), Tr(title));
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

std::optional<std::string> QtDialogServices::ChooseFolder(DialogWindow& owner, const std::string& title,
                                                          const std::string& initialPath) {
  // The typed folder, or the nearest of its parents that exists.
  QString start = QString::fromStdString(initialPath);
  while (!start.isEmpty() && !QFileInfo(start).isDir()) {
    const QString parent = QFileInfo(start).path();
    start = parent == start || parent == QStringLiteral(".") ? QString() : parent;
  }
  if (start.isEmpty()) start = QDir::homePath();
  const QString folder = QFileDialog::getExistingDirectory(WidgetOf(&owner), Tr(title), start);
  if (folder.isEmpty()) return std::nullopt;
  return QDir::toNativeSeparators(folder).toStdString();
}

std::optional<int> QtDialogServices::ChooseFromMenu(DialogWindow& owner, int anchorId,
                                                    const std::vector<std::string>& items) {
  auto* dialog = dynamic_cast<QtDialog*>(&owner);
  QWidget* anchor = dialog ? dialog->GetDlgItem(anchorId) : nullptr;
  QMenu menu(WidgetOf(&owner));
  for (std::size_t i = 0; i < items.size(); ++i) {
    menu.addAction(Tr(items[i]))->setData(static_cast<int>(i));
  }
  const QPoint where = anchor ? anchor->mapToGlobal(QPoint(0, anchor->height())) : QCursor::pos();
  QAction* chosen = menu.exec(where);
  if (!chosen) return std::nullopt;
  return chosen->data().toInt();
}

int QtDialogServices::RunModal(DialogWindow* owner, DialogLogic& logic) {
  QtDialog dialog(logic, WidgetOf(owner));
  return dialog.DoModal();
}

void QtDialogServices::OpenWithDesktop(DialogWindow* owner, const std::string& path) {
  // Asynchronous: the desktop's program may run for as long as the user
  // reads, and the dialog stays usable meanwhile.
  const QString file = QString::fromStdString(path);
  auto* process = new QProcess(qApp);
  // The viewer is a window of the dialog that asked: a window of its own
  // would be blocked by that dialog while it runs modally.
  const QPointer<QWidget> parent = WidgetOf(owner);
  auto fallBack = [file, parent] { ShowFileViewer(parent ? parent.data() : QApplication::activeModalWidget(), file); };
  QObject::connect(process, &QProcess::errorOccurred, process, [process, fallBack](QProcess::ProcessError error) {
    if (error == QProcess::FailedToStart) {
      fallBack();
      process->deleteLater();
    }
  });
  QObject::connect(process, &QProcess::finished, process,
                   [process, fallBack](int exitCode, QProcess::ExitStatus status) {
                     if (status != QProcess::NormalExit || exitCode != 0) fallBack();
                     process->deleteLater();
                   });
  process->setProcessChannelMode(QProcess::ForwardedChannels);
  process->start(opener_, {file});
}

int QtDialogServices::RunWithProgress(DialogWindow& owner, const ProgressWork& work) {
  QApplication::setOverrideCursor(Qt::WaitCursor);
  QWidget* widget = WidgetOf(&owner);
  const int result = veldar::RunWithProgress(widget, work);
  QApplication::restoreOverrideCursor();
  // The keyboard goes back to the dialog, whatever was active last.
  if (widget) widget->activateWindow();
  return result;
}

std::string QtDialogServices::HelpPagePath() { return veldar::HelpPagePath().toStdString(); }

}  // namespace veldar
