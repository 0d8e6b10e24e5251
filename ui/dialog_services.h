#pragma once
// DialogServices: everything modal or external that the dialogs open besides
// message boxes: the file and folder pickers, other dialogs, and the desktop's
// program for a file. The program uses `QtDialogServices`; tests answer the
// calls themselves, so that no test waits on a window.

#include <QString>
#include <optional>
#include <string>

class QDialog;
class QWidget;

namespace veldar {

class DialogServices {
 public:
  virtual ~DialogServices() = default;
  // A file picker for opening, over `parent`, starting at `initialPath`,
  // accepting any typed name. The chosen path, or nothing when cancelled.
  virtual std::optional<std::string> ChooseFile(QWidget* parent, const QString& title,
                                                const std::string& initialPath, const QString& filter) = 0;
  // A folder picker over `parent`. The chosen folder, or nothing when
  // cancelled.
  virtual std::optional<std::string> ChooseFolder(QWidget* parent, const QString& title) = 0;
  // Shows `dialog` modally; QDialog::Accepted or QDialog::Rejected.
  virtual int RunModal(QDialog& dialog) = 0;
  // Opens the local file `path` with the program the desktop associates with
  // it (a browser for the help page, an editor for the log).
  virtual void OpenWithDesktop(const std::string& path) = 0;
};

class QtDialogServices : public DialogServices {
 public:
  std::optional<std::string> ChooseFile(QWidget* parent, const QString& title, const std::string& initialPath,
                                        const QString& filter) override;
  std::optional<std::string> ChooseFolder(QWidget* parent, const QString& title) override;
  int RunModal(QDialog& dialog) override;
  void OpenWithDesktop(const std::string& path) override;
};

}  // namespace veldar
