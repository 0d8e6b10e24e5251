#include "ui/progress_texts.h"

#include <algorithm>

namespace veldar {

ProgressTexts MakeProgressTexts(const RunProgress::Snapshot& snapshot, double seconds) {
  ProgressTexts texts;
  const RunEstimate estimate = Estimate(snapshot, seconds);
  if (snapshot.planned) {
    texts.count = std::to_string(snapshot.filesDone) + " / " + std::to_string(snapshot.filesTotal) + " ファイル、" +
                  HumanBytes(snapshot.bytesDone) + " / " + HumanBytes(snapshot.bytesTotal);
    if (snapshot.bytesTotal > 0) {
      texts.permille = static_cast<int>(std::min<std::uint64_t>(1000, snapshot.bytesDone * 1000 / snapshot.bytesTotal));
    } else if (snapshot.filesTotal > 0) {
      texts.permille = static_cast<int>(std::min<std::uint64_t>(1000, snapshot.filesDone * 1000 / snapshot.filesTotal));
    }
  } else {
    texts.count = "調べています... " + std::to_string(snapshot.filesDone) + " ファイル、" + HumanBytes(snapshot.bytesDone);
  }
  if (snapshot.cancelRequested) {
    texts.rate = "中止しています...";
  } else if (snapshot.flushing) {
    texts.rate = "ディスクに書き込んでいます...";
  } else if (estimate.rate > 0) {
    texts.rate = HumanBytes(static_cast<std::uint64_t>(estimate.rate)) + "/s";
    if (estimate.secondsLeft >= 0) {
      texts.rate += "、残り " + HumanDuration(static_cast<std::uint64_t>(estimate.secondsLeft + 0.5));
    }
  }
  return texts;
}

}  // namespace veldar
