#pragma once
// QtDialogServices: the dialogs' services on the Qt desktop: Qt's file and
// folder pickers, dialogs drawn by QtDialog, the desktop's program for a
// file, and runs behind the Qt progress window with the wait cursor.

#include <QString>

#include "ui/dialog_window.h"

namespace veldar {

class QtDialogServices : public DialogServices {
 public:
  // `opener` is the desktop's command that opens a file with its program;
  // when it cannot be started or exits with a failure the file is shown in
  // the program's own viewer (file_viewer.h).
  explicit QtDialogServices(QString opener = QStringLiteral("xdg-open")) : opener_(std::move(opener)) {}

  std::optional<std::string> ChooseFile(DialogWindow& owner, const std::string& title, const std::string& initialPath,
                                        const std::string& filter) override;
  std::optional<std::string> ChooseFolder(DialogWindow& owner, const std::string& title,
                                          const std::string& initialPath) override;
  std::optional<int> ChooseFromMenu(DialogWindow& owner, int anchorId, const std::vector<std::string>& items) override;
  int RunModal(DialogWindow* owner, DialogLogic& logic) override;
  void OpenWithDesktop(DialogWindow* owner, const std::string& path) override;
  int RunWithProgress(DialogWindow& owner, const ProgressWork& work) override;
  std::string HelpPagePath() override;

 private:
  QString opener_;
};

// A picker filter "label|pattern|...||" as Qt writes it: "label (pattern)",
// one per line, "*.*" being every file ("*").
QString QtNameFilters(const std::string& filter);

}  // namespace veldar
