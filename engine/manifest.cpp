// The manifest of a copy (see manifest.h).

#include "engine/manifest.h"

#include "engine/generation_names.h"

// The state's layout, so that it can live inside ChecksumState.
#define XXH_STATIC_LINKING_ONLY
#include <xxhash.h>

#include <charconv>
#include <cstdio>
#include <cstring>
#include <vector>

namespace veldar {
namespace {

constexpr char kHeader[] = "VELDAR2-MANIFEST 1";
constexpr char kEnd[] = "END ";
// The lock a run that mirrors into the backup directory holds there
// (BackupRun::kLockFileName).
constexpr char kLockName[] = ".veldar2.lock";
// The piece in which files are read to be checksummed: large enough for a
// disk to stream, small enough to hold.
constexpr std::size_t kReadPiece = 1 << 20;

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool UnescapePath(std::string_view text, std::string* path) {
  path->clear();
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      const auto byte = static_cast<unsigned char>(text[i]);
      if (byte < 0x20 || byte == 0x7f) return false;
      *path += text[i];
      continue;
    }
    if (i + 2 >= text.size()) return false;
    const int high = HexDigit(text[i + 1]);
    const int low = HexDigit(text[i + 2]);
    if (high < 0 || low < 0) return false;
    *path += static_cast<char>(high * 16 + low);
    i += 2;
  }
  return true;
}

// A path below the top: names joined by '/', none empty, "." or "..".
bool ValidPath(const std::string& path) {
  if (path.empty()) return false;
  std::size_t start = 0;
  for (;;) {
    const std::size_t slash = path.find('/', start);
    const std::string_view name =
        std::string_view(path).substr(start, slash == std::string::npos ? std::string::npos : slash - start);
    if (name.empty() || name == "." || name == ".." || name.find('\0') != std::string_view::npos) return false;
    if (slash == std::string::npos) return true;
    start = slash + 1;
  }
}

// A decimal number without sign, at most `limit`.
bool ParseNumber(std::string_view text, std::uint64_t limit, std::uint64_t* value) {
  if (text.empty() || text.size() > 20) return false;
  std::uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    const std::uint64_t digit = static_cast<std::uint64_t>(c - '0');
    if (v > (limit - digit) / 10) return false;
    v = v * 10 + digit;
  }
  *value = v;
  return true;
}

bool ParseSigned(std::string_view text, std::int64_t* value) {
  const bool negative = !text.empty() && text[0] == '-';
  if (negative) text.remove_prefix(1);
  std::uint64_t magnitude = 0;
  if (!ParseNumber(text, static_cast<std::uint64_t>(INT64_MAX), &magnitude)) return false;
  *value = negative ? -static_cast<std::int64_t>(magnitude) : static_cast<std::int64_t>(magnitude);
  return true;
}

bool ParseChecksum(std::string_view text, Checksum* checksum) {
  if (text.size() != 32) return false;
  std::uint64_t halves[2] = {0, 0};
  for (std::size_t i = 0; i < 32; ++i) {
    const int digit = HexDigit(text[i]);
    if (digit < 0) return false;
    halves[i / 16] = halves[i / 16] * 16 + static_cast<std::uint64_t>(digit);
  }
  checksum->high = halves[0];
  checksum->low = halves[1];
  return true;
}

// Splits the next field off `*rest` at a blank.
bool NextField(std::string_view* rest, std::string_view* field) {
  const std::size_t blank = rest->find(' ');
  if (blank == std::string_view::npos) return false;
  *field = rest->substr(0, blank);
  rest->remove_prefix(blank + 1);
  return true;
}

bool ParseEntry(std::string_view line, std::string* path, ManifestEntry* entry) {
  std::string_view checksum, size, seconds, nanoseconds;
  std::uint64_t value = 0;
  if (!NextField(&line, &checksum) || !NextField(&line, &size) || !NextField(&line, &seconds) ||
      !NextField(&line, &nanoseconds)) {
    return false;
  }
  if (!ParseChecksum(checksum, &entry->checksum)) return false;
  if (!ParseNumber(size, UINT64_MAX, &entry->size)) return false;
  if (!ParseSigned(seconds, &entry->mtimeSec)) return false;
  if (!ParseNumber(nanoseconds, 999999999, &value)) return false;
  entry->mtimeNsec = static_cast<std::uint32_t>(value);
  return UnescapePath(line, path) && ValidPath(*path);
}

}  // namespace

