#pragma once
// CVELDAR2App: the application object. It owns the engine for the life of the
// process and decides, once, what the process does: nothing (another
// instance's window is open and the start would change something), one batch
// run (parameters were given), or the interactive main dialog (no parameters).
//
// The parts that need a window system are passed in as functions, so that the
// batch path and the tests run without one.

#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/desktop_notifier.h"
#include "app/stream_messages.h"
#include "engine/backup.h"
#include "engine/engine.h"
#include "engine/reporter.h"
#include "engine/run_progress.h"
#include "platform/conventions.h"
#include "res/language.h"

namespace veldar {

// Exit statuses of the program.
enum ExitStatus : int {
  kExitSuccess = 0,         // the run succeeded with no failure
  kExitPartialFailure = 1,  // the run finished, but operations failed and were passed over
  kExitFailure = 2,         // the run failed or was refused; also a start without a job
  kExitOtherInstance = 3,   // another instance's window is open, or another run holds the backup directory
};

class CVELDAR2App {
 public:
  CVELDAR2App(Os& os, UserMessages& messages, SettingsStore& settings);

  // Runs this start with the program's arguments (without the program name).
  // Returns the process's exit status. `out` receives the usage and version
  // texts, a dry run's lines and totals, the list of generations, and a
  // run's summary line (on a terminal, or with -VERBOSE); `err`, in `language`: why a batch start did nothing (another
  // instance's window is open: status 3), the refusal of arguments that
  // cannot be passed on (status 2, nothing read or run), the paths beyond
  // the second that a batch run does not use, the failure lines the log
  // could not take (for the dialog's runs too), and for a batch run that did
  // not succeed what stopped it (with its path and the system's reason,
  // unless a message on standard error said so already) and a one-line
  // summary, which sends the user to the log only where the log holds why.
  [[nodiscard]] int InitInstance(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err);
  // The same for a system that hands the program its parameter text whole
  // (Windows: the command line after the program name, quotes and all): the
  // text goes to the parser as it is. Help and version are answered when a
  // word of it (blank-separated; a quoted path is one word, never an option)
  // is --help, -h, /? (with '/' options) or --version. An unquoted word that
  // begins with the option character and is no option the parser knows is
  // refused with status 2 before anything is read or run: the parser would
  // drop it, or read "/M..." as a count of 0 that mirrors the source straight
  // over the stored backup directory.
  [[nodiscard]] int InitInstanceFromText(const std::string& parameterText, std::ostream& out, std::ostream& err);

  // Asks an open instance of the program to show its window. False: one was
  // found (and shown), stop; true: go on. Not set: there is no instance check.
  // Not asked for a list or a dry run, which change nothing and run whatever
  // window is open.
  std::function<bool()> findRunningInstance;
  // Shows the main dialog modally on the engine; returns the exit status.
  // Not set: a start without parameters prints the usage and fails.
  std::function<int(CVELDAR2Engine&)> showMainDialog;

  // Reads the parameter text kept in `commandLine` into the engine. 0: it was
  // empty; 1: parameters were present.
  [[nodiscard]] int ParseParameters();
  void LoadSettings();

  std::string commandLine;
  CVELDAR2Engine engine;
  // What the parameters asked for beyond the job: a dry run, a list, a
  // restore, excludes, the summary off a terminal.
  BatchRequest request;
  // What the last batch run did.
  BackupOutcome outcome;
  // The batch run's progress. A stop asked of it (RequestCancel, from a
  // signal handler for one) ends the run as cancelled, with status 2.
  RunProgress batchProgress;
  // Standard error is a terminal this many columns wide: the batch run shows
  // its progress there on one self-updating line. 0: no line (a file, a
  // pipe, a scheduler), so that logs and scripts see only the summary.
  int progressColumns = 0;
  // The language of what the program writes to standard output and error
  // (the dialogs take theirs from the same settings); the log and the
  // settings never change with it.
  Language language = Language::kJapanese;
  // The character that starts an option: '-' on POSIX, '/' on Windows.
  char optionChar = Conventions::Native().optionChar;
  // Where the engine's messages go when no box can be shown, if there: the
  // batch run names the path and the reason of a failure in their lines,
  // and keeps them off its progress line. May be null.
  StreamMessages* standardErrorMessages = nullptr;
  // Standard output is a terminal: a backup or restore run ends with its
  // summary line there (anywhere with -VERBOSE).
  bool standardOutputIsTerminal = false;
  // Told when a backup or restore run that no terminal watches (neither
  // standard output nor standard error is one) does not succeed, or when its
  // parameters are refused. May be null.
  Notifier* notifier = nullptr;
  // Called when the batch run begins (true) and ends (false): where the
  // system's stop requests (Ctrl-C) are turned to `batchProgress`. May be
  // empty.
  std::function<void(bool running)> onBatchRun;

