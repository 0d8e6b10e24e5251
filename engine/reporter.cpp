#include "engine/reporter.h"

namespace veldar {

std::string Reporter::FailureLine(std::string_view what, std::string_view path, const Status& status,
                                  CodeSpacing spacing) {
  std::string line;
  line.reserve(what.size() + path.size() + 20);
  line.append(what).append(path);
  line += spacing == CodeSpacing::kTight ? " : ERR= " : " : ERR = ";
  line += std::to_string(status.code());
  return line;
}

Reporter::Reporter(ActivityLog& log, UserMessages& messages, LogOptions options, bool noMessage, RunControl control)
    : log_(log), messages_(messages), options_(options), noMessage_(noMessage), control_(std::move(control)) {}

void Reporter::Done(const std::string& text, bool blankLineAfter) {
  if (options_.success) log_.Write(text, blankLineAfter);
}

void Reporter::DoneDeferred(const std::string& text) {
  if (options_.success) log_.WriteDeferred(text);
}

void Reporter::Skipped(const std::string& text) {
  if (options_.skip) log_.Write(text);
}

void Reporter::SkippedDeferred(const std::string& text) {
  if (options_.skip) log_.WriteDeferred(text);
}

void Reporter::LeftUndone(const std::string& text) {
  ++counts_.leftUndone;
  Skipped(text);
}

void Reporter::LeftUndone(std::string_view what, std::string_view path, const Status& status) {
  ++counts_.leftUndone;
  if (options_.skip) log_.Write(FailureLine(what, path, status, CodeSpacing::kTight));
}

void Reporter::Note(const std::string& text) { log_.Write(text); }

void Reporter::Failure(std::string_view what, std::string_view path, const Status& status, CodeSpacing spacing) {
  ++failures_;
  const Report report{FailureLine(what, path, status, spacing), std::string(), status, what.size() + path.size()};
  KeepRecent(report);
  // The report first: whoever hears of it may then tell the line apart.
  if (!mediumGone_) SetReport(report);
  log_.WriteFailure(report.text);
  CheckMedium(status);
}

void Reporter::Failure(const std::string& text) {
  ++failures_;
  KeepRecent({text, std::string(), Status()});
  if (!mediumGone_) SetReport({text, std::string(), Status()});
  log_.WriteFailure(text);
  CheckMedium(Status());
}

void Reporter::LeaveOut(const std::string& line, LeftOut entry) {
  ++failures_;
  ++leftOutCount_;
  if (leftOut_.size() < kLeftOutKept) leftOut_.push_back(std::move(entry));
  log_.WriteFailure(line);
}

void Reporter::Consequence(const std::string& text) {
  // The report stays with the failure behind it, whose code the message
  // that follows takes.
  log_.WriteFailure(text);
}

void Reporter::Vanished(const std::string& path) {
  ++vanished_;
  log_.Write("Source vanished, copy canceled! : " + path);
}

void Reporter::ScanFailure(const std::string& text) {
  if (noMessage_ || mediumGone_) {
    Failure(text);
    return;
  }
  // The box waits for the user: whether the medium went away is asked first,
  // so that what the user sees is why.
  ++failures_;
  KeepRecent({text, std::string(), Status()});
  CheckMedium(Status());
  if (mediumGone_) {
    log_.WriteFailure(text);
    return;
  }
  SetReport({text, std::string(), Status()});
  messages_.Show(text);
}

void Reporter::WatchMedium(std::function<bool(const Status& failure)> gone, std::string message, std::string path) {
  mediumGoneIf_ = std::move(gone);
  goneMessage_ = std::move(message);
  mediumPath_ = std::move(path);
}

void Reporter::CheckMedium(const Status& status) {
  if (mediumGone_ || !mediumGoneIf_ || !mediumGoneIf_(status)) return;
  mediumGone_ = true;
  // Not counted: the failure that found it is. The log says it in its own
  // words, the user is told in theirs.
  log_.WriteFailure("Backup Medium Gone, Run Stopped");
  SetReport({goneMessage_, mediumPath_, status});
  if (!noMessage_) messages_.Show(goneMessage_);
}

void Reporter::Show(const std::string& text) {
  // Once the medium went away, that is the last the user is told.
  if (mediumGone_) return;
  // A message that follows a failure line is about that failure: the line
  // holds the system's error code, which the message leaves out. (A message
  // that follows another message takes none.)
  const bool ofLine = report_.codeAt != std::string::npos;
  SetReport({text, std::string(), ofLine ? report_.status : Status()});
  if (!noMessage_) messages_.Show(text);
}

int Reporter::Refuse(const std::string& message, const std::string& path) {
  SetReport({message, path, Status()});
  if (noMessage_) {
    log_.WriteFailure(message);  // not counted: the run stops here
  } else {
    messages_.Show(message);
  }
  return 0;
}

void Reporter::SetReport(Report report) {
  report_ = std::move(report);
  if (control_.onReport) control_.onReport(report_);
}

void Reporter::KeepRecent(const Report& report) {
  if (recent_.size() == kRecentKept) recent_.erase(recent_.begin());
  recent_.push_back(report);
}

}  // namespace veldar
