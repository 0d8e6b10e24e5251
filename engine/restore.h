#pragma once
// The restore run: one generation of the current source copied back into a
// directory of the user's choice, and the texts the restore dialog lists the
// generations with.
//
// The restore dialog (ui/restore_dialog.h) stays a thin window over these: it
// shows `GenerationRows`, asks for the restore directory and calls the
// engine's `RunRestore` (engine.h) for the row the user picked, which builds
// a `RestoreJob` (job.h) from the engine's fields. Everything here works on
// that value and reaches the system through the `Os` it is given, so it runs
// and is tested without a window or an engine.

#include <memory>
#include <string>
#include <vector>

#include "engine/dry_run.h"
#include "engine/job.h"
#include "engine/mirror_plan.h"
#include "engine/reporter.h"

namespace veldar {

// One row of the restore list: "(-%d) %-20s   %s" from the generation number
// plus 1, the generation's name padded with blanks to 20 characters (a longer
// name is kept whole) and its creation time as local "%m/%d/%y %H:%M:%S"
// (empty when the time cannot be converted).
std::string GenerationRow(const CFileEntry& generation);

// The rows of the whole list in generation order, newest first, so that row n
// stands for the generation numbered n. A record numbered outside 0 to g - 1
// (g records) gets no row.
std::vector<std::string> GenerationRows(const std::vector<CFileEntry>& generations);

// The name a directory generation is restored under: its name up to, not
// including, its last "_" (docs_2 gives docs). Empty when there is no such
// name (no "_", or nothing before it): restoring such a generation would make
// the restore directory itself the target.
std::string DirRestoreName(const std::string& generationName);

// The name a file generation ("<base>_<slot>.<extension part>_") is restored
// under: "<base>.<extension part>", or the extension part alone when the base
// is empty (_1.README_ gives README). A base-less generation of a source whose
// own name is "." + the extension part (.bashrc) gets that name back. Empty
// when the name does not have the generation form.
std::string FileRestoreName(const std::string& generationName, const std::string& sourceName);

// What a restore, -LIST and the restore button find of a source before they
// go on: the source path names what is restored and need not exist (a
// restore is what a lost source needs). The paths are tidied as the backup's
// pre-check tidies them (trailing separators; "." and ".." by the directory
// they stand for); the source's kind is taken from it where it exists, else
// from the generations the backup directory holds under its name
// (Generations::FindOfSource). Nothing is reported.
struct RestoreSource {
  std::string sourcePath;  // tidied
  std::string backupDir;   // tidied
  std::string name;        // what its generations are named after; empty for a root
  // Its generations, numbered 0 for the newest (those read before a scan
  // failed, if one did); none for a root.
  std::vector<CFileEntry> generations;
  bool directory = true;  // whether they are directory generations
  // The directories under generation names marked as none yet or none
  // any more (Generations::Incomplete).
  std::vector<std::string> incomplete;
  // Why the backup directory could not be opened or read; ok otherwise.
  Status scan;
  std::unique_ptr<OsDir> backup;  // the backup directory as opened (null where it could not be)
};
RestoreSource FindRestoreSource(Os& os, const std::string& sourcePath, const std::string& backupDir);

// The restore's refusal of `found`, with a message shown (or, with the
// no-message flag, logged) through `reporter` and 0 returned: a source path
// without a name (a root); a backup directory that cannot be opened or read
// (missing, no directory, denied); a backup directory that holds no
// generation of the source. The generation count plays no part: a restore
// makes none. 1: it can be restored.
[[nodiscard]] int RefuseRestoreSource(Os& os, const RestoreSource& found, Reporter& reporter);

// Restores the generation numbered `number` of the job's generation list
// into the job's restore directory, as one logged run ("Starting with
// Restore button"). A file generation is copied (atomically, replacing an
// existing file) to the rebuilt file name; a directory generation is mirrored
// into the restore directory + its rebuilt name, which is created if missing.
// The restore directory is created with its parents when it does not exist.
// A restore directory that is the backup directory or lies inside it is
// refused, whatever the generation.
//
// With `only` (paths relative to the source, names separated by '/': see
// generation_path.h), just those files and folders of a directory
// generation come back, each at its place below the target
// (RESDIR/docs/reports/2026.xlsx): a file copied, a folder mirrored exactly
// (deleting inside it what the generation lacks, unless no-delete), the
// directories on the way made where missing (with the generation's
// permissions); nothing else in the target is touched. Every path is found
// in the generation before anything is changed: one it lacks is refused,
// named, and so is `only` with a file generation.
//
// On success (everything copied, no operation failed and was passed over) the
// restore directory is stored (`SaveRestoreDir`, job.h) and the result carries
// "レストア完了しました。". Otherwise the result carries a message that says the
// restore failed or was refused, and why: the generation has no name to restore under, the target overlaps
// the backup directory, a directory could not be created, the copy or the
// mirror failed. A failure line is then in the log. The log is opened here
// and closed before this returns; the message is for the caller to show.
//
// REQUIRES: the restore directory is set (expanded) and not empty; the list
// was built for the job's source and backup directory.
struct RestoreResult {
  int ok = 0;
  std::string message;
  bool cancelled = false;  // stopped at the user's request ("Canceled by User" logged)
  // Refused: another run holds the backup directory, or its lock cannot be
  // taken (the message says which).
  bool busy = false;
  // Files whose content the generation's manifest shows damaged: restored
  // as they are, each a failure line ("File Damaged In Generation : "),
  // with the other generations that hold it intact; the restore is
  // otherwise complete (`ok`).
  int damaged = 0;
  RunSummary summary;  // what it copied and deleted, and how long it took
};
RestoreResult RunRestore(const RestoreJob& job, const RunServices& services, int number,
                         const RunControl& control = RunControl(), const std::vector<std::string>& only = {});

// A dry run of `RunRestore` (dry_run.h): the same checks and refusals, then
// what the restore would do told to `output`, with nothing changed, no lock
// taken, no log opened and no settings written. The message is empty on
// success; `planned` receives what the copy would cost.
RestoreResult DryRunRestore(const RestoreJob& job, const RunServices& services, int number, const DryRunOutput& output,
                            MirrorTotals* planned, const RunControl& control = RunControl(),
                            const std::vector<std::string>& only = {});

}  // namespace veldar
