#include "ui/progress_texts.h"

namespace veldar {

ProgressTexts MakeProgressTexts(const RunProgress::Snapshot& snapshot, double seconds) {
  ProgressTexts texts;
  const RunEstimate estimate = Estimate(snapshot, seconds);
  if (snapshot.planned) {
    texts.count = std::to_string(snapshot.filesDone) + " / " + std::to_string(snapshot.filesTotal) + " ファイル、" +
                  HumanBytes(snapshot.bytesDone) + " / " + HumanBytes(snapshot.bytesTotal);
    texts.permille = estimate.permille;
  } else {
    texts.count =
        "調べています... " + std::to_string(snapshot.filesDone) + " ファイル、" + HumanBytes(snapshot.bytesDone);
  }
  if (snapshot.cancelRequested) {
    texts.rate = "中止しています...";
  } else if (snapshot.flushing) {
    texts.rate = "ディスクに書き込んでいます...";
  } else {
    if (estimate.rate > 0) texts.rate = HumanBytes(static_cast<std::uint64_t>(estimate.rate)) + "/s";
    if (estimate.secondsLeft >= 0) {
      if (!texts.rate.empty()) texts.rate += "、";
      texts.rate += "残り " + HumanDuration(static_cast<std::uint64_t>(estimate.secondsLeft + 0.5));
    }
  }
  return texts;
}

}  // namespace veldar