std::string ChecksumText(const Checksum& checksum) {
  char text[33];
  std::snprintf(text, sizeof text, "%016llx%016llx", static_cast<unsigned long long>(checksum.high),
                static_cast<unsigned long long>(checksum.low));
  return text;
}

struct ChecksumState::State {
  XXH3_state_t xxh;
};

ChecksumState::ChecksumState() : state_(std::make_unique<State>()) { Reset(); }
ChecksumState::~ChecksumState() = default;

void ChecksumState::Reset() { XXH3_128bits_reset(&state_->xxh); }

void ChecksumState::Add(const char* data, std::size_t size) { XXH3_128bits_update(&state_->xxh, data, size); }

Checksum ChecksumState::Result() const {
  const XXH128_hash_t hash = XXH3_128bits_digest(&state_->xxh);
  return Checksum{hash.high64, hash.low64};
}

Checksum ChecksumOf(std::string_view data) {
  const XXH128_hash_t hash = XXH3_128bits(data.data(), data.size());
  return Checksum{hash.high64, hash.low64};
}

void ChecksummingCopy::Content(std::uint64_t offset, const char* data, std::size_t size) {
  if (offset == 0) {
    state_.Reset();
    next_ = 0;
    broken_ = false;
  }
  if (offset != next_) {
    broken_ = true;
    return;
  }
  state_.Add(data, size);
  next_ += size;
}

std::optional<Checksum> ChecksummingCopy::Result(std::uint64_t size) const {
  if (broken_ || next_ != size) return std::nullopt;
  return state_.Result();
}

const ManifestEntry* Manifest::Find(const std::string& path) const {
  auto found = entries_.find(path);
  return found == entries_.end() ? nullptr : &found->second;
}

std::string Manifest::Text() const {
  // Written by hand, not by printf: a manifest of many files is written at
  // the end of every run.
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text = std::string(kHeader) + "\n";
  text.reserve(text.size() + entries_.size() * 80);
  auto number = [&text](auto value) {
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    text.append(digits, end);
  };
  for (const auto& [path, entry] : entries_) {
    for (std::uint64_t half : {entry.checksum.high, entry.checksum.low}) {
      for (int shift = 60; shift >= 0; shift -= 4) text += kHex[(half >> shift) & 0xf];
    }
    text += ' ';
    number(entry.size);
    text += ' ';
    number(entry.mtimeSec);
    text += ' ';
    number(entry.mtimeNsec);
    text += ' ';
    // '%', control characters and DEL as %XX: a name holding a line break
    // cannot break the line.
    for (char c : path) {
      const auto byte = static_cast<unsigned char>(c);
      if (c == '%' || byte < 0x20 || byte == 0x7f) {
        text += '%';
        text += "0123456789ABCDEF"[byte >> 4];
        text += "0123456789ABCDEF"[byte & 0xf];
      } else {
        text += c;
      }
    }
    text += '\n';
  }
  text += kEnd + std::to_string(entries_.size()) + "\n";
  return text;
}

