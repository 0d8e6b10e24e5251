#pragma once
// Checks a copy (a generation, or a straight mirror) against its manifest
// (manifest.h): every file it lists is read whole and its checksum compared.
// Read-only: nothing is written, locked or changed, so it may run beside a
// backup (what that backup is writing is its working directory, which no
// check looks at).
//
// What it finds, per file, by its path below the copy's top:
//  - damaged: size and time as written, content not (a disk that rotted, a
//    hand that changed bytes and put the time back);
//  - missing: listed, not there;
//  - changed: there, but its size or time differs from what was written (an
//    edit by hand; the content is not read);
//  - unknown: there, not listed (added by hand);
//  - unreadable: listed, but it cannot be read.
// What it cannot find: a file changed in content together with its entry in
// the manifest, by someone who means to.

#include <cstdint>
#include <string>
#include <vector>

#include "engine/manifest.h"
#include "platform/os.h"

namespace veldar {

struct VerifyFinding {
  enum class Kind { kDamaged, kMissing, kChanged, kUnknown, kUnreadable };
  Kind kind;
  std::string path;  // below the copy's top, names joined by '/'
  Status status;     // kUnreadable: why
};

// The word a finding is printed with ("damaged", "missing", ...).
const char* VerifyKindName(VerifyFinding::Kind kind);

struct VerifyResult {
  ManifestState manifest = ManifestState::kRead;
  std::string manifestError;  // kDamaged, kUnreadable: why
  std::vector<VerifyFinding> findings;
  std::uint64_t files = 0;  // files read and checked
  std::uint64_t bytes = 0;
  // The walk stopped: a directory could not be listed (`failurePath`), or a
  // stop was asked for (kCancelled).
  Status failure;
  std::string failurePath;
  // Everything the manifest lists holds, and nothing is unlisted.
  bool Holds() const { return manifest == ManifestState::kRead && findings.empty() && failure.ok(); }
};

// Checks the copy `top` against its manifest. `progress` (may be null)
// hears the bytes read and may stop the check.
VerifyResult VerifyCopy(Os& os, OsDir& top, CopyProgress* progress = nullptr);

// Checks the file generation `name` of the backup directory `backup`
// against the manifest beside it (manifest.h), as VerifyCopy checks a
// directory: its finding's path is the generation's name.
VerifyResult VerifyFileGeneration(Os& os, OsDir& backup, const std::string& name, CopyProgress* progress = nullptr);

}  // namespace veldar
