#pragma once
// What the dialog tests share: the Qt application they run in (offscreen) and
// a `DialogServices` whose pickers and modal dialogs the test answers.

#include <QDialog>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "ui/dialog_services.h"

namespace veldar::testing {

// Makes sure a QApplication exists (created once, on the platform the test
// environment names, offscreen under ctest).
void EnsureApplication();

class ScriptedServices : public DialogServices {
 public:
  struct Pick {
    QString title;
    std::string initialPath;
    QString filter;
  };
  std::optional<std::string> ChooseFile(QWidget*, const QString& title, const std::string& initialPath,
                                        const QString& filter) override {
    files.push_back({title, initialPath, filter});
    return fileAnswer;
  }
  std::optional<std::string> ChooseFolder(QWidget*, const QString& title) override {
    folders.push_back({title, {}, {}});
    return folderAnswer;
  }
  // Hands the dialog to `onModal`, which plays the user and returns how the
  // dialog ended; without one the dialog is cancelled at once.
  int RunModal(QDialog& dialog) override {
    modals.push_back(&dialog);
    return onModal ? onModal(dialog) : QDialog::Rejected;
  }
  void OpenWithDesktop(const std::string& path) override { opened.push_back(path); }

  std::optional<std::string> fileAnswer, folderAnswer;
  std::function<int(QDialog&)> onModal;
  std::vector<Pick> files, folders;
  std::vector<QDialog*> modals;  // valid only inside onModal
  std::vector<std::string> opened;
};

}  // namespace veldar::testing