bool Manifest::Parse(std::string_view text, Manifest* manifest, std::string* error) {
  manifest->entries_.clear();
  std::size_t lineNumber = 0;
  bool ended = false;
  auto fail = [&](const char* why) {
    manifest->entries_.clear();
    *error = "line " + std::to_string(lineNumber) + ": " + why;
    return false;
  };
  while (!text.empty()) {
    ++lineNumber;
    const std::size_t newline = text.find('\n');
    if (newline == std::string_view::npos) return fail("cut short");
    const std::string_view line = text.substr(0, newline);
    text.remove_prefix(newline + 1);
    if (ended) return fail("text after the end");
    if (lineNumber == 1) {
      if (line != kHeader) return fail("not a manifest of this version");
      continue;
    }
    if (line.substr(0, std::strlen(kEnd)) == kEnd) {
      std::uint64_t count = 0;
      if (!ParseNumber(line.substr(std::strlen(kEnd)), UINT64_MAX, &count)) return fail("damaged end");
      if (count != manifest->entries_.size()) return fail("entries missing");
      ended = true;
      continue;
    }
    std::string path;
    ManifestEntry entry;
    if (!ParseEntry(line, &path, &entry)) return fail("damaged entry");
    // Written in order: each path goes after the last, without a search.
    auto& entries = manifest->entries_;
    if (entries.empty() || entries.rbegin()->first < path) {
      entries.emplace_hint(entries.end(), std::move(path), entry);
    } else if (!entries.emplace(std::move(path), entry).second) {
      return fail("a path listed twice");
    }
  }
  if (!ended) {
    ++lineNumber;
    return fail("cut short");
  }
  error->clear();
  return true;
}

ManifestState ReadManifest(OsDir& top, Manifest* manifest, std::string* error, Status* status,
                           const std::string& name) {
  *manifest = Manifest();
  error->clear();
  Status unused;
  if (!status) status = &unused;
  std::unique_ptr<OsFile> file;
  *status = top.OpenForReading(name, &file);
  if (status->Is(ErrorKind::kNotFound)) return ManifestState::kAbsent;
  std::string text;
  std::uint64_t size = 0;
  if (status->ok()) *status = file->Size(&size);
  for (std::uint64_t offset = 0; status->ok() && offset < size;) {
    std::string piece;
    *status = file->ReadAt(offset, kReadPiece, &piece);
    if (status->ok() && piece.empty()) break;
    offset += piece.size();
    text += piece;
  }
  if (!status->ok()) {
    *error = "cannot be read";
    return ManifestState::kUnreadable;
  }
  if (!Manifest::Parse(text, manifest, error)) return ManifestState::kDamaged;
  return ManifestState::kRead;
}

namespace {

// Writes `manifest` as the new file `name` of `dir`, replacing what a break
// left under that name (the name is this run's). On failure none is left.
Status WriteManifestFile(OsDir& dir, const std::string& name, const Manifest& manifest) {
  if (Status code = dir.DeleteFile(name); !code.ok() && !code.Is(ErrorKind::kNotFound)) return code;
  std::unique_ptr<OsFile> file;
  if (Status code = dir.CreateNewFile(name, &file); !code.ok()) return code;
  Status code = file->Append(manifest.Text());
  file.reset();
  if (!code.ok()) (void)dir.DeleteFile(name);
  return code;
}

}  // namespace

Status WriteManifest(OsDir& top, const Manifest& manifest, bool durable) {
  const char* name = durable ? kManifestNewName : kManifestName;
  Status code = WriteManifestFile(top, name, manifest);
  // Everything the run wrote goes to the disk with it (the run's own flush
  // that follows then has only the name to write).
  if (code.ok() && durable) code = top.SyncFileSystem();
  if (code.ok() && durable) code = top.PlaceCopy(name, kManifestName, CopyMode::Replace);
  if (!code.ok() && durable) (void)top.DeleteFile(name);
  return code;
}

std::string SidecarName(const std::string& generationName) { return ServiceName(generationName, kSidecarSuffix); }
std::string StagedSidecarName(const std::string& generationName) {
  return ServiceName(generationName, kSidecarNewSuffix);
}

Status StageSidecar(OsDir& dir, const std::string& generationName, const Manifest& manifest) {
  return WriteManifestFile(dir, StagedSidecarName(generationName), manifest);
}

Status PlaceSidecar(OsDir& dir, const std::string& generationName) {
  const std::string temporary = StagedSidecarName(generationName);
  const Status code = dir.PlaceCopy(temporary, SidecarName(generationName), CopyMode::Replace);
  if (!code.ok()) (void)dir.DeleteFile(temporary);
  return code;
}

Status RemoveSidecar(OsDir& dir, const std::string& generationName, bool* removed) {
  bool any = false;
  for (const std::string& name : {SidecarName(generationName), StagedSidecarName(generationName)}) {
    const Status code = dir.DeleteFile(name);
    if (code.ok()) any = true;
    if (!code.ok() && !code.Is(ErrorKind::kNotFound)) return code;
  }
  if (removed) *removed = any;
  return Status();
}

