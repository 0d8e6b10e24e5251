#include "log/activity_log.h"

#include "res/string_table.h"
#include "platform/os_paths.h"
#include "platform/conventions.h"

namespace veldar {
namespace {

constexpr int kOpenAttempts = 5;
constexpr int kOpenRetryMs = 500;
constexpr std::size_t kCopyChunk = 1 << 20;

// A file name may hold any byte but the separator; written raw, a line feed or
// an escape sequence in a name could break or forge a log line, or drive the
// terminal it is shown on. Control bytes are therefore written as C-style
// escapes, and so are the C1 control characters U+0080 to U+009F (which UTF-8
// writes as C2 80 to C2 9F: NEL breaks lines for Unicode-aware readers, CSI
// starts a terminal's control sequence) and the two other characters such
// readers take for line breaks, LINE SEPARATOR and PARAGRAPH SEPARATOR
// (E2 80 A8 and E2 80 A9).
bool PlainByte(unsigned char c) { return c >= 0x20 && c != 0x7f && c != 0xc2 && c != 0xe2; }

void AppendEscaped(std::string& out, const std::string& text) {
  static const char kHex[] = "0123456789abcdef";
  for (std::size_t i = 0; i < text.size(); ++i) {
    // Runs of bytes that need no escape go in one piece.
    std::size_t end = i;
    while (end < text.size() && PlainByte(static_cast<unsigned char>(text[end]))) ++end;
    if (end > i) {
      out.append(text, i, end - i);
      i = end - 1;
      continue;
    }
    const unsigned char c = static_cast<unsigned char>(text[i]);
    const unsigned char next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
    const unsigned char third = i + 2 < text.size() ? static_cast<unsigned char>(text[i + 2]) : 0;
    if (c == 0xc2 && next >= 0x80 && next <= 0x9f) {
      out += "\\u00";
      out += kHex[next >> 4];
      out += kHex[next & 0xf];
      i += 1;
      continue;
    }
    if (c == 0xe2 && next == 0x80 && (third == 0xa8 || third == 0xa9)) {
      out += third == 0xa8 ? "\\u2028" : "\\u2029";
      i += 2;
      continue;
    }
    if (c >= 0x20 && c != 0x7f) {
      out += static_cast<char>(c);
      continue;
    }
    switch (c) {
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        out += "\\x";
        out += kHex[c >> 4];
        out += kHex[c & 0xf];
    }
  }
}

}  // namespace

std::string EscapeLogText(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  AppendEscaped(out, text);
  return out;
}

ActivityLog::ActivityLog(Os& os, const std::int32_t& sizeLimitKb, const Conventions& conventions)
    : os_(os), lineEnd_(conventions.lineEnd), sizeLimitKb_(sizeLimitKb) {}

ActivityLog::~ActivityLog() {
  if (file_) FlushDeferred();
}

int ActivityLog::Open() {
  const std::string directory = os_.LogDir();
  (void)os_.CreateDirTree(directory);  // a failure shows as a failed open below
  path_ = directory + LoadString(IDS_LOG_NAME);
  workingPath_ = directory + LoadString(IDS_TMPLOG_NAME);
  file_.reset();
  opened_ = false;
  writeFailed_ = false;
  pid_ = std::to_string(os_.ProcessId());
  waitedMs_ = 0;

  for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
    // The log becomes the working file unless a working file is already there
    // (left by an interrupted run, or held by another process). Tried at every
    // attempt, so that a process that waited for another one's run picks up
    // the log that run has just put back.
    (void)MoveNoReplace(os_, path_, workingPath_);
    if (os_.OpenExclusive(workingPath_, &file_).ok()) {
      opened_ = true;
      return 1;
    }
    file_.reset();
    os_.SleepMs(kOpenRetryMs);
    waitedMs_ += kOpenRetryMs;
  }
  return 0;
}

bool ActivityLog::Write(const std::string& text, bool blankLineAfter) {
  return Put(text, blankLineAfter, /*deferred=*/false);
}

bool ActivityLog::WriteDeferred(const std::string& text) {
  return Put(text, /*blankLineAfter=*/false, /*deferred=*/true);
}

bool ActivityLog::FlushDeferred() {
  if (deferred_.empty()) return true;
  const bool written = file_->Append(deferred_).ok();
  deferred_.clear();
  if (!written) writeFailed_ = true;
  return written;
}

bool ActivityLog::Put(const std::string& text, bool blankLineAfter, bool deferred) {
  if (!file_) return false;  // no working file: the line has nowhere to go
  const std::int64_t now = os_.Now();
  if (now != timeSecond_) {
    timeSecond_ = now;
    timeText_ = FormatLocalTime(now, "%m/%d/%y %H:%M:%S");
  }
  std::string line;
  line.reserve(pid_.size() + timeText_.size() + text.size() + 8);
  line += pid_;
  line += " : ";
  line += timeText_;
  line += " : ";
  AppendEscaped(line, text);
  line += lineEnd_;
  if (blankLineAfter) line += lineEnd_;
  if (deferred) {
    deferred_ += line;
    return deferred_.size() < kDeferredLimit || FlushDeferred();
  }
  // Every other line is written at once, after the deferred ones before it:
  // the lines of the last operations before a crash are the ones a user
  // needs most.
  if (!FlushDeferred() || !file_->Append(line).ok()) {
    writeFailed_ = true;
    return false;
  }
  return true;
}

void ActivityLog::WriteFailure(const std::string& text) {
  // A log cut to nothing at the end of the run (size limit 0) keeps no
  // failure either: it is not lost.
  if ((!Write(text) || sizeLimitKb_ <= 0) && onUnloggedFailure) onUnloggedFailure(text);
}

bool ActivityLog::HoldsRun() const { return opened_ && !writeFailed_ && sizeLimitKb_ > 0; }

void ActivityLog::Close() {
  waitedMs_ = 0;  // the wait was that run's
  if (!file_) return;
  FlushDeferred();
  std::uint64_t length = 0;
  if (!file_->Size(&length).ok()) {
    // Without a length nothing can be trimmed safely: keep the working file.
    file_.reset();
    return;
  }
  std::int64_t cap = static_cast<std::int64_t>(sizeLimitKb_) * 1000;
  if (cap < 0) cap = 0;

  if (length <= static_cast<std::uint64_t>(cap)) {
    // Renamed while still locked, so that a process waiting for the lock finds
    // the name gone and starts over instead of writing into the log.
    (void)MoveNoReplace(os_, workingPath_, path_);
    file_.reset();
    return;
  }

  std::unique_ptr<OsFile> log;
  if (!os_.OpenExclusive(path_, &log).ok()) {
    file_.reset();  // the working file keeps the only copy; the next run carries it on
    return;
  }
  bool written = true;
  char last = '\n';
  std::string chunk;
  for (std::uint64_t offset = length - static_cast<std::uint64_t>(cap); offset < length;) {
    if (!file_->ReadAt(offset, kCopyChunk, &chunk).ok() || chunk.empty()) {
      written = false;
      break;
    }
    offset += chunk.size();
    last = chunk.back();
    if (!log->Append(chunk).ok()) {
      written = false;
      break;
    }
  }
  // Every kept line ends in a line break, the last one included.
  if (written && last != '\n') written = log->Append(std::string(lineEnd_)).ok();
  if (written) written = log->Sync().ok();
  log.reset();
  if (written) (void)DeleteFile(os_, workingPath_);
  file_.reset();
}

}  // namespace veldar
