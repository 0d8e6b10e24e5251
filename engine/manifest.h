#pragma once
// The manifest of a copy: for every regular file of a generation (or of a
// straight mirror), its path, size, last-write time and XXH3-128 checksum,
// so that the copy can be checked later against what was written (-VERIFY,
// and the restore as it copies).
//
// It is a file of the program's own name (`kManifestName`) at the top of the
// copy, written before the copy is flushed and named, so that a generation
// and its manifest are made durable, and named, in one step. Its format is
// text, one entry a line, so that a user can read it with any tool:
//
//   VELDAR2-MANIFEST 1
//   <checksum> <size> <seconds> <nanoseconds> <path>
//   ...
//   END <number of entries>
//
// <checksum> is the 128-bit XXH3 checksum as 32 lowercase hexadecimal
// digits (high half first); <size> the bytes; <seconds>.<nanoseconds> the
// last-write time since 1970 as the copy has it; <path> the file's path
// below the top of the copy, its names joined by '/', with '%', control
// characters and DEL written as %XX. The last line says how many entries
// there are: a manifest cut short (a disk that lost its last block) is told
// from a complete one. Anything that does not parse makes the whole manifest
// damaged (never a crash, never a guess): the parser is a fuzz target.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "platform/os.h"

namespace veldar {

// The program's own name of the manifest at the top of a copy.
inline constexpr char kManifestName[] = ".veldar2-manifest";
// The name a mirror's manifest is written under before it is flushed and
// renamed onto `kManifestName`.
inline constexpr char kManifestNewName[] = ".veldar2-manifest-new";

struct Checksum {
  std::uint64_t high = 0;
  std::uint64_t low = 0;
  bool operator==(const Checksum&) const = default;
};

// 32 lowercase hexadecimal digits, high half first.
std::string ChecksumText(const Checksum& checksum);

// Checksums bytes handed to it in order.
class ChecksumState {
 public:
  ChecksumState();
  ~ChecksumState();
  ChecksumState(const ChecksumState&) = delete;
  ChecksumState& operator=(const ChecksumState&) = delete;
  // Starts again with no bytes.
  void Reset();
  void Add(const char* data, std::size_t size);
  Checksum Result() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// The checksum of `data` whole.
Checksum ChecksumOf(std::string_view data);

// The listener of one copy that checksums what it writes and passes the
// progress on to the run's (`inner`, may be null). A copy that starts again
// at offset 0 (a retry) starts the checksum again; bytes out of order leave
// it without a result.
class ChecksummingCopy : public CopyProgress {
 public:
  explicit ChecksummingCopy(CopyProgress* inner) : inner_(inner) {}
  void Advance(std::uint64_t bytes) override {
    if (inner_) inner_->Advance(bytes);
  }
  bool Cancelled() const override { return inner_ && inner_->Cancelled(); }
  bool WantsContent() const override { return true; }
  void Content(std::uint64_t offset, const char* data, std::size_t size) override;
  // The checksum of the copy when the bytes seen were exactly `size` bytes
  // from the start, in order; none otherwise (the platform did not hand
  // them, or not all of them).
  std::optional<Checksum> Result(std::uint64_t size) const;
  // The bytes seen in order from the start.
  std::uint64_t seen() const { return next_; }

 private:
  CopyProgress* inner_;
  ChecksumState state_;
  std::uint64_t next_ = 0;
  bool broken_ = false;
};

struct ManifestEntry {
  std::uint64_t size = 0;
  std::int64_t mtimeSec = 0;
  std::uint32_t mtimeNsec = 0;
  Checksum checksum;
  // Whether the entry describes the file `status` describes (size and time).
  bool Matches(const FileStatus& status) const {
    return status.size == size && status.mtimeSec == mtimeSec && status.mtimeNsec == mtimeNsec;
  }
};

class Manifest {
 public:
  // Paths are relative to the top of the copy, names joined by '/'.
  void Set(const std::string& path, const ManifestEntry& entry) { entries_[path] = entry; }
  const ManifestEntry* Find(const std::string& path) const;
  const std::map<std::string, ManifestEntry>& entries() const { return entries_; }
  // The manifest as the file holds it.
  std::string Text() const;
  // Reads `text`: true with `*manifest` filled; false (`*manifest` empty)
  // with `*error` saying which line is damaged and how.
  static bool Parse(std::string_view text, Manifest* manifest, std::string* error);

