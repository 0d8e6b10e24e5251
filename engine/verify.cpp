// The check of a copy against its manifest (see verify.h).

#include "engine/verify.h"

#include <memory>
#include <set>

namespace veldar {
namespace {

class Checker {
 public:
  Checker(Os& os, const Manifest& manifest, VerifyResult& result, CopyProgress* progress)
      : os_(os), manifest_(manifest), result_(result), progress_(progress) {}

  // Walks `dir` (the level `prefix`); false once the walk has stopped.
  bool Walk(OsDir& dir, const std::string& prefix) {
    std::vector<DirEntry> entries;
    if (Status code = dir.List(&entries); !code.ok()) return Stop(code, dir.Path());
    for (const DirEntry& entry : entries) {
      if (prefix.empty() && IsOwnTopName(entry.name)) continue;
      const std::string path = prefix.empty() ? entry.name : prefix + "/" + entry.name;
      if (entry.status.kind == EntryKind::Directory) {
        std::unique_ptr<OsDir> sub;
        if (Status code = dir.OpenDir(entry.name, &sub); !code.ok()) return Stop(code, dir.Path());
        if (!Walk(*sub, path)) return false;
        continue;
      }
      // Links and special files have no content to check.
      if (entry.status.kind != EntryKind::File) continue;
      if (!File(dir, entry, path)) return false;
    }
    return true;
  }

  // What the manifest lists that the walk did not meet.
  void Missing() {
    for (const auto& [path, entry] : manifest_.entries()) {
      if (!seen_.count(path)) Add(VerifyFinding::Kind::kMissing, path);
    }
  }

 private:
  bool File(OsDir& dir, const DirEntry& entry, const std::string& path) {
    const ManifestEntry* listed = manifest_.Find(path);
    if (listed == nullptr) {
      Add(VerifyFinding::Kind::kUnknown, path);
      return true;
    }
    seen_.insert(path);
    if (!listed->Matches(entry.status)) {
      Add(VerifyFinding::Kind::kChanged, path);
      return true;
    }
    Checksum checksum;
    std::uint64_t size = 0;
    if (Status code = ChecksumFile(os_, dir, entry.name, &checksum, &size, progress_); !code.ok()) {
      if (code.Is(ErrorKind::kCancelled)) return Stop(code, dir.Path());
      Add(VerifyFinding::Kind::kUnreadable, path, code);
      return true;
    }
    ++result_.files;
    result_.bytes += size;
    if (size != listed->size || !(checksum == listed->checksum)) Add(VerifyFinding::Kind::kDamaged, path);
    return true;
  }

  void Add(VerifyFinding::Kind kind, const std::string& path, Status status = Status()) {
    result_.findings.push_back(VerifyFinding{kind, path, status});
  }

  bool Stop(const Status& code, const std::string& path) {
    result_.failure = code;
    result_.failurePath = path;
    return false;
  }

  Os& os_;
  const Manifest& manifest_;
  VerifyResult& result_;
  CopyProgress* progress_;
  std::set<std::string> seen_;
};

}  // namespace

const char* VerifyKindName(VerifyFinding::Kind kind) {
  switch (kind) {
    case VerifyFinding::Kind::kDamaged:
      return "damaged";
    case VerifyFinding::Kind::kMissing:
      return "missing";
    case VerifyFinding::Kind::kChanged:
      return "changed";
    case VerifyFinding::Kind::kUnknown:
      return "unknown";
    case VerifyFinding::Kind::kUnreadable:
      return "unreadable";
  }
  return "";
}

VerifyResult VerifyFileGeneration(Os& os, OsDir& backup, const std::string& name, CopyProgress* progress) {
  VerifyResult result;
  Manifest manifest;
  result.manifest = ReadManifest(backup, &manifest, &result.manifestError, nullptr, SidecarName(name));
  if (result.manifest != ManifestState::kRead) return result;
  const ManifestEntry* listed = manifest.Find(name);
  // A manifest of another name's is no manifest of this generation.
  if (listed == nullptr || manifest.entries().size() != 1) {
    result.manifest = ManifestState::kDamaged;
    result.manifestError = "not this generation's";
    return result;
  }
  const auto add = [&](VerifyFinding::Kind kind, Status status = Status()) {
    result.findings.push_back(VerifyFinding{kind, name, status});
  };
  FileStatus status;
  if (Status code = backup.StatAt(name, &status); !code.ok() || status.kind != EntryKind::File) {
    if (code.ok() || code.Is(ErrorKind::kNotFound)) {
      add(VerifyFinding::Kind::kMissing);
    } else {
      add(VerifyFinding::Kind::kUnreadable, code);
    }
    return result;
  }
  if (!listed->Matches(status)) {
    add(VerifyFinding::Kind::kChanged);
    return result;
  }
  Checksum checksum;
  std::uint64_t size = 0;
  if (Status code = ChecksumFile(os, backup, name, &checksum, &size, progress); !code.ok()) {
    if (code.Is(ErrorKind::kCancelled)) {
      result.failure = code;
      result.failurePath = backup.Path();
    } else {
      add(VerifyFinding::Kind::kUnreadable, code);
    }
    return result;
  }
  result.files = 1;
  result.bytes = size;
  if (size != listed->size || !(checksum == listed->checksum)) add(VerifyFinding::Kind::kDamaged);
  return result;
}

VerifyResult VerifyCopy(Os& os, OsDir& top, CopyProgress* progress) {
  VerifyResult result;
  Manifest manifest;
  Status status;
  result.manifest = ReadManifest(top, &manifest, &result.manifestError, &status);
  if (result.manifest != ManifestState::kRead) return result;
  Checker checker(os, manifest, result, progress);
  // Missing files are only known once the whole tree was walked.
  if (checker.Walk(top, std::string())) checker.Missing();
  return result;
}

}  // namespace veldar
