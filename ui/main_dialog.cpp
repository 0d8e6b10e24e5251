#include "ui/main_dialog.h"

#include "engine/backup.h"
#include "platform/os_paths.h"
#include "engine/engine.h"
#include "ui/log_commands.h"
#include "res/string_table.h"
#include "ui/about_dialog.h"
#include "ui/data_exchange.h"
#include "ui/logsize_dialog.h"
#include "ui/restore_dialog.h"
#include "ui/run_confirmation.h"

namespace veldar {
namespace {

constexpr std::uint32_t kMaxGenerations = 999;
// The source browser's menu, with generations.
constexpr const char* kPickFile = "ファイルを選ぶ(&F)...";
constexpr const char* kPickFolder = "ホルダを選ぶ(&D)...";
constexpr const char* kBackupCancelled = "バックアップを中止しました。世代は置き換えていません。";
constexpr const char* kBackupCancelledAfterCopy = "バックアップを中止しました。新しい世代はできています。";
// Each picker says what is picked.
constexpr const char* kSourceFolderTitle = "バックアップするホルダ";
constexpr const char* kBackupFolderTitle = "バックアップ先のホルダ";

}  // namespace

CVELDAR2Dlg::CVELDAR2Dlg(CVELDAR2Engine& engine, DialogServices& services)
    : DialogLogic(MainDialogTemplate()), engine_(engine), services_(services) {}

void CVELDAR2Dlg::OnCommand(int id) {
  switch (id) {
    case IDC_OK:
      OnBnClickedOk();
      break;
    case IDC_CANCEL:
      OnBnClickedCancel();
      break;
    case IDC_BROWSE:
      OnBnClickedBrowseSource();
      break;
    case IDC_BROWSE_DEST:
      OnBnClickedBrowseDest();
      break;
    case IDC_RESTORE:
      OnBnClickedRestore();
      break;
    case ID_LOG_VIEW:
      OnLogView();
      break;
    case ID_LOG_CLEAR:
      OnLogClear();
      break;
    case ID_LOG_SIZE:
      OnLogSize();
      break;
    case ID_HELP:
      OnHelp();
      break;
    case IDM_ABOUTBOX:
      OnAppAbout();
      break;
  }
}

void CVELDAR2Dlg::OnEditChange(int id) {
  if (id == IDC_GENERATIONS) OnEnChangeGenerations();
}

bool CVELDAR2Dlg::OnInitDialog() {
  UpdateData(false);

  sourceText = engine_.sourcePath;
  backupDirText = engine_.backupDir;
  generationValue = static_cast<std::uint32_t>(engine_.generationCount);
  noDeleteCheck = engine_.noDelete ? 1 : 0;
  noForceCheck = engine_.noForce ? 1 : 0;
  noTimeCheck = engine_.noTime ? 1 : 0;

  // The arrows step within 0 to 99; typed values up to 999 are accepted.
  updatingControls_ = true;
  window().SetUpDownRange(IDC_SPIN, 0, 99);
  window().SetUpDownPos(IDC_SPIN, static_cast<int>(generationValue & 0xFFFF));
  updatingControls_ = false;
  ApplyEnablingRule();
  UpdateData(false);
  return true;
}

bool CVELDAR2Dlg::UpdateData(bool saveAndValidate) {
  DialogWindow& w = window();
  if (!saveAndValidate) {
    // Writing the generation text would report a change of it.
    updatingControls_ = true;
    w.SetItemText(IDC_EDIT1, sourceText);
    w.SetItemText(IDC_EDIT2, backupDirText);
    w.SetItemText(IDC_GENERATIONS, std::to_string(generationValue));
    w.SetChecked(IDC_NOFORCE, noForceCheck != 0);
    w.SetChecked(IDC_NODELETE, noDeleteCheck != 0);
    w.SetChecked(IDC_NOTIME, noTimeCheck != 0);
    updatingControls_ = false;
    return true;
  }
  sourceText = w.ItemText(IDC_EDIT1);
  backupDirText = w.ItemText(IDC_EDIT2);
  if (!ExchangeUnsigned(w, IDC_GENERATIONS, generationValue, 0, kMaxGenerations, engine_.messages)) return false;
  noForceCheck = w.IsChecked(IDC_NOFORCE) ? 1 : 0;
  noDeleteCheck = w.IsChecked(IDC_NODELETE) ? 1 : 0;
  noTimeCheck = w.IsChecked(IDC_NOTIME) ? 1 : 0;
  return true;
}

void CVELDAR2Dlg::OnShowWindow() {
  if (shown) return;
  shown = true;
  ApplyEnablingRule();
}

// The three option boxes only matter for a directory mirrored without
// generations: they are enabled while the generation value is 0.
void CVELDAR2Dlg::ApplyEnablingRule() {
  if (!shown) return;
  const bool enable = generationValue == 0;
  for (int id : {IDC_NODELETE, IDC_NOFORCE, IDC_NOTIME}) window().EnableItem(id, enable);
  previousGenerations = generationValue;
}

void CVELDAR2Dlg::OnEnChangeGenerations() {
  if (!shown || updatingControls_ || closing_ || !attached()) return;
  UpdateData(true);
  ApplyEnablingRule();
}

void CVELDAR2Dlg::OnBnClickedBrowseSource() {
  UpdateData(true);
  // With generations the source may be a file or a folder, so the user says
  // which; mirrored straight (a count of 0) it can only be a folder.
  bool pickFolder = true;
  if (generationValue > 0) {
    const auto choice = services_.ChooseFromMenu(window(), IDC_BROWSE, {kPickFile, kPickFolder});
    if (!choice) return;
    pickFolder = *choice == 1;
  }
  if (!pickFolder) {
    const auto file = services_.ChooseFile(window(), "開く", engine_.sourcePath, "すべてのファイル(*.*)|*.*||");
    if (!file) return;
    UpdateData(true);
    sourceText = *file;
    UpdateData(false);
    return;
  }
  const auto folder = services_.ChooseFolder(window(), kSourceFolderTitle, ExpandEnvVars(sourceText, engine_.os));
  if (!folder) return;
  UpdateData(true);
  if (folder->empty()) return;
  sourceText = *folder;
  UpdateData(false);
}

void CVELDAR2Dlg::OnBnClickedBrowseDest() {
  // The picker starts at the typed folder; the controls are read only after
  // a pick.
  const std::string typed = ExpandEnvVars(window().ItemText(IDC_EDIT2), engine_.os);
  const auto folder = services_.ChooseFolder(window(), kBackupFolderTitle, typed);
  if (!folder) return;
  UpdateData(true);
  if (folder->empty()) return;
  backupDirText = *folder;
  UpdateData(false);
}

void CVELDAR2Dlg::OnBnClickedOk() {
  // A generation value the check has just refused is not run with.
  if (!UpdateData(true)) return;
  engine_.sourcePath = ExpandEnvVars(sourceText, engine_.os);
  engine_.backupDir = ExpandEnvVars(backupDirText, engine_.os);
  engine_.generationCount = static_cast<std::int32_t>(generationValue);
  engine_.noForce = noForceCheck;
  engine_.noDelete = noDeleteCheck;
  engine_.noTime = noTimeCheck;

  // A mirror into the backup folder that would delete what the source lacks
  // there is shown to the user first; declined, nothing is run or logged.
  switch (ConfirmBackup(engine_, services_, window())) {
    case RunConfirmation::kGoOn:
      break;
    case RunConfirmation::kDeclined:
      return;
    case RunConfirmation::kStopped:
      engine_.messages.Show(kBackupCancelled);
      return;
  }

  engine_.OpenLog();
  engine_.WriteLog("Starting with Dialog OK button");
  // A job the pre-check refuses is answered here, with no progress window
  // standing behind the message (the run checks again: it is cheap).
  BackupOutcome outcome;
  if (engine_.CheckParameters()) {
    services_.RunWithProgress(window(), [this, &outcome](RunProgress& progress) {
      RunControl control;
      control.progress = &progress;
      outcome = RunBackup(engine_, control);
      return outcome.ok;
    });
  }
  if (outcome.ok && outcome.cancelled) {
    // Stopped while the old copy was being deleted: the next run finishes that.
    engine_.messages.Show(kBackupCancelledAfterCopy);
  } else if (outcome.ok) {
    // Operations that failed and were passed over make no completed backup,
    // and neither do entries that vanished while it was made.
    int done = IDS_BACKUP_DONE;
    if (outcome.failures != 0) {
      done = engine_.activityLog.HoldsRun() ? IDS_BACKUP_PARTIAL : IDS_BACKUP_PARTIAL_UNLOGGED;
    } else if (outcome.vanished != 0) {
      done = IDS_BACKUP_VANISHED;
    }
    engine_.messages.Show(LoadString(done));
  } else if (outcome.cancelled) {
    engine_.messages.Show(kBackupCancelled);
  }
  engine_.CloseLog();
}

void CVELDAR2Dlg::OnBnClickedRestore() {
  if (!UpdateData(true)) return;
  engine_.sourcePath = ExpandEnvVars(sourceText, engine_.os);
  engine_.backupDir = ExpandEnvVars(backupDirText, engine_.os);
  FileStatus status;
  const bool present = Stat(engine_.os, engine_.sourcePath, true, &status).ok();
  // A source that is there is checked as a backup of it would be.
  if (present && !engine_.CheckParameters()) return;
  // Gone, which is when a restore is most wanted: its generations are what
  // the backup folder holds under its name. The pre-check, which refuses a
  // missing source, speaks only when there are none.
  const RestoreSource found = FindRestoreSource(engine_);
  if (!found.scan.ok() || (!present && found.generations.empty())) {
    if (!present) (void)engine_.CheckParameters();  // called for its message: it refuses
    return;
  }

  CVELDAR2Res dialog(engine_, services_);
  services_.RunModal(&window(), dialog);
}

void CVELDAR2Dlg::OnBnClickedCancel() {
  UpdateData(true);
  const std::string section = LoadString(IDS_SECTION);
  SettingsStore& settings = engine_.settings;
  // A value the check refused is not stored: the next start would load it.
  if (generationValue <= kMaxGenerations) {
    settings.Write(section, LoadString(IDS_KEY_GENERATIONS), std::to_string(generationValue));
  }
  settings.Write(section, LoadString(IDS_KEY_LASTFILE), sourceText);
  settings.Write(section, LoadString(IDS_KEY_LASTDIR), backupDirText);
  settings.Write(section, LoadString(IDS_KEY_LASTOPT),
                 std::to_string(noDeleteCheck) + std::to_string(noForceCheck) + std::to_string(noTimeCheck));
  settings.Write(section, LoadString(IDS_KEY_LOGOPT),
                 std::to_string(engine_.successLog ? 1 : 0) + std::to_string(engine_.skipLog ? 1 : 0));
  engine_.Reset();
  closing_ = true;
  window().EndDialog(IDC_CANCEL);
}

void CVELDAR2Dlg::OnLogView() {
  DialogLogCommandUi ui(services_, engine_.messages, &window());
  ViewLog(engine_, ui);
}

void CVELDAR2Dlg::OnLogClear() { ClearLog(engine_); }

void CVELDAR2Dlg::OnLogSize() {
  DialogLogCommandUi ui(services_, engine_.messages, &window());
  ChangeLogSize(engine_, ui);
}

void CVELDAR2Dlg::OnAppAbout() {
  CVELDAR2About about;
  services_.RunModal(&window(), about);
}

void CVELDAR2Dlg::OnHelp() { services_.OpenWithDesktop(&window(), services_.HelpPagePath()); }

}  // namespace veldar
