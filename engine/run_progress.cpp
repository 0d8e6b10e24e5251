#include "engine/run_progress.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <utility>
#include <vector>

#include "res/translation.h"

namespace veldar {

namespace {

// Copies the costs are fitted to before they count: fewer say more about
// chance than about the disk.
constexpr double kFitSamples = 3;
// What a byte costs can only be told apart from what a file costs once a
// copy of some size has been seen: until then, a disk's usual rate.
constexpr double kTellingBytes = 1 << 20;
constexpr double kUsualSecondsPerByte = 1.0 / (64 << 20);

RunProgress::Clock SteadyClock() {
  const auto start = std::chrono::steady_clock::now();
  return [start] { return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(); };
}

}  // namespace

void RunProgress::CostSums::Add(double bytes, double seconds) {
  n += 1;
  x += bytes;
  y += seconds;
  xx += bytes * bytes;
  xy += bytes * seconds;
  largest = std::max(largest, bytes);
}

RunProgress::RunProgress(Clock clock) : clock_(clock ? std::move(clock) : SteadyClock()) {}

void RunProgress::AddPlanned(std::uint64_t files, std::uint64_t bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  state_.filesTotal += files;
  state_.bytesTotal += bytes;
  state_.planned = true;
}

void RunProgress::FileStarted(const std::string& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  state_.current = path;
  state_.bytesDone = finishedBytes_;
  if (lastEnd_ < 0) lastEnd_ = clock_();
}

void RunProgress::FileFinished(std::uint64_t bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  ++state_.filesDone;
  finishedBytes_ += bytes;
  state_.bytesDone = finishedBytes_;
  const double now = clock_();
  if (lastEnd_ >= 0) {
    finished_.Add(static_cast<double>(bytes), std::max(0.0, now - lastEnd_));
    FitCosts(finished_, &state_);
  }
  lastEnd_ = now;
}

void RunProgress::FitCosts(const CostSums& sums, Snapshot* snapshot) {
  if (sums.n < kFitSamples) return;
  double perByte = kUsualSecondsPerByte, perFile = 0;
  const double spread = sums.n * sums.xx - sums.x * sums.x;  // n² times the variance of the sizes
  if (sums.largest >= kTellingBytes && spread > 0) {
    perByte = (sums.n * sums.xy - sums.x * sums.y) / spread;
    perFile = (sums.y - perByte * sums.x) / sums.n;
    // Noise can make one of them negative: then the other explains it all.
    if (perFile < 0) {
      perFile = 0;
      perByte = sums.xy / sums.xx;
    } else if (perByte < 0) {
      perByte = 0;
      perFile = sums.y / sums.n;
    }
  } else {
    perFile = std::max(0.0, (sums.y - perByte * sums.x) / sums.n);
  }
  snapshot->secondsPerByte = perByte;
  snapshot->secondsPerFile = perFile;
}

void RunProgress::Flushing(bool flushing) {
  std::lock_guard<std::mutex> lock(mutex_);
  state_.flushing = flushing;
}

void RunProgress::Advance(std::uint64_t bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  state_.bytesDone += bytes;
}

RunProgress::Snapshot RunProgress::Read() const {
  std::lock_guard<std::mutex> lock(mutex_);
  Snapshot snapshot = state_;
  snapshot.cancelRequested = Cancelled();
  // A copy under way counts with what it has written so far: a large one
  // tells what bytes cost before it ends.
  if (lastEnd_ >= 0 && state_.bytesDone > finishedBytes_) {
    CostSums sums = finished_;
    sums.Add(static_cast<double>(state_.bytesDone - finishedBytes_), std::max(0.0, clock_() - lastEnd_));
    FitCosts(sums, &snapshot);
  }
  return snapshot;
}

std::string HumanBytes(std::uint64_t bytes) {
  if (bytes < 1024) return std::to_string(bytes) + " B";
  static const char* const kUnits[] = {"KB", "MB", "GB", "TB", "PB"};
  double value = static_cast<double>(bytes) / 1024;
  int unit = 0;
  while (value >= 999.5 && unit < 4) {
    value /= 1024;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text,
                value < 9.995   ? "%.2f %s"
                : value < 99.95 ? "%.1f %s"
                                : "%.0f %s",
                value, kUnits[unit]);
  return text;
}

std::string HumanDuration(std::uint64_t seconds) {
  char text[48];
  const auto h = static_cast<unsigned long long>(seconds / 3600);
  const auto m = static_cast<unsigned long long>(seconds / 60 % 60);
  const auto s = static_cast<unsigned long long>(seconds % 60);
  if (h > 0) {
    std::snprintf(text, sizeof text, "%llu:%02llu:%02llu", h, m, s);
  } else {
    std::snprintf(text, sizeof text, "%llu:%02llu", m, s);
  }
  return text;
}

RunEstimate Estimate(const RunProgress::Snapshot& snapshot, double seconds) {
  RunEstimate estimate;
  // A rate over less than a second, or a few kilobytes, says nothing yet.
  if (seconds >= 1 && snapshot.bytesDone >= 64 * 1024) {
    estimate.rate = static_cast<double>(snapshot.bytesDone) / seconds;
  }
  const auto part = [](std::uint64_t done, std::uint64_t total) {
    return static_cast<int>(std::min<std::uint64_t>(1000, done * 1000 / total));
  };
  if (snapshot.secondsPerFile > 0 || snapshot.secondsPerByte > 0) {
    const double perByte = snapshot.secondsPerByte > 0 ? snapshot.secondsPerByte
                           : estimate.rate > 0         ? 1 / estimate.rate
                                                       : 0;
    const double perFile = snapshot.secondsPerFile;
    const double total =
        perByte * static_cast<double>(snapshot.bytesTotal) + perFile * static_cast<double>(snapshot.filesTotal);
    const double done = perByte * static_cast<double>(std::min(snapshot.bytesDone, snapshot.bytesTotal)) +
                        perFile * static_cast<double>(std::min(snapshot.filesDone, snapshot.filesTotal));
    if (total > 0) estimate.permille = static_cast<int>(std::min(1000.0, done * 1000 / total));
    if (snapshot.planned) estimate.secondsLeft = std::max(0.0, total - done);
  } else {
    if (snapshot.bytesTotal > 0) {
      estimate.permille = part(snapshot.bytesDone, snapshot.bytesTotal);
    } else if (snapshot.filesTotal > 0) {
      estimate.permille = part(snapshot.filesDone, snapshot.filesTotal);
    }
    if (estimate.rate > 0 && snapshot.planned && snapshot.bytesTotal >= snapshot.bytesDone) {
      estimate.secondsLeft = static_cast<double>(snapshot.bytesTotal - snapshot.bytesDone) / estimate.rate;
    }
  }
  estimate.percent = estimate.permille / 10;
  return estimate;
}

namespace {

// Terminal columns a UTF-8 character takes: 2 for the wide East Asian ones.
int Columns(char32_t c) {
  const bool wide = (c >= 0x1100 && c <= 0x115F) || (c >= 0x2E80 && c <= 0xA4CF) || (c >= 0xAC00 && c <= 0xD7A3) ||
                    (c >= 0xF900 && c <= 0xFAFF) || (c >= 0xFE30 && c <= 0xFE4F) || (c >= 0xFF00 && c <= 0xFF60) ||
                    (c >= 0xFFE0 && c <= 0xFFE6) || (c >= 0x20000 && c <= 0x3FFFD);
  return wide ? 2 : 1;
}

// The characters of `text` (UTF-8) with where each begins.
std::vector<std::pair<std::size_t, char32_t>> Characters(const std::string& text) {
  std::vector<std::pair<std::size_t, char32_t>> characters;
  for (std::size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    char32_t c = length == 1 ? lead : lead & (0x7F >> length);
    for (std::size_t k = 1; k < length && i + k < text.size(); ++k) {
      c = (c << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    }
    characters.emplace_back(i, c);
    i += length;
  }
  return characters;
}

}  // namespace

int TextColumns(const std::string& text) {
  int columns = 0;
  for (const auto& character : Characters(text)) columns += Columns(character.second);
  return columns;
}

std::string ProgressLine(const RunProgress::Snapshot& snapshot, double seconds, int width, Language language) {
  const RunEstimate estimate = Estimate(snapshot, seconds);
  const auto say = [language](const char* japanese) { return Translate(language, japanese); };
  std::string line;
  if (snapshot.planned) {
    line =
        std::to_string(estimate.percent) + "% " +
        FormatText(say("%1/%2 ファイル"), {std::to_string(snapshot.filesDone), std::to_string(snapshot.filesTotal)}) +
        " " + HumanBytes(snapshot.bytesDone) + "/" + HumanBytes(snapshot.bytesTotal);
  } else {
    line = FormatText(say("調べています... %1 ファイル"), {std::to_string(snapshot.filesDone)}) + " " +
           HumanBytes(snapshot.bytesDone);
  }
  if (snapshot.flushing) {
    line += " " + say("ディスクに書き込んでいます...");
  } else {
    if (estimate.rate > 0) line += " " + HumanBytes(static_cast<std::uint64_t>(estimate.rate)) + "/s";
    if (estimate.secondsLeft >= 0) {
      line += " " + FormatText(say("残り %1"), {HumanDuration(static_cast<std::uint64_t>(estimate.secondsLeft + 0.5))});
    }
  }
  if (snapshot.cancelRequested) line += " " + say("中止しています...");
  const int columns = TextColumns(line);
  if (columns >= width) {
    // Cut at a character's start, within the width.
    int used = 0;
    for (const auto& [at, c] : Characters(line)) {
      if (used + Columns(c) > width) return line.substr(0, at);
      used += Columns(c);
    }
    return line;
  }

  // The path's end, as much as fits after a blank.
  int room = width - columns - 1;
  const auto characters = Characters(snapshot.current);
  int used = TextColumns(snapshot.current);
  if (used <= room) return snapshot.current.empty() ? line : line + " " + snapshot.current;
  room -= 3;  // "..."
  std::size_t from = snapshot.current.size();
  used = 0;
  for (auto it = characters.rbegin(); it != characters.rend(); ++it) {
    if (used + Columns(it->second) > room) break;
    used += Columns(it->second);
    from = it->first;
  }
  if (room <= 0) return line;
  return line + " ..." + snapshot.current.substr(from);
}

}  // namespace veldar
