#pragma once
// CVELDAR2Dlg: the main dialog, the program's interactive mode.
//
// It shows the engine's job (source, backup directory, generation count and
// the three option flags), lets the user edit it and pick paths, runs a
// backup (on a worker thread, with the progress window), prepares and opens
// the restore dialog, offers the log commands, the help page and the About
// box, and saves the settings when it closes. It keeps its own copies of the
// edited values and hands them to the engine only when a button needs them.
//
// It is the dialog's behaviour only: a toolkit draws it from
// `MainDialogTemplate()` and calls the handlers (see DialogLogic). Pickers,
// the dialogs it opens and the run go through `DialogServices`, message boxes
// through the engine's `UserMessages`.

#include <cstdint>
#include <string>

#include "ui/dialog_window.h"

namespace veldar {

class CVELDAR2Engine;

class CVELDAR2Dlg : public DialogLogic {
 public:
  CVELDAR2Dlg(CVELDAR2Engine& engine, DialogServices& services);

  // Moves the fields into the controls (false), or reads the controls into
  // the fields (true) in template order, stopping with the framework's
  // message at a generation value that is not a number from 0 to 999 (the
  // check boxes are then not read). False when it stopped.
  bool UpdateData(bool saveAndValidate);

  // ---- Handlers ----
  void OnBnClickedOk();            // "バックアップ": a backup run
  void OnBnClickedCancel();        // "ｷｬﾝｾﾙ", Esc, closing: save the settings and close
  void OnBnClickedBrowseSource();  // "検索": a file, or a folder (with generations the user says which)
  void OnBnClickedBrowseDest();    // "検索": the backup folder, from the typed one
  void OnBnClickedRestore();       // "レストア": check, scan, restore dialog
  void OnLogView();
  void OnLogClear();
  void OnLogSize();
  void OnAppAbout();  // the help menu's item and the system menu's
  void OnHelp();
  void OnEnChangeGenerations();  // the enabling rule after every change

  bool OnInitDialog() override;
  void OnShowWindow() override;
  void OnCommand(int id) override;
  void OnEditChange(int id) override;

  // ---- Fields, in the template's terms ----
  std::uint32_t previousGenerations = 0;
  bool shown = false;
  std::string sourceText;
  std::string backupDirText;
  std::uint32_t generationValue = 3;
  int noForceCheck = 0;
  int noDeleteCheck = 0;
  int noTimeCheck = 0;

 private:
  void ApplyEnablingRule();

  CVELDAR2Engine& engine_;
  DialogServices& services_;
  bool updatingControls_ = false;
  bool closing_ = false;
};

}  // namespace veldar
