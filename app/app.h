#pragma once
// CVELDAR2App: the application object. It owns the engine for the life of the
// process and decides, once, what the process does: nothing (another
// instance's window is open), one batch backup (parameters were given), or the
// interactive main dialog (no parameters).
//
// The parts that need a window system are passed in as functions, so that the
// batch path and the tests run without one.

#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "engine/engine.h"

namespace veldar {

// Exit statuses of the program.
enum ExitStatus : int {
  kExitSuccess = 0,          // the run succeeded with no failure
  kExitPartialFailure = 1,   // the run finished, but operations failed and were passed over
  kExitFailure = 2,          // the run failed or was refused; also a start without a job
  kExitOtherInstance = 3,    // another instance's window is open, or another run holds the backup directory
};

class CVELDAR2App {
 public:
  CVELDAR2App(Os& os, UserMessages& messages, SettingsStore& settings);

  // Runs this start with the program's arguments (without the program name).
  // Returns the process's exit status. `out` receives the usage and version
  // texts; `err` the refusal of arguments that cannot be passed on (status
  // 2, nothing read or run), the failure lines the log could not take (for
  // the dialog's runs too), and the one-line summary of a batch run that did
  // not succeed.
  int InitInstance(const std::vector<std::string>& arguments, std::ostream& out,
                   std::ostream& err);

  // Asks an open instance of the program to show its window. False: one was
  // found (and shown), stop; true: go on. Not set: there is no instance check.
  std::function<bool()> findRunningInstance;
  // Shows the main dialog modally on the engine; returns the exit status.
  // Not set: a start without parameters prints the usage and fails.
  std::function<int(CVELDAR2Engine&)> showMainDialog;

  // Reads the parameter text kept in `commandLine` into the engine. 0: it was
  // empty; 1: parameters were present.
  int ParseParameters();
  void LoadSettings();

  std::string commandLine;
  CVELDAR2Engine engine;

 private:
  int RunBatch(std::ostream& err);
  Os& os_;
  SettingsStore& settings_;
};

// The usage text, in Japanese and English.
std::string UsageText(char optionChar);

}  // namespace veldar
