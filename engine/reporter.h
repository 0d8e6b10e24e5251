#pragma once
// Reporter: how one run tells what it did. Every part of a run (the file
// operations, the tree deletion, the mirror, the backup and restore runs)
// writes through it: lines about work done and work left undone (as the two
// log options allow), failure lines (always, and counted), message boxes
// (unless the no-message flag is set), and what vanished from the source.
// What it counted is the run's outcome.
//
// RunControl: what a caller hands a run besides its job: where its progress
// goes, who hears of each finished copy, and whether it was asked to stop.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/run_progress.h"
#include "engine/run_summary.h"
#include "engine/user_messages.h"
#include "log/activity_log.h"
#include "platform/status.h"

namespace veldar {

// What a run told the user about a failure, for those who did not see it (a
// batch run repeats it on standard error, in the user's language): a message
// shown (or, with the no-message flag, logged or passed over instead), or a
// failure line. `path` is the path it is about where `text` does not name
// it; `status` the failure behind it, success when none is known.
struct Report {
  std::string text;
  std::string path;
  Status status;
  // Where the system's code that ends `text` begins (" : ERR = 13"), so that
  // it can be told as the system's reason instead; npos when `text` ends in
  // none.
  std::size_t codeAt = std::string::npos;
};

// How a failure line gives the system's code: " : ERR = 13" (what force mode
// could not do, and every other failure), or " : ERR= 13" (what no-force
// mode left undone, and a directory that could not be made).
enum class CodeSpacing : std::uint8_t { kSpaced, kTight };

// A source entry a backup medium cannot hold, left out of a copy.
struct LeftOut {
  std::string path;    // the source entry
  const char* reason;  // why: a pattern of the translation table (medium.h)
  std::string other;   // for a twin by case: the source entry copied in its stead
};

struct RunControl {
  // The progress of the run and the user's wish to stop it; may be null.
  RunProgress* progress = nullptr;
  // Called after each file copied, with the source path and its size; the
  // dialog's progress window listens here. May be empty.
  std::function<void(const std::string& path, std::uint64_t bytes)> onFileCopied;
  // Called whenever the run's report changes (before the message that goes
  // with it is shown). May be empty.
  std::function<void(const Report& report)> onReport;

  // True when a stop has been asked for.
  bool Cancelled() const { return progress && progress->Cancelled(); }
};

// The two log options: lines about work done, lines about work left undone.
struct LogOptions {
  bool success = true;
  bool skip = true;
};

class Reporter {
 public:
  Reporter(ActivityLog& log, UserMessages& messages, LogOptions options, bool noMessage,
           RunControl control = RunControl());
  Reporter(const Reporter&) = delete;
  Reporter& operator=(const Reporter&) = delete;