 private:
  // What both entry points do once `commandLine` holds the parameter text.
  [[nodiscard]] int Start(std::ostream& out, std::ostream& err);
  // True when `commandLine` asks for a list or a dry run, which write
  // nothing: no open dialog stops them.
  bool ChangesNothing();
  // The batch run the parameters asked for: a backup (or its dry run), a
  // list, or a restore (or its dry run). Returns the exit status.
  [[nodiscard]] int RunBatch(std::ostream& out, std::ostream& err);
  [[nodiscard]] int RunBackupBatch(std::ostream& out, std::ostream& err);
  [[nodiscard]] int RunRestoreBatch(std::ostream& out, std::ostream& err);
  // Tells on `err` why the backup run (`outcome`) did not succeed, if it did
  // not; returns its exit status.
  [[nodiscard]] int TellBackupEnd(std::ostream& err);
  // Tells on `err`, in the user's language, what the backup medium of a run
  // (`result`) cannot keep, on the source's first run into it; that files
  // private in the source are readable there by others; and (not for a dry
  // run, whose failure lines go to `err` already) what it left out.
  void TellMedium(const BackupOutcome& result, bool dryRun, std::ostream& err);
  // Runs `run` with a control whose progress is `batchProgress`, drawn on
  // `err` as the progress line where that is a terminal, with the failure
  // lines the log cannot take and the engine's messages written there
  // between its redraws. True when a message on `err` has told the run's
  // report (its path and reason), so that the summary need not. A dry run
  // (`dryRun`) draws no progress line among the lines it prints, and opens
  // no log: its failure lines go to `err`, the one that is its report told
  // as the message of a real run is.
  bool Watch(std::ostream& err, const std::function<void(const RunControl&)>& run, bool dryRun = false);
  // The totals line that ends a dry run that was not refused; kExitSuccess.
  [[nodiscard]] int PrintDryRunTotals(const MirrorTotals& planned, std::ostream& out);
  // Writes each item of a dry run on `out` as it comes, one line each.
  DryRunOutput DryRunPrinter(std::ostream& out) const;
  // The end of a backup or restore run: the summary line on `out` where it
  // is wanted, and the desktop told of a failure (`status` not 0) that no
  // terminal watched. `failed`: the notification's title, in Japanese
  // (translated here).
  void Finish(int status, const RunSummary& summary, const char* failed, std::ostream& out);
  // Whether a failure of this start would pass unseen: no terminal watches
  // (neither standard output nor standard error is one) and a notifier is
  // there to tell the desktop instead.
  bool Unwatched() const;
  // Refuses the parameters: `refusal` on `err`, the desktop told where no
  // terminal watches. Returns kExitFailure.
  [[nodiscard]] int RefuseParameters(const std::string& refusal, std::ostream& err);
  // Says which paths the run does not use (all but the first and the last),
  // on `err` and, with the no-message flag, in the log.
  void ReportUnusedPaths(std::ostream& err);
  Os& os_;
  UserMessages& messages_;
  SettingsStore& settings_;
  std::vector<std::string> paths_;  // the path arguments, as the parser took them
  bool reportShown_ = false;        // the last run's report is told on standard error
};

// The parameter text of a Windows command line: what follows the program
// name and the blanks after it. The name ends at the first space or tab
// outside double quotes (a quoted part may hold blanks: "C:\Program
// Files\veldar2.exe"), as the C runtime reads it.
std::string ProgramParameterText(const std::string& commandLine);

// A run's `report` in `language` on one line, naming the path it is about
// and the system's reason (the text of its error code) where it has them.
std::string DescribeReport(const Report& report, Language language, Os& os);

// The usage text in `language`.
std::string UsageText(char optionChar, Language language = Language::kJapanese);

}  // namespace veldar
