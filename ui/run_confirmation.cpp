#include "ui/run_confirmation.h"

#include <functional>

#include "engine/backup.h"
#include "engine/engine.h"
#include "engine/mirror_plan.h"
#include "engine/restore.h"
#include "platform/os_paths.h"
#include "res/translation.h"
#include "ui/dialog_window.h"

namespace veldar {
namespace {

constexpr const char* kBackupDeletes =
    "書き込むディレクトリから、バックアップするディレクトリにないものを削除します（%1 個）:";
constexpr const char* kRestoreDeletes = "復元先から、世代にないものを削除します（%1 個）:";
constexpr const char* kRestoreReplaces = "復元先の、世代のものより新しいファイルを置き換えます（%1 個）:";
constexpr const char* kMore = "ほか %1 個";
constexpr const char* kGoOn = "続けますか？キャンセルすると何も変更しません。";

// A plan tells nobody anything: what it would report, the run itself
// reports.
class Silent : public UserMessages, public SettingsStore {
 public:
  void Show(const std::string&) override {}
  bool AskOkCancel(const std::string&) override { return false; }
  std::string Read(const std::string&, const std::string&) override { return std::string(); }
  void Write(const std::string&, const std::string&, const std::string&) override {}
};

// The services a plan runs with: silent, and a log of its own that is never
// opened, so that a plan changes nothing of what the run uses.
struct PlanServices {
  explicit PlanServices(Os& os) : log(os, sizeLimitKb), services{os, log, silent, silent} {}
  Silent silent;
  std::int32_t sizeLimitKb = 0;
  ActivityLog log;
  RunServices services;
};

using Plan = std::function<void(const RunServices& services, const DryRunOutput& output, const RunControl& control)>;

RunConfirmation Confirm(CVELDAR2Engine& engine, DialogServices& services, DialogWindow& owner, bool restore,
                        const Plan& plan) {
  PlanServices quiet(engine.os);
  PlannedLosses losses;
  const char separator = engine.os.Paths().Separator();
  bool stopped = false;
  services.RunWithProgress(owner, [&](RunProgress& progress) {
    RunControl control;
    control.progress = &progress;
    plan(
        quiet.services, [&](const DryRunItem& item) { losses.Add(item, separator); }, control);
    stopped = progress.Cancelled();
    return 1;
  });
  // A plan that stopped on a failure has still counted what the run would
  // delete before it got there: the run stops at the same place.
  if (stopped) return RunConfirmation::kStopped;
  if (losses.empty()) return RunConfirmation::kGoOn;
  return engine.messages.AskOkCancel(ConfirmationText(losses, restore)) ? RunConfirmation::kGoOn
                                                                        : RunConfirmation::kDeclined;
}

void AppendPaths(const char* heading, std::uint64_t count, const std::vector<std::string>& paths, std::string* text) {
  if (count == 0) return;
  *text += FormatText(heading, {std::to_string(count)}) + "\n";
  for (const std::string& path : paths) *text += "  " + path + "\n";
  if (count > paths.size()) *text += "  " + FormatText(kMore, {std::to_string(count - paths.size())}) + "\n";
}

}  // namespace

void PlannedLosses::Add(const DryRunItem& item, char separator) {
  using Action = DryRunItem::Action;
  const auto path = [&] { return into_ + separator + item.path + (item.directory ? std::string(1, separator) : ""); };
  if (item.action == Action::kInto) {
    into_ = item.path;
  } else if (item.action == Action::kDelete && !item.leftover) {
    if (deleted.size() < kShownPaths) deleted.push_back(path());
    ++deletions;
  } else if (item.action == Action::kCopy && item.replacesNewer) {
    if (replaced.size() < kShownPaths) replaced.push_back(path());
    ++newerReplaced;
  }
}

std::string ConfirmationText(const PlannedLosses& losses, bool restore) {
  std::string text;
  AppendPaths(restore ? kRestoreDeletes : kBackupDeletes, losses.deletions, losses.deleted, &text);
  AppendPaths(kRestoreReplaces, losses.newerReplaced, losses.replaced, &text);
  return text + kGoOn;
}

RunConfirmation ConfirmBackup(CVELDAR2Engine& engine, DialogServices& services, DialogWindow& owner) {
  // With generations, a run deletes only generations, which are its own.
  if (engine.generationCount > 1) return RunConfirmation::kGoOn;
  FileStatus source;
  if (!Stat(engine.os, engine.sourcePath, /*followLink=*/true, &source).ok() || source.kind != EntryKind::Directory) {
    return RunConfirmation::kGoOn;
  }
  return Confirm(
      engine, services, owner, /*restore=*/false,
      [job = BackupJobOf(engine)](const RunServices& services, const DryRunOutput& output, const RunControl& control) {
        MirrorTotals planned;
        (void)DryRunBackup(job, services, output, &planned, control);
      });
}

RunConfirmation ConfirmRestore(CVELDAR2Engine& engine, int number, DialogServices& services, DialogWindow& owner) {
  return Confirm(engine, services, owner, /*restore=*/true,
                 [number, job = RestoreJobOf(engine)](const RunServices& services, const DryRunOutput& output,
                                                      const RunControl& control) {
                   MirrorTotals planned;
                   (void)DryRunRestore(job, services, number, output, &planned, control);
                 });
}

}  // namespace veldar
