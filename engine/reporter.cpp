#include "engine/reporter.h"

namespace veldar {

int ErrorCodeOfFailureLine(const std::string& line) {
  // The file operations end their failure lines with " : ERR = <code>" (the
  // directory operations with "ERR= ").
  const std::size_t at = line.rfind("ERR");
  if (at == std::string::npos) return 0;
  std::size_t i = at + 3;
  while (i < line.size() && line[i] == ' ') ++i;
  if (i >= line.size() || line[i] != '=') return 0;
  ++i;
  while (i < line.size() && line[i] == ' ') ++i;
  const bool negative = i < line.size() && line[i] == '-';
  if (negative) ++i;
  if (i >= line.size()) return 0;
  long long code = 0;
  for (; i < line.size(); ++i) {
    if (line[i] < '0' || line[i] > '9' || code > 0xFFFFFFFFll) return 0;
    code = code * 10 + (line[i] - '0');
  }
  return static_cast<int>(negative ? -code : code);
}

Reporter::Reporter(ActivityLog& log, UserMessages& messages, LogOptions options, bool noMessage,
                   RunControl control)
    : log_(log), messages_(messages), options_(options), noMessage_(noMessage),
      control_(std::move(control)) {}

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

void Reporter::Note(const std::string& text) { log_.Write(text); }

void Reporter::Failure(const std::string& text) {
  ++failures_;
  const int code = ErrorCodeOfFailureLine(text);
  if (!mediumGone_) SetReport({text, std::string(), code});
  log_.WriteFailure(text);
  CheckMedium(code);
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
  CheckMedium(0);
  if (mediumGone_) {
    log_.WriteFailure(text);
    return;
  }
  SetReport({text, std::string(), 0});
  messages_.Show(text);
}

void Reporter::WatchMedium(std::function<bool(int code)> gone, std::string message, std::string path) {
  mediumGoneIf_ = std::move(gone);
  goneMessage_ = std::move(message);
  mediumPath_ = std::move(path);
}

void Reporter::CheckMedium(int code) {
  if (mediumGone_ || !mediumGoneIf_ || !mediumGoneIf_(code)) return;
  mediumGone_ = true;
  // Not counted: the failure that found it is. The log says it in its own
  // words, the user is told in theirs.
  log_.WriteFailure("Backup Medium Gone, Run Stopped");
  SetReport({goneMessage_, mediumPath_, code});
  if (!noMessage_) messages_.Show(goneMessage_);
}

void Reporter::Show(const std::string& text) {
  // Once the medium went away, that is the last the user is told.
  if (mediumGone_) return;
  // A message that follows a failure line is about that failure: the line
  // holds the system's error code, which the message leaves out. (A message
  // never ends in an error code itself, so one that follows another message
  // takes none.)
  SetReport({text, std::string(), ErrorCodeOfFailureLine(report_.text)});
  if (!noMessage_) messages_.Show(text);
}

int Reporter::Refuse(const std::string& message, const std::string& path) {
  SetReport({message, path, 0});
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

}  // namespace veldar