 private:
  std::map<std::string, ManifestEntry> entries_;
};

// What reading a copy's manifest found.
enum class ManifestState {
  kRead,     // read and parsed
  kAbsent,   // none: a copy made by an earlier version, or by hand
  kDamaged,  // there, but it does not parse (`*error` says why)
  kUnreadable,
};

// Reads the manifest at the top of `top` (`name`: the file it is in). `*error`
// says what went wrong for kDamaged and kUnreadable (with `*status` the
// failure of the latter).
ManifestState ReadManifest(OsDir& top, Manifest* manifest, std::string* error, Status* status = nullptr,
                           const std::string& name = kManifestName);

// Writes `manifest` at the top of `top`, replacing an older one; not
// flushed (the caller flushes it with the copy). On failure none is left.
// `durable` (a copy that is not flushed and named as a whole: a mirror,
// which changes in place): written under `kManifestNewName`, flushed with
// the whole file system, then renamed onto the manifest's name, so that a
// power cut leaves the whole manifest or none, never an empty or cut one.
Status WriteManifest(OsDir& top, const Manifest& manifest, bool durable = false);

// A file generation (a single file, not a directory) keeps its manifest
// beside it: a file of the program's own name (a dot first and a suffix no
// generation name has, as the other names the backup keeps beside its
// generations) holding one entry, the generation by its name. It is written
// under a temporary name, flushed and renamed into place once the
// generation is copied and stamped, and removed before a new copy takes the
// generation's name: a break in between leaves a generation without one
// (told as such), never one with a manifest that is not its own.
inline constexpr char kSidecarSuffix[] = ".veldar2-manifest";
inline constexpr char kSidecarNewSuffix[] = ".veldar2-manifest-new";
std::string SidecarName(const std::string& generationName);
// The name it is written under before it takes that name.
std::string StagedSidecarName(const std::string& generationName);

// Writes `manifest` under the temporary name of the sidecar of the file
// generation `generationName` in `dir`, not flushed (the caller flushes it
// with the generation). On failure none is left.
Status StageSidecar(OsDir& dir, const std::string& generationName, const Manifest& manifest);
// Then renames it onto the sidecar's name (replacing one there). The
// directory is not flushed. On failure the temporary file is removed.
Status PlaceSidecar(OsDir& dir, const std::string& generationName);
// Removes the sidecar of `generationName` in `dir`, and a temporary one a
// break left; true in `*removed` when there was one. Ok where there is none.
Status RemoveSidecar(OsDir& dir, const std::string& generationName, bool* removed = nullptr);

// Reads the regular file `name` of `dir` whole and checksums it; `*size`
// receives the bytes read. `progress` (may be null) hears the bytes read
// and stops the reading (kCancelled).
Status ChecksumFile(Os& os, OsDir& dir, const std::string& name, Checksum* checksum, std::uint64_t* size,
                    CopyProgress* progress = nullptr);

// What the apply of one run knows of the files it made, by path below the
// copy's top: the checksum a copy saw, or, for a hard link to the newest
// generation's file, that file's status (which the link shares; no
// checksum was taken).
struct CopiedChecksum {
  std::uint64_t size = 0;
  Checksum checksum;
  std::optional<FileStatus> linkedAs;
};
using CopiedChecksums = std::unordered_map<std::string, CopiedChecksum>;

// How `BuildManifest` came by its entries.
struct ManifestCounts {
  std::uint64_t copied = 0;   // seen while copied
  std::uint64_t earlier = 0;  // taken from the earlier manifest
  std::uint64_t read = 0;     // read again
  std::uint64_t failed = 0;   // could not be read: left out
};

// The manifest of the tree below `top` as it stands: each regular file's
// entry from `copied` where its size is the size the copy saw, else from
// `earlier` (the newest generation's manifest, may be null) where the entry
// matches the file's size and time, else by reading the file. A file
// `copied` records as linked takes the status recorded there, without a
// status call of its own, where `earlier` has the entry for it. The
// program's own names at the top are left out. A file that cannot be read
// is left out and counted; a directory that cannot be listed fails.
Status BuildManifest(Os& os, OsDir& top, const CopiedChecksums& copied, const Manifest* earlier, Manifest* manifest,
                     ManifestCounts* counts, CopyProgress* progress = nullptr);

// Whether `name` at the top of a copy is a name of the program's own that
// no manifest lists: the manifest itself (or one a break left half
// written), or the lock of a run that mirrors into the backup directory.
bool IsOwnTopName(std::string_view name);

}  // namespace veldar
