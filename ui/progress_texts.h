#pragma once
// The progress window's texts, the same whichever toolkit draws it: the
// files and bytes done of the plan's totals, and the rate with the time
// left (or that the run is stopping).

#include <string>

#include "engine/run_progress.h"

namespace veldar {

struct ProgressTexts {
  std::string count;  // "120 / 800 ファイル、1.20 GB / 2.70 GB"
  std::string rate;   // "35.0 MB/s、残り 1:05"; empty while unknown; or what the run does
  int permille = 0;   // the bar, 0 to 1000
};

ProgressTexts MakeProgressTexts(const RunProgress::Snapshot& snapshot, double seconds);

}  // namespace veldar
