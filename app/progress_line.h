#pragma once
// ProgressLineWriter: a batch run's progress on one self-updating line of a
// terminal. A thread of its own redraws the line (ProgressLine) a few times
// a second until `Stop`, which draws it a last time and then blanks it, so
// that whatever the program writes next starts on a clean line. Writes to
// the stream only while holding `streamMutex`, which whoever else writes to
// the same stream during the run must hold too.

#include <condition_variable>
#include <mutex>
#include <ostream>
#include <thread>

#include "engine/run_progress.h"

namespace veldar {

class ProgressLineWriter {
 public:
  // Starts drawing on `out`, `columns` wide (at least 20), in `language`.
  ProgressLineWriter(std::ostream& out, const RunProgress& progress, int columns, std::mutex& streamMutex,
                     Language language);
  ~ProgressLineWriter();
  ProgressLineWriter(const ProgressLineWriter&) = delete;
  ProgressLineWriter& operator=(const ProgressLineWriter&) = delete;

  void Stop();

 private:
  void Draw(double seconds);

  std::ostream& out_;
  const RunProgress& progress_;
  const int columns_;
  std::mutex& streamMutex_;
  const Language language_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_ = false;
  int drawn_ = 0;  // columns of the line on the terminal now
  std::thread thread_;
};

}  // namespace veldar
