#include "engine/run_summary.h"

#include <cmath>

#include "res/translation.h"

namespace veldar {
namespace {

std::string MinutesAndSeconds(double seconds) {
  const auto whole = seconds > 0 && std::isfinite(seconds) ? static_cast<std::uint64_t>(seconds) : 0;
  const std::uint64_t rest = whole % 60;
  return std::to_string(whole / 60) + (rest < 10 ? ":0" : ":") + std::to_string(rest);
}

// `pattern` takes the figures as %1 to %7 (%7: what no-force mode left
// undone).
std::string Format(std::string_view pattern, const RunSummary& s) {
  return FormatText(
      pattern, {std::to_string(s.copied), std::to_string(s.shared), std::to_string(s.deleted), std::to_string(s.failed),
                std::to_string(s.bytes), MinutesAndSeconds(s.seconds), std::to_string(s.leftUndone)});
}

}  // namespace

std::string SummaryLogLine(const RunSummary& summary) {
  // The log is the same in every language.
  return Format(
      summary.leftUndone == 0
          ? "End : %1 copied, %2 shared, %3 deleted, %4 failed, %5 bytes, %6"
          : "End : %1 copied, %2 shared, %3 deleted, %4 failed, %7 left as they were (no-force), %5 bytes, %6",
      summary);
}

std::string SummaryTerminalLine(const RunSummary& summary, Language language) {
  return Format(Translate(language, summary.leftUndone == 0
                                        ? "コピー %1、共有 %2、削除 %3、失敗 %4、%5 バイト、%6"
                                        : "コピー %1、共有 %2、削除 %3、失敗 %4、上書きせず残した %7、%5 バイト、%6"),
                summary);
}

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace veldar
