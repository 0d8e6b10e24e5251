#include "engine/run_summary.h"

#include <gtest/gtest.h>

#include <limits>

namespace veldar {
namespace {

TEST(RunSummaryTest, LogAndTerminalLinesCarryTheSameFigures) {
  const struct {
    RunSummary summary;
    const char* log;
    const char* english;
  } cases[] = {
      {{12, 3, 1, 0, 123456, 65.9},
       "End : 12 copied, 3 shared, 1 deleted, 0 failed, 123456 bytes, 1:05",
       "12 copied, 3 shared, 1 deleted, 0 failed, 123456 bytes, 1:05"},
      {{},
       "End : 0 copied, 0 shared, 0 deleted, 0 failed, 0 bytes, 0:00",
       "0 copied, 0 shared, 0 deleted, 0 failed, 0 bytes, 0:00"},
      // Minutes are not carried into hours; a clock that went back is no time.
      {{0, 0, 0, 2, 5000000000ULL, 4509},
       "End : 0 copied, 0 shared, 0 deleted, 2 failed, 5000000000 bytes, 75:09",
       "0 copied, 0 shared, 0 deleted, 2 failed, 5000000000 bytes, 75:09"},
      {{1, 0, 0, 0, 1, -3},
       "End : 1 copied, 0 shared, 0 deleted, 0 failed, 1 bytes, 0:00",
       "1 copied, 0 shared, 0 deleted, 0 failed, 1 bytes, 0:00"},
      {{1, 0, 0, 0, 1, std::numeric_limits<double>::quiet_NaN()},
       "End : 1 copied, 0 shared, 0 deleted, 0 failed, 1 bytes, 0:00",
       "1 copied, 0 shared, 0 deleted, 0 failed, 1 bytes, 0:00"},
  };
  RunSummary undone{0, 0, 0, 1, 0, 1};
  undone.leftUndone = 2;
  EXPECT_EQ(SummaryLogLine(undone),
            "End : 0 copied, 0 shared, 0 deleted, 1 failed, 2 left as they were (no-force), 0 bytes, 0:01");
  EXPECT_EQ(SummaryTerminalLine(undone, Language::kJapanese),
            "コピー 0、共有 0、削除 0、失敗 1、上書きせず残した 2、0 バイト、0:01");
  for (const auto& c : cases) {
    EXPECT_EQ(SummaryLogLine(c.summary), c.log);
    EXPECT_EQ(SummaryTerminalLine(c.summary, Language::kEnglish), c.english);
  }
  EXPECT_EQ(SummaryTerminalLine(cases[0].summary, Language::kJapanese),
            "コピー 12、共有 3、削除 1、失敗 0、123456 バイト、1:05");
}

}  // namespace
}  // namespace veldar
