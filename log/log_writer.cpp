// The activity log: one plain-text file collecting a line per reported event,
// across runs and processes.
//
// While a run has the log open its lines go to the working file VELDAR2.TMP,
// which the run holds under an exclusive lock: that lock is what serialises
// processes. Closing the log cuts the working file to the size cap and puts it
// back as VELDAR2.LOG. Nothing is ever lost on the way: the working file is
// deleted only after its kept tail is safely in the log, and when the log
// cannot be written the working file stays for the next run to carry on.

#include <cstdint>
#include <string>

#include "engine/engine.h"
#include "res/string_table.h"

namespace veldar {
namespace {

#ifdef _WIN32
constexpr const char* kLineEnd = "\r\n";
#else
constexpr const char* kLineEnd = "\n";
#endif

constexpr int kOpenAttempts = 5;
constexpr int kOpenRetryMs = 500;
constexpr std::size_t kCopyChunk = 1 << 20;
// Lines are collected and written in blocks of about this size, and at close.
constexpr std::size_t kPendingLimit = 64 * 1024;

// A file name may hold any byte but the separator; written raw, a line feed or
// an escape sequence in a name could break or forge a log line. Control bytes
// are therefore written as C-style escapes.
void AppendEscaped(std::string& out, const std::string& text) {
  static const char kHex[] = "0123456789abcdef";
  for (const char raw : text) {
    const unsigned char c = static_cast<unsigned char>(raw);
    if (c >= 0x20 && c != 0x7f) {
      out += static_cast<char>(c);
      continue;
    }
    switch (c) {
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        out += "\\x";
        out += kHex[c >> 4];
        out += kHex[c & 0xf];
    }
  }
}

}  // namespace

int CVELDAR2Engine::OpenLog() {
  const std::string directory = os.LogDir();
  os.CreateDirTree(directory);  // a failure shows as a failed open below
  logPath = directory + LoadString(IDS_LOG_NAME);
  tempLogPath = directory + LoadString(IDS_TMPLOG_NAME);
  logFile.reset();
  logPending.clear();
  logPid = std::to_string(os.ProcessId());

  for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
    // The log becomes the working file unless a working file is already there
    // (left by an interrupted run, or held by another process). Tried at every
    // attempt, so that a process that waited for another one's run picks up
    // the log that run has just put back.
    os.MoveNoReplace(logPath, tempLogPath);
    if (os.OpenExclusive(tempLogPath, &logFile) == 0) return 1;
    logFile.reset();
    os.SleepMs(kOpenRetryMs);
  }
  return 0;
}

void CVELDAR2Engine::WriteLog(const std::string& text, bool blankLineAfter) {
  if (!logFile) return;  // no working file: the line has nowhere to go
  const std::int64_t now = os.Now();
  if (now != logTimeSecond) {
    logTimeSecond = now;
    logTimeText = os.FormatLocalTime(now, "%m/%d/%y %H:%M:%S");
  }
  logPending += logPid;
  logPending += " : ";
  logPending += logTimeText;
  logPending += " : ";
  AppendEscaped(logPending, text);
  logPending += kLineEnd;
  if (blankLineAfter) logPending += kLineEnd;
  if (logPending.size() >= kPendingLimit) FlushLog();
}

void CVELDAR2Engine::FlushLog() {
  if (logFile && !logPending.empty()) logFile->Append(logPending);
  logPending.clear();
}

void CVELDAR2Engine::CloseLog() {
  if (!logFile) return;
  FlushLog();
  std::uint64_t length = 0;
  if (logFile->Size(&length) != 0) {
    // Without a length nothing can be trimmed safely: keep the working file.
    logFile.reset();
    return;
  }
  std::int64_t cap = static_cast<std::int64_t>(logSizeLimit) * 1000;
  if (cap < 0) cap = 0;

  if (length <= static_cast<std::uint64_t>(cap)) {
    // Renamed while still locked, so that a process waiting for the lock finds
    // the name gone and starts over instead of writing into the log.
    os.MoveNoReplace(tempLogPath, logPath);
    logFile.reset();
    return;
  }

  std::unique_ptr<OsFile> log;
  if (os.OpenExclusive(logPath, &log) != 0) {
    logFile.reset();  // the working file keeps the only copy; the next run carries it on
    return;
  }
  bool written = true;
  char last = '\n';
  std::string chunk;
  for (std::uint64_t offset = length - static_cast<std::uint64_t>(cap); offset < length;) {
    if (logFile->ReadAt(offset, kCopyChunk, &chunk) != 0 || chunk.empty()) {
      written = false;
      break;
    }
    offset += chunk.size();
    last = chunk.back();
    if (log->Append(chunk) != 0) {
      written = false;
      break;
    }
  }
  // Every kept line ends in a line break, the last one included.
  if (written && last != '\n') written = log->Append(kLineEnd) == 0;
  if (written) written = log->Sync() == 0;
  log.reset();
  if (written) os.DeleteFile(tempLogPath);
  logFile.reset();
}

}  // namespace veldar