Status ChecksumFile(Os& os, OsDir& dir, const std::string& name, Checksum* checksum, std::uint64_t* size,
                    CopyProgress* progress) {
  *size = 0;
  std::unique_ptr<OsFile> file;
  if (Status code = dir.OpenForReading(name, &file); !code.ok()) return code;
  ChecksumState state;
  std::string piece;
  for (;;) {
    if (progress && progress->Cancelled()) return os.Error(ErrorKind::kCancelled);
    if (Status code = file->ReadAt(*size, kReadPiece, &piece); !code.ok()) return code;
    if (piece.empty()) break;
    state.Add(piece.data(), piece.size());
    *size += piece.size();
    if (progress) progress->Advance(piece.size());
  }
  *checksum = state.Result();
  return Status();
}

namespace {

struct Builder {
  Os& os;
  const CopiedChecksums& copied;
  const Manifest* earlier;
  Manifest* manifest;
  ManifestCounts* counts;
  CopyProgress* progress;

  Status Walk(OsDir& dir, const std::string& prefix) {
    auto pathOf = [&](std::string_view name) {
      return prefix.empty() ? std::string(name) : prefix + "/" + std::string(name);
    };
    // A hard link the apply made to the newest generation's file is that
    // file, whose status the apply recorded: it costs no status call (one
    // round trip each on a network medium), only its name in the listing.
    std::vector<DirEntry> entries;
    const NameFilter wanted = [&](std::string_view name) {
      const std::string path = pathOf(name);
      auto seen = copied.find(path);
      if (seen == copied.end() || !seen->second.linkedAs) return true;
      const FileStatus& status = *seen->second.linkedAs;
      const ManifestEntry* before = earlier ? earlier->Find(path) : nullptr;
      if (!before || !before->Matches(status)) return true;
      manifest->Set(path, *before);
      ++counts->earlier;
      return false;
    };
    if (Status code = dir.List(&entries, wanted); !code.ok()) return code;
    for (const DirEntry& entry : entries) {
      if (prefix.empty() && IsOwnTopName(entry.name)) continue;
      const std::string path = pathOf(entry.name);
      if (entry.status.kind == EntryKind::Directory) {
        std::unique_ptr<OsDir> sub;
        if (Status code = dir.OpenDir(entry.name, &sub); !code.ok()) return code;
        if (Status code = Walk(*sub, path); !code.ok()) return code;
        continue;
      }
      if (entry.status.kind != EntryKind::File) continue;
      ManifestEntry made{entry.status.size, entry.status.mtimeSec, entry.status.mtimeNsec, {}};
      if (auto seen = copied.find(path);
          seen != copied.end() && !seen->second.linkedAs && seen->second.size == entry.status.size) {
        made.checksum = seen->second.checksum;
        ++counts->copied;
      } else if (const ManifestEntry* before = earlier ? earlier->Find(path) : nullptr;
                 before && before->Matches(entry.status)) {
        made.checksum = before->checksum;
        ++counts->earlier;
      } else {
        std::uint64_t size = 0;
        if (Status code = ChecksumFile(os, dir, entry.name, &made.checksum, &size, progress); !code.ok()) {
          if (code.Is(ErrorKind::kCancelled)) return code;
          ++counts->failed;
          continue;
        }
        // The file as read, should it have changed since it was listed.
        made.size = size;
        ++counts->read;
      }
      manifest->Set(path, made);
    }
    return Status();
  }
};

}  // namespace

Status BuildManifest(Os& os, OsDir& top, const CopiedChecksums& copied, const Manifest* earlier, Manifest* manifest,
                     ManifestCounts* counts, CopyProgress* progress) {
  *manifest = Manifest();
  *counts = ManifestCounts();
  return Builder{os, copied, earlier, manifest, counts, progress}.Walk(top, std::string());
}

bool IsOwnTopName(std::string_view name) {
  return name == kManifestName || name == kManifestNewName || name == kLockName;
}

}  // namespace veldar
