#pragma once
// ActivityLog: the activity log, one plain-text file that collects a line per
// reported event, across runs and across processes. The engine holds one and
// brackets every run with `Open` and `Close`; the engine's operations write
// their lines through it.
//
// While a run has the log open its lines go to the working file VELDAR2.TMP,
// held under an exclusive lock: that lock is what serialises processes. Each
// line is written to the file as it is made, so a run that is killed loses at
// most the line being written; only lines about entries left as they were
// (`WriteDeferred`) may wait in memory a little, and a killed run may lose
// those. Closing cuts the working file to the size cap
// and puts it back as VELDAR2.LOG, losing nothing on the way.
//
// A failure line that cannot reach the file (the log could not be opened, or
// a write failed) goes to `onUnloggedFailure` instead, so that it is not lost;
// `HoldsRun` then tells the messages of the run not to send the user to the
// log.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/conventions.h"
#include "platform/os.h"

namespace veldar {

class ActivityLog {
 public:
  // `sizeLimitKb` is the cap in KB of 1000 bytes; it is read at every `Close`
  // and must outlive this object.
  ActivityLog(Os& os, const std::int32_t& sizeLimitKb, const Conventions& conventions = Conventions::Native());
  ~ActivityLog();
  ActivityLog(const ActivityLog&) = delete;
  ActivityLog& operator=(const ActivityLog&) = delete;

  // Works out the paths in the OS layer's log directory, renames the log to
  // the working file unless one exists, and opens the working file at its end.
  // Returns 1 when it is open; 0 when five attempts 500 ms apart failed (the
  // working file held by another process, or the directory not writable).
  // A run goes on without it (`HoldsRun` then says so).
  int Open();
  // Writes the line "pid : time : text" to the working file at once, and an
  // empty line after it with `blankLineAfter`. Control bytes and the Unicode
  // line separators in `text` are written escaped, so no text can break a
  // line. Returns true when the line is in the file; false when no working
  // file is open or the write failed (the line is dropped).
  bool Write(const std::string& text, bool blankLineAfter = false);
  // The same for a line that says an entry was left as it was: it may wait in
  // memory (up to `kDeferredLimit` bytes) until the next line of another
  // kind, or the close. A tree with nothing to do costs one write per batch
  // of such lines instead of one per file.
  bool WriteDeferred(const std::string& text);
  static constexpr std::size_t kDeferredLimit = 64 * 1024;
  // Writes a line that reports a failure. When it cannot be written to the
  // file, or the size limit is 0 (the run's lines are cut away when it
  // closes), its text goes to `onUnloggedFailure`, if set.
  void WriteFailure(const std::string& text);
  // Cuts the working file to the cap and puts it back as the log. When the log
  // cannot be written while trimming, the working file is kept whole, for the
  // next run to carry on. Does nothing while no working file is open.
  void Close();

  bool IsOpen() const { return file_ != nullptr; }
  // True when every line of the current (or last) run is in the log: it was
  // opened, no write failed, and the cap keeps something. Messages point the
  // user to the log only then.
  bool HoldsRun() const;

  // How long the last `Open` waited for another process to let the working
  // file go, in milliseconds (0 again once the log is closed): a run that
  // then waits for the backup directory's lock waits only the rest of the
  // time it allows itself.
  int waitedMs() const { return waitedMs_; }

  // Full paths of the log and of the working file, as of the last `Open`.
  const std::string& path() const { return path_; }
  const std::string& workingPath() const { return workingPath_; }

  // Receives the text of failure lines that could not be written to the log,
  // as it was given (unescaped: whoever shows it escapes it for its medium).
  // May be empty: such lines are then dropped.
  std::function<void(const std::string& text)> onUnloggedFailure;

 private:
  Os& os_;
  std::string_view lineEnd_;
  const std::int32_t& sizeLimitKb_;
  // Builds and writes (or, `deferred`, holds) one line.
  bool Put(const std::string& text, bool blankLineAfter, bool deferred);
  // Writes the held lines out. False (and `writeFailed_`) when that failed.
  bool FlushDeferred();

  std::unique_ptr<OsFile> file_;  // the working file while a run has it open
  std::string deferred_;          // lines held by WriteDeferred
  std::string path_;
  std::string workingPath_;
  bool opened_ = false;       // the last Open succeeded
  int waitedMs_ = 0;          // slept by the last Open
  bool writeFailed_ = false;  // a line of the run since then did not reach the file
  std::string pid_;           // read at Open
  // The time text of the second the last line was written in: formatting the
  // time is not free, and lines come many to a second.
  std::int64_t timeSecond_ = -1;
  std::string timeText_;
};

// `text` with control bytes, the C1 control characters U+0080 to U+009F and
// the Unicode line separators U+2028 and U+2029 (in UTF-8) written as C-style
// escapes; every other byte unchanged. The program writes every text that
// may hold a name or a typed path through it, to the log and to a terminal.
std::string EscapeLogText(const std::string& text);

}  // namespace veldar
