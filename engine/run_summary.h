#pragma once
// The summary a run ends with: the figures of what it did, as the last line
// of its log and as the one line a batch run prints on standard output. Pure
// functions; the run counts, the caller writes.

#include <chrono>
#include <cstdint>
#include <string>

#include "res/language.h"

namespace veldar {

struct RunSummary {
  std::uint64_t copied = 0;   // files copied
  std::uint64_t shared = 0;   // files shared with the newest generation (cloned or hard-linked)
  std::uint64_t deleted = 0;  // files and directories deleted from the copy
  std::uint64_t failed = 0;   // operations that failed and were passed over
  std::uint64_t bytes = 0;    // bytes the copies wrote
  double seconds = 0;         // how long the run took
  // Files and entries no-force mode left as they were where the source
  // differs: the copy now holds something older than the source.
  std::uint64_t leftUndone = 0;
};

// The log's last line of a run:
// "End : 12 copied, 3 shared, 0 deleted, 0 failed, 123456 bytes, 1:05". The
// time is minutes and seconds, cut to the whole second, the minutes never
// carried into hours ("75:00"). What no-force mode left undone follows the
// failures where there is any: "..., 0 failed, 2 left as they were
// (no-force), 0 bytes, 0:01".
std::string SummaryLogLine(const RunSummary& summary);

// The same figures for standard output, in `language`, without a line end:
// "12 copied, 3 shared, 0 deleted, 0 failed, 123456 bytes, 1:05".
std::string SummaryTerminalLine(const RunSummary& summary, Language language);

// The seconds from `start` to now, for a run's summary.
double SecondsSince(std::chrono::steady_clock::time_point start);

// Whether a batch run prints that line: on a terminal, or anywhere with -VERBOSE.
inline bool PrintsSummaryLine(bool standardOutputIsTerminal, bool verbose) {
  return standardOutputIsTerminal || verbose;
}

}  // namespace veldar
