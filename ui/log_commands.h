#pragma once
// The user's three commands on the activity log, reached from the main
// dialog's log menu: view it, delete it, and change its size limit and its two
// options.
//
// They work on the log file between runs and on the engine's log settings.
// What they need from the desktop (opening a file with its associated program,
// running the log size dialog) comes through `LogCommandUi`, so that they run
// and are tested without a window; the question before deleting goes through
// the engine's `UserMessages`.

#include <cstdint>
#include <string>

#include "engine/engine.h"

namespace veldar {

// The values the log size dialog edits.
struct LogSizeValues {
  std::uint32_t logSize = 500;  // KB, 100 to 10000 once the dialog accepted it
  int successLog = 1;
  int skipLog = 1;
};

class LogCommandUi {
 public:
  virtual ~LogCommandUi() = default;
  // Opens `path` with the program the desktop associates with it. Whether
  // that works is not reported back.
  virtual void OpenWithDesktop(const std::string& path) = 0;
  // Runs the log size dialog on `values`. True when it was closed with OK,
  // `values` then holding what the user accepted; false (values unchanged)
  // for Cancel.
  virtual bool RunLogSizeDialog(LogSizeValues& values) = 0;
};

// The log file "VELDAR2.LOG" in the log directory, built afresh.
std::string LogFilePath(CVELDAR2Engine& engine);

// Hands the log's path to the desktop, whether or not the log exists.
void ViewLog(CVELDAR2Engine& engine, LogCommandUi& ui);

// Asks "ﾛｸﾞを消してよろしいですか？" (OK / Cancel); on OK deletes the log. A log
// that is missing or cannot be deleted is left without a word; the working
// file "VELDAR2.TMP" is never touched.
void ClearLog(CVELDAR2Engine& engine);

// Runs the log size dialog on the engine's limit and options. On OK a changed
// limit is taken over and written to the settings at once ("LOGSIZE", "%d");
// the two options are taken over in any case of OK and saved when the main
// dialog closes. On Cancel nothing changes.
void ChangeLogSize(CVELDAR2Engine& engine, LogCommandUi& ui);

}  // namespace veldar
