#pragma once
// RunProgress: how far a backup or restore run has got, and the user's wish
// to stop it. The run's thread writes it (the plan's totals, each copy as it
// starts, advances and ends); a progress window or a terminal line reads it
// from another thread; any thread, a signal handler included, may ask the
// run to stop.
//
// A stop request is heard by the copy being made (it fails with kCancelled
// and leaves nothing behind: see CopyProgress) and by the run between files;
// the run then ends as cancelled (BackupOutcome::cancelled).

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "platform/os.h"
#include "res/language.h"

namespace veldar {

class RunProgress : public CopyProgress {
 public:
  struct Snapshot {
    std::uint64_t filesTotal = 0, bytesTotal = 0;  // what the plans said is to be copied
    std::uint64_t filesDone = 0;                   // copies finished
    std::uint64_t bytesDone = 0;                   // their bytes, and the current copy's so far
    std::string current;                           // the file being (or last) copied
    bool planned = false;                          // whether a plan has given totals yet
    // What one more file and one more byte cost the run in time, as its
    // finished copies so far tell (both 0 until enough of them did).
    double secondsPerFile = 0, secondsPerByte = 0;
    bool flushing = false;  // the copies are being made durable
    bool cancelRequested = false;
  };

  // Seconds from a fixed start, for the cost of each copy; the steady clock
  // unless a test gives its own.
  using Clock = std::function<double()>;
  explicit RunProgress(Clock clock = {});

  // A plan found `files` files of `bytes` bytes to copy (plans add up).
  void AddPlanned(std::uint64_t files, std::uint64_t bytes);
  // A copy of `path` begins; what an unfinished earlier copy wrote no longer
  // counts.
  void FileStarted(const std::string& path);
  // The current copy is complete with `bytes` bytes. The time it took since
  // the copy before ended (its share of the run's work between copies
  // included) goes into what a file and a byte cost.
  void FileFinished(std::uint64_t bytes);
  // The run waits for its copies to reach the disk (a flush of the file
  // system can take long after the last byte was written), or no longer.
  void Flushing(bool flushing);
  // CopyProgress: bytes written by the current copy.
  void Advance(std::uint64_t bytes) override;
  bool Cancelled() const override { return cancel_.load(std::memory_order_relaxed); }

  // Asks the run to stop. Safe from any thread and from a signal handler.
  void RequestCancel() { cancel_.store(true, std::memory_order_relaxed); }

  Snapshot Read() const;

 private:
  // Sums over copies of x = bytes and y = seconds, for a least-squares fit
  // of seconds = secondsPerByte * bytes + secondsPerFile.
  struct CostSums {
    double n = 0, x = 0, y = 0, xx = 0, xy = 0, largest = 0;
    void Add(double bytes, double seconds);
  };
  // The two costs from `sums`, into `snapshot` (left 0 with too few copies).
  static void FitCosts(const CostSums& sums, Snapshot* snapshot);

  Clock clock_;
  mutable std::mutex mutex_;
  Snapshot state_;
  std::uint64_t finishedBytes_ = 0;
  double lastEnd_ = -1;  // when the last copy ended, or the first began
  CostSums finished_;    // of the copies finished
  std::atomic<bool> cancel_{false};
  static_assert(std::atomic<bool>::is_always_lock_free, "a signal handler stores the request");
};

// Marks `progress` (may be null) as flushing for the life of this object.
class FlushingScope {
 public:
  explicit FlushingScope(RunProgress* progress) : progress_(progress) {
    if (progress_) progress_->Flushing(true);
  }
  ~FlushingScope() {
    if (progress_) progress_->Flushing(false);
  }
  FlushingScope(const FlushingScope&) = delete;
  FlushingScope& operator=(const FlushingScope&) = delete;

 private:
  RunProgress* progress_;
};

// Sizes for people: "512 B", "1.50 KB", "23.4 MB", "107 GB" (1 KB = 1024
// bytes; three significant digits).
std::string HumanBytes(std::uint64_t bytes);
// A duration for people: "0:45", "3:05", "2:07:00".
std::string HumanDuration(std::uint64_t seconds);

// What a run has left, from its snapshot after `seconds`: the rate in bytes
// per second (0 until there is one), the seconds left (-1 while unknown) and
// how much of the work is done. Once the copies tell what a file and a byte
// cost, the work is both (a tree of many small files after a large one is
// not done when its bytes are); until then, the bytes alone.
struct RunEstimate {
  double rate = 0;
  double secondsLeft = -1;
  int percent = 0;   // of the work (of the files where there is no other measure)
  int permille = 0;  // the same, finer
};
RunEstimate Estimate(const RunProgress::Snapshot& snapshot, double seconds);

// The one line a batch run shows on a terminal, at most `width` columns, in
// `language`: percent, files, bytes, rate, time left, and as much of the
// current file's path as fits (its end, after "...").
std::string ProgressLine(const RunProgress::Snapshot& snapshot, double seconds, int width, Language language);
// The columns a UTF-8 text takes on a terminal (wide East Asian characters
// take two).
[[nodiscard]] int TextColumns(const std::string& text);

}  // namespace veldar
