#pragma once
// Asking before a run started from a dialog deletes what the user may not
// have made with this program: a backup mirrored straight into the backup
// folder (a count of 0 or 1) deletes there whatever the source lacks, and a
// restore deletes from the folder restored to whatever the generation lacks
// and puts the generation's files over newer ones.
//
// The run is first planned by a dry run of it (DryRunBackup, DryRunRestore)
// behind the progress window, on a copy of the job that shows and logs
// nothing; what the plan would delete (and, for a restore, replace with
// older content) is then shown, counted and with its first paths, in a
// question with OK and Cancel. A plan that deletes nothing asks nothing.
// Batch runs never ask: they have -DRYRUN.

#include <cstdint>
#include <string>
#include <vector>

#include "engine/dry_run.h"

namespace veldar {

class CVELDAR2Engine;
class DialogServices;
class DialogWindow;

// What a plan would take from the user: entries deleted (a folder with all
// in it counts once) and files replaced by older content, each with its
// first paths (full paths; a folder ends in the separator).
struct PlannedLosses {
  static constexpr std::size_t kShownPaths = 5;
  std::uint64_t deletions = 0;
  std::uint64_t newerReplaced = 0;
  std::vector<std::string> deleted, replaced;

  // Takes one item of a dry run; `separator` joins its paths to the copy's.
  void Add(const DryRunItem& item, char separator);
  bool empty() const { return deletions == 0 && newerReplaced == 0; }

 private:
  std::string into_;  // the copy the items' paths are relative to
};

// The question for `losses` (in the program's language, translated where it
// is shown): what would be deleted and replaced, and that Cancel changes
// nothing. `restore`: the folder written to is the one restored to.
std::string ConfirmationText(const PlannedLosses& losses, bool restore);

enum class RunConfirmation {
  kGoOn,      // nothing to ask, or the user said OK
  kDeclined,  // the user said Cancel: nothing is to be changed
  kStopped,   // the user stopped the planning behind the progress window
};

// Before the dialog's backup of `engine`'s job (its fields set as the run
// will use them): a mirror of a directory straight into the backup folder
// is planned and, where it would delete anything, the user is asked.
RunConfirmation ConfirmBackup(CVELDAR2Engine& engine, DialogServices& services, DialogWindow& owner);

// Before the dialog's restore of the generation numbered `number` into the
// engine's restore directory: planned, and asked where it would delete
// anything or replace a newer file.
RunConfirmation ConfirmRestore(CVELDAR2Engine& engine, int number, DialogServices& services, DialogWindow& owner);

}  // namespace veldar
