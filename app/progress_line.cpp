#include "app/progress_line.h"

#include <algorithm>
#include <chrono>

#include "log/activity_log.h"

namespace veldar {
namespace {

constexpr std::chrono::milliseconds kInterval{250};

}  // namespace

ProgressLineWriter::ProgressLineWriter(std::ostream& out, const RunProgress& progress, int columns,
                                       std::mutex& streamMutex, Language language)
    : out_(out), progress_(progress), columns_(std::max(columns, 20)), streamMutex_(streamMutex), language_(language) {
  thread_ = std::thread([this] {
    const auto start = std::chrono::steady_clock::now();
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
      Draw(elapsed.count());
      if (stop_) break;
      wake_.wait_for(lock, kInterval, [this] { return stop_; });
    }
    // The last state stays in the terminal's output; the line is blanked.
    std::lock_guard<std::mutex> stream(streamMutex_);
    out_ << '\r' << std::string(static_cast<std::size_t>(drawn_), ' ') << '\r' << std::flush;
  });
}

ProgressLineWriter::~ProgressLineWriter() { Stop(); }

void ProgressLineWriter::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void ProgressLineWriter::Draw(double seconds) {
  // One column short of the width: writing the last column wraps some
  // terminals onto the next line.
  // The file's path as the log writes it: a name must not drive the terminal.
  RunProgress::Snapshot snapshot = progress_.Read();
  snapshot.current = EscapeLogText(snapshot.current);
  const std::string line = ProgressLine(snapshot, seconds, columns_ - 1, language_);
  const int columns = TextColumns(line);
  std::lock_guard<std::mutex> stream(streamMutex_);
  out_ << '\r' << line << std::string(static_cast<std::size_t>(std::max(0, drawn_ - columns)), ' ') << std::flush;
  drawn_ = std::max(drawn_, columns);
}

}  // namespace veldar