  // A line about work done (success-log option), followed by an empty line
  // with `blankLineAfter`; `Deferred` lines may wait in memory for the next
  // other line (ActivityLog::WriteDeferred).
  void Done(const std::string& text, bool blankLineAfter = false);
  void DoneDeferred(const std::string& text);
  // A line about work left undone (skip-log option).
  void Skipped(const std::string& text);
  void SkippedDeferred(const std::string& text);
  // A line about work no-force mode left undone (skip-log option), counted
  // for the run's summary: the copy keeps something the source has changed.
  void LeftUndone(const std::string& text);
  // The same, ended by the code of the `status` that left it undone
  // (`FailureLine`, `CodeSpacing::kTight`).
  void LeftUndone(std::string_view what, std::string_view path, const Status& status);
  // A line that is always written and is no failure.
  void Note(const std::string& text);
  // A failure line, always written and counted: the operation `what` (the
  // line up to the path: "Flush Failed : ") on `path` failed with `status`
  // (`FailureLine`). The run's report takes it, with its status.
  void Failure(std::string_view what, std::string_view path, const Status& status,
               CodeSpacing spacing = CodeSpacing::kSpaced);
  // A failure line that names no system code (a job refused, an entry that
  // cannot go where it should), always written and counted.
  void Failure(const std::string& text);
  // The line of a failure: `what`, `path`, and the code of `status` as
  // `spacing` has it ("Flush Failed : /b : ERR = 28"); without a path,
  // `what` and the code ("Scratch File Write Failed : ERR = 28").
  static std::string FailureLine(std::string_view what, std::string_view path, const Status& status,
                                 CodeSpacing spacing = CodeSpacing::kSpaced);
  // A failure line, always written but not counted: what failures counted
  // already came to (a copy they left incomplete replaces no generation).
  void Consequence(const std::string& text);
  // The source entry at `path` vanished (or changed kind) between its
  // listing and its copy: always logged and counted; the run ends with exit
  // status 1, but the copy is complete as far as the source still goes.
  void Vanished(const std::string& path);
  // A source file that could not be read and whose last good copy a new
  // generation took instead (its failure line is already written).
  void Unreadable() { ++unreadable_; }
  // A source entry the backup medium cannot hold, left out of the copy: its
  // failure line, always written and counted, but counted apart too
  // (`leftOutCount`), so that a copy lacking only such entries is complete;
  // the first `kLeftOutKept` are kept for the run's outcome. The report
  // stays as it was: the entries are told together.
  void LeaveOut(const std::string& line, LeftOut entry);
  static constexpr std::size_t kLeftOutKept = 20;
  // What the run did, for its summary: a file copied (`bytes` written), a
  // file shared with an earlier copy, an entry the source no longer has
  // deleted from the copy (a directory with all in it counts once).
  void CountCopied(std::uint64_t bytes) {
    ++counts_.copied;
    counts_.bytes += bytes;
  }
  void CountShared() { ++counts_.shared; }
  void CountDeleted() { ++counts_.deleted; }
  // A listing failure that stops the caller: a box, or with the no-message
  // flag a failure line. Counted either way.
  void ScanFailure(const std::string& text);
  // A box, unless the no-message flag is set; the report takes it.
  void Show(const std::string& text);
  // Why a job cannot run, about `path`: a box, or with the no-message flag a
  // failure line that is not counted (the run stops here). Returns 0.
  [[nodiscard]] int Refuse(const std::string& message, const std::string& path);

  // Has every counted failure from now on asked `gone`, with the failure's
  // status (success where it has none), whether the backup medium went
  // away (unplugged, unmounted, its driver or server gone); an empty `gone`
  // ends that. At the first failure it answers yes for, the run stops as a
  // stop asked for stops it (`Cancelled`), a line in the log says so, and
  // the user is told once: a box with `message` (none with the no-message
  // flag); the report is `message` about `path`, with the failure's status.
  // No box follows it.
  void WatchMedium(std::function<bool(const Status& failure)> gone, std::string message = std::string(),
                   std::string path = std::string());
  // True once the backup medium went away (`WatchMedium`).
  bool MediumGone() const { return mediumGone_; }

  bool noMessage() const { return noMessage_; }
  const LogOptions& options() const { return options_; }
  const RunControl& control() const { return control_; }
  // True when the run is to stop: a stop was asked for, or the backup
  // medium went away.
  bool Cancelled() const { return control_.Cancelled() || mediumGone_; }

  int failures() const { return failures_; }
  int vanished() const { return vanished_; }
  int unreadable() const { return unreadable_; }
  int leftOutCount() const { return leftOutCount_; }
  const std::vector<LeftOut>& leftOut() const { return leftOut_; }
  const Report& report() const { return report_; }
  // The failure lines of the run's last counted failures (at most
  // `kRecentKept`), oldest first, each with its status. `report()` is the
  // last of them, or a message told after it.
  const std::vector<Report>& recent() const { return recent_; }
  static constexpr std::size_t kRecentKept = 5;
  // The counts above, with `failed` the failure count; `seconds` is left 0
  // for the run to fill in.
  RunSummary summary() const {
    RunSummary summary = counts_;
    summary.failed = static_cast<std::uint64_t>(failures_);
    return summary;
  }

 private:
  void SetReport(Report report);
  // Keeps `report` of a counted failure in `recent_`.
  void KeepRecent(const Report& report);
  // Asks the watch (`WatchMedium`) about a failure with `status`, and stops
  // the run where the medium went away.
  void CheckMedium(const Status& status);

  ActivityLog& log_;
  UserMessages& messages_;
  const LogOptions options_;
  const bool noMessage_;
  const RunControl control_;
  int failures_ = 0;
  int vanished_ = 0;
  int unreadable_ = 0;
  int leftOutCount_ = 0;
  std::vector<LeftOut> leftOut_;
  RunSummary counts_;
  Report report_;
  std::vector<Report> recent_;
  std::function<bool(const Status& failure)> mediumGoneIf_;
  std::string goneMessage_, mediumPath_;
  bool mediumGone_ = false;
};

}  // namespace veldar
