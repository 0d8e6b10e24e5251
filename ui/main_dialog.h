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
// Pickers and the dialogs it opens go through `DialogServices`, message boxes
// through the engine's `UserMessages`, so every handler can be driven by a
// test.

#include <QString>
#include <cstdint>
#include <memory>

#include "ui/template_dialog.h"

class QAction;
class QCheckBox;
class QLineEdit;

namespace veldar {

class CUpDownCtrl;
class CVELDAR2Engine;
class DialogServices;
class QtLogCommandUi;

// Menu command ids.
enum MainDialogCommand : int {
  IDM_ABOUTBOX = 16,
  ID_LOG_SIZE = 32773,
  ID_LOG_CLEAR = 32774,
  ID_LOG_VIEW = 32775,
  ID_HELP = 57670,
};

class CVELDAR2Dlg : public TemplateDialog {
 public:
  CVELDAR2Dlg(CVELDAR2Engine& engine, DialogServices& services, QWidget* parent = nullptr);
  ~CVELDAR2Dlg() override;

  // Moves the fields into the controls (false), or reads the controls into
  // the fields (true) in template order, stopping with the framework's
  // message at a generation value that is not a number from 0 to 999 (the
  // check boxes are then not read). False when it stopped.
  bool UpdateData(bool saveAndValidate);

  // ---- Handlers ----
  void OnBnClickedOk();          // "バックアップ": a backup run
  void OnBnClickedCancel();      // "ｷｬﾝｾﾙ", Esc, closing: save the settings and close
  void OnBnClickedBrowseSource();
  void OnBnClickedBrowseDest();
  void OnBnClickedRestore();     // "レストア": check, scan, restore dialog
  void OnLogView();
  void OnLogClear();
  void OnLogSize();
  void OnAppAbout();
  void OnHelp();
  void OnEnChangeGenerations();  // the enabling rule after every change

  // A second start asked for the window: un-minimise it and bring it (and
  // any dialog open over it) to the front.
  void BringBack();

  // The menu command with id `id`, or nullptr.
  QAction* MenuCommand(int id) const;
  CUpDownCtrl* spin() const { return spin_; }

  // ---- Fields, in the template's terms ----
  std::uint32_t previousGenerations = 0;
  bool shown = false;
  QString sourceText;
  QString backupDirText;
  std::uint32_t generationValue = 3;
  int noForceCheck = 0;
  int noDeleteCheck = 0;
  int noTimeCheck = 0;

  void reject() override;

 protected:
  bool OnInitDialog() override;
  void showEvent(QShowEvent* event) override;

 private:
  void OnShowWindow();
  void ApplyEnablingRule();

  CVELDAR2Engine& engine_;
  DialogServices& services_;
  std::unique_ptr<QtLogCommandUi> logUi_;
  QLineEdit* sourceEdit_;
  QLineEdit* backupDirEdit_;
  QLineEdit* generationEdit_;
  CUpDownCtrl* spin_;
  QCheckBox* noDeleteBox_;
  QCheckBox* noForceBox_;
  QCheckBox* noTimeBox_;
  bool updatingControls_ = false;
  bool closing_ = false;
};

}  // namespace veldar
