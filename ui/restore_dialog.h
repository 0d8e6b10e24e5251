#pragma once
// CVELDAR2Res: the restore dialog. It lists the generations of the current
// source, newest first, and restores the one the user picks into a directory
// of the user's choice; it stays open, so that several can be restored one
// after another.
//
// The main dialog's restore button opens it after a fresh generation scan
// (of a source that is gone, too). A restore that would delete anything, or
// replace a file newer than the generation's, asks first (run_confirmation.h).
// The restore itself is `RunRestore` (engine/restore.h), run with the
// progress window. A toolkit draws it from `RestoreDialogTemplate()`.

#include <string>

#include "ui/dialog_window.h"

namespace veldar {

class CVELDAR2Engine;

class CVELDAR2Res : public DialogLogic {
 public:
  CVELDAR2Res(CVELDAR2Engine& engine, DialogServices& services);

  // Moves the restore directory text between the field and the edit.
  void UpdateData(bool saveAndValidate);

  // "ﾚｽﾄｱ": restores the selected generation (the newest when the dialog
  // opens) into the restore directory. Without a selection nothing happens;
  // without a directory the user is asked for one.
  void OnBnClickedOk();
  // "検索": picks the restore directory with the folder picker.
  void OnBnClickedBrowse();
  // "フォルダを開く", or a double click on a row: the selected generation's
  // folder (for a file generation, the backup folder that holds it) in the
  // desktop's file manager, from which the user can take a file by hand.
  void OnBnClickedOpenFolder();

  bool OnInitDialog() override;
  void OnCommand(int id) override;
  void OnDoubleClick(int id) override;

  // The restore directory text (edit 1000), unexpanded.
  std::string restoreDirText;

 private:
  CVELDAR2Engine& engine_;
  DialogServices& services_;
};

}  // namespace veldar
