#include "ui/restore_dialog.h"

#include "engine/engine.h"
#include "engine/restore.h"
#include "engine/verify_marks.h"
#include "res/string_table.h"
#include "ui/run_confirmation.h"

namespace veldar {
namespace {

// ﾚｽﾄｱ pressed with no row selected: which one to pick, or that there is none.
constexpr const char* kChooseGeneration = "レストアする世代を選んでください。";
constexpr const char* kNoGeneration = "レストアできる世代がありません。";
constexpr const char* kRestoreCancelled = "レストアを中止しました。";
// After a row whose generation failed its last verify.
constexpr const char* kFailedVerify = "［前回の確認で問題あり］";

}  // namespace

CVELDAR2Res::CVELDAR2Res(CVELDAR2Engine& engine, DialogServices& services)
    : DialogLogic(RestoreDialogTemplate()), engine_(engine), services_(services) {}

void CVELDAR2Res::OnCommand(int id) {
  switch (id) {
    case IDC_OK:
      OnBnClickedOk();
      break;
    case IDC_BROWSE:
      OnBnClickedBrowse();
      break;
    case IDC_OPEN_FOLDER:
      OnBnClickedOpenFolder();
      break;
    default:
      DialogLogic::OnCommand(id);
  }
}

void CVELDAR2Res::OnDoubleClick(int id) {
  if (id == IDC_LIST) OnBnClickedOpenFolder();
}

void CVELDAR2Res::OnBnClickedOpenFolder() {
  const CFileEntry* generation = FindGeneration(engine_.generations, window().SelectedListRow(IDC_LIST));
  if (!generation) {
    engine_.messages.Show(engine_.generations.empty() ? kNoGeneration : kChooseGeneration);
    window().FocusItem(IDC_LIST);
    return;
  }
  services_.OpenWithDesktop(&window(), generation->isDirectory
                                           ? engine_.os.Paths().Join(engine_.backupDir, generation->name)
                                           : engine_.backupDir);
}

bool CVELDAR2Res::OnInitDialog() {
  UpdateData(false);
  // Generations the last verify found wrong are marked, so that the user
  // restores another where there is one.
  const VerifyMarks marks(engine_.settings, engine_.os.Paths(), engine_.backupDir);
  std::unique_ptr<OsDir> backup;
  if (!engine_.os.OpenDir(engine_.backupDir, /*followLink=*/true, &backup).ok()) backup.reset();
  const int count = static_cast<int>(engine_.generations.size());
  int rows = 0;
  for (int number = 0; number < count; ++number) {
    const CFileEntry* generation = FindGeneration(engine_.generations, number);
    if (!generation) continue;
    const std::string row = GenerationRow(*generation);
    if (backup && marks.Marked(GenerationIdentity(*backup, *generation))) {
      window().AddMarkedListRow(IDC_LIST, row, kFailedVerify);
    } else {
      window().AddListRow(IDC_LIST, row);
    }
    ++rows;
  }
  // The newest generation is selected, so that ﾚｽﾄｱ works at once.
  if (rows > 0) window().SelectListRow(IDC_LIST, 0);
  restoreDirText = engine_.restoreDir;
  UpdateData(false);
  return true;
}

void CVELDAR2Res::UpdateData(bool saveAndValidate) {
  if (saveAndValidate) {
    restoreDirText = window().ItemText(IDC_EDIT1);
  } else {
    window().SetItemText(IDC_EDIT1, restoreDirText);
  }
}

void CVELDAR2Res::OnBnClickedBrowse() {
  const std::string typed = ExpandEnvVars(window().ItemText(IDC_EDIT1), engine_.os);
  const auto folder = services_.ChooseFolder(window(), "復元するホルダ", typed);
  if (!folder) return;
  UpdateData(true);
  if (folder->empty()) return;
  restoreDirText = *folder;
  UpdateData(false);
}

void CVELDAR2Res::OnBnClickedOk() {
  UpdateData(true);
  const int row = window().SelectedListRow(IDC_LIST);
  if (row < 0) {
    engine_.messages.Show(engine_.generations.empty() ? kNoGeneration : kChooseGeneration);
    window().FocusItem(IDC_LIST);
    return;
  }
  if (restoreDirText.empty()) {
    engine_.messages.Show(LoadString(IDS_NO_RESTORE_DIR));
    return;
  }
  engine_.restoreDir = ExpandEnvVars(restoreDirText, engine_.os);
  switch (ConfirmRestore(engine_, row, services_, window())) {
    case RunConfirmation::kGoOn:
      break;
    case RunConfirmation::kDeclined:
      return;
    case RunConfirmation::kStopped:
      engine_.messages.Show(kRestoreCancelled);
      return;
  }

  RestoreResult result;
  services_.RunWithProgress(window(), [&](RunProgress& progress) {
    RunControl control;
    control.progress = &progress;
    result = RunRestore(engine_, row, control);
    return result.ok;
  });
  engine_.messages.Show(result.message);
}

}  // namespace veldar
