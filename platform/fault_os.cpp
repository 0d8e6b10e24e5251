#include "platform/fault_os.h"

namespace veldar {

const char* OsOpName(OsOp op) {
  switch (op) {
    case OsOp::CopyFile: return "CopyFile";
    case OsOp::DeleteFile: return "DeleteFile";
    case OsOp::RemoveDir: return "RemoveDir";
    case OsOp::CreateDir: return "CreateDir";
    case OsOp::MoveNoReplace: return "MoveNoReplace";
    case OsOp::Stat: return "Stat";
    case OsOp::SetAttributesNormal: return "SetAttributesNormal";
    case OsOp::SetAttributes: return "SetAttributes";
    case OsOp::SetTimes: return "SetTimes";
    case OsOp::Access: return "Access";
    case OsOp::ListDir: return "ListDir";
    case OsOp::FreeSpace: return "FreeSpace";
    case OsOp::OpenExclusive: return "OpenExclusive";
    case OsOp::CreateDirTree: return "CreateDirTree";
    case OsOp::OpenDir: return "OpenDir";
    case OsOp::SetPermissions: return "SetPermissions";
    case OsOp::SetOwner: return "SetOwner";
    case OsOp::LockDir: return "LockDir";
    case OsOp::RealPath: return "RealPath";
    case OsOp::StageCopy: return "StageCopy";
    case OsOp::PlaceCopy: return "PlaceCopy";
    case OsOp::CloneFile: return "CloneFile";
    case OsOp::LinkFile: return "LinkFile";
    case OsOp::SyncFileSystem: return "SyncFileSystem";
    case OsOp::SyncDir: return "SyncDir";
    case OsOp::OpenScratchFile: return "OpenScratchFile";
    case OsOp::Exchange: return "Exchange";
  }
  return "?";
}

namespace {

// `path` is the rule's path, or ends with a separator and the rule's path.
bool PathMatches(const PathRules& paths, const std::string& path, const std::string& rulePath) {
  if (path == rulePath) return true;
  return path.size() > rulePath.size() && path.ends_with(rulePath) &&
         paths.IsSeparator(path[path.size() - rulePath.size() - 1]);
}

}  // namespace

bool FaultOs::Changes(OsOp op) {
  switch (op) {
    case OsOp::CopyFile:
    case OsOp::DeleteFile:
    case OsOp::RemoveDir:
    case OsOp::CreateDir:
    case OsOp::CreateDirTree:
    case OsOp::MoveNoReplace:
    case OsOp::Exchange:
    case OsOp::SetAttributesNormal:
    case OsOp::SetAttributes:
    case OsOp::SetTimes:
    case OsOp::SetPermissions:
    case OsOp::SetOwner:
    case OsOp::StageCopy:
    case OsOp::PlaceCopy:
    case OsOp::CloneFile:
    case OsOp::LinkFile:
    case OsOp::SyncFileSystem:
    case OsOp::SyncDir:
      return true;
    default:
      return false;
  }
}

namespace {

bool EqualsFolded(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    auto fold = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c | 0x20) : c; };
    if (fold(a[i]) != fold(b[i])) return false;
  }
  return true;
}

// A directory of the real system, opened through a FaultOs: every operation
// goes through the FaultOs's `Perform` under the entry's full path.
class FaultDir : public OsDir {
 public:
  FaultDir(FaultOs& os, std::unique_ptr<OsDir> real) : os_(os), real_(std::move(real)) {}

  const std::string& Path() const override { return real_->Path(); }

  int Status(FileStatus* status) override {
    const int code = os_.Perform(OsOp::Stat, Path(), {}, [&] { return real_->Status(status); });
    if (code == 0) os_.Seen(Path(), status);
    return code;
  }
  int List(std::vector<DirEntry>* entries, const NameFilter& wanted) override {
    entries->clear();
    const int code =
        os_.Perform(OsOp::ListDir, Path(), {}, [&] { return real_->List(entries, wanted); });
    for (DirEntry& entry : *entries) os_.Seen(At(entry.name), &entry.status);
    return code;
  }
  int StatAt(const std::string& name, FileStatus* status) override {
    const int code = os_.Perform(OsOp::Stat, At(name), {}, [&] {
      const std::string found = os_.FoldedName(real_.get(), Path(), name);
      return real_->StatAt(found, status);
    });
    if (code == 0) os_.Seen(At(name), status);
    return code;
  }
  int OpenDir(const std::string& name, std::unique_ptr<OsDir>* dir) override {
    dir->reset();
    return os_.Perform(OsOp::OpenDir, At(name), {}, [&] {
      std::unique_ptr<OsDir> opened;
      const int code = real_->OpenDir(name, &opened);
      if (code == 0) *dir = std::make_unique<FaultDir>(os_, std::move(opened));
      return code;
    });
  }
  int CreateDir(const std::string& name) override {
    return os_.Perform(OsOp::CreateDir, At(name), {}, [&] { return real_->CreateDir(name); });
  }
  int DeleteFile(const std::string& name) override {
    return os_.Perform(OsOp::DeleteFile, At(name), {}, [&] { return real_->DeleteFile(name); });
  }
  int RemoveDir(const std::string& name) override {
    return os_.Perform(OsOp::RemoveDir, At(name), {}, [&] { return real_->RemoveDir(name); });
  }
  int MoveNoReplace(const std::string& from, OsDir& toDir, const std::string& to) override {
    auto& other = static_cast<FaultDir&>(toDir);
    return os_.Perform(OsOp::MoveNoReplace, At(from), other.At(to),
                       [&] { return real_->MoveNoReplace(from, *other.real_, to); });
  }
  int Exchange(const std::string& a, const std::string& b) override {
    return os_.Perform(OsOp::Exchange, At(a), At(b), [&] {
      return os_.noExchange ? os_.CodeOf(ErrorKind::kUnsupported) : real_->Exchange(a, b);
    });
  }
  int CopyFile(const std::string& name, OsDir& toDir, const std::string& to, CopyMode mode,
               std::uint64_t* bytesCopied, bool* readFailed) override {
    if (bytesCopied) *bytesCopied = 0;
    auto& other = static_cast<FaultDir&>(toDir);
    os_.copyMode = mode;
    const std::string from = At(name);
    const int code = os_.Perform(OsOp::CopyFile, from, other.At(to), [&] {
      return real_->CopyFile(name, *other.real_, to, mode, bytesCopied, readFailed);
    });
    if (code != 0 && readFailed && os_.SourceSideRule(OsOp::CopyFile, from)) *readFailed = true;
    return code;
  }
  int StageCopy(const std::string& name, OsDir& toDir, const std::string& to,
                std::string* temporary, std::uint64_t* bytesCopied, bool* readFailed) override {
    if (bytesCopied) *bytesCopied = 0;
    temporary->clear();
    auto& other = static_cast<FaultDir&>(toDir);
    const std::string from = At(name);
    const int code = os_.Perform(OsOp::StageCopy, from, other.At(to), [&] {
      return real_->StageCopy(name, *other.real_, to, temporary, bytesCopied, readFailed);
    });
    if (code != 0 && readFailed && os_.SourceSideRule(OsOp::StageCopy, from)) *readFailed = true;
    return code;
  }
  int PlaceCopy(const std::string& temporary, const std::string& to, CopyMode mode) override {
    return os_.Perform(OsOp::PlaceCopy, At(temporary), At(to),
                       [&] { return real_->PlaceCopy(temporary, to, mode); });
  }
  int CloneFile(const std::string& name, OsDir& toDir, const std::string& to,
                const FileStatus& expected) override {
    auto& other = static_cast<FaultDir&>(toDir);
    return os_.Perform(OsOp::CloneFile, At(name), other.At(to), [&] {
      if (os_.canClone.value_or(false) && !real_->CanClone()) {
        return EmulatedClone(name, other, to, expected);
      }
      return real_->CloneFile(name, *other.real_, to, expected);
    });
  }
  int LinkFile(const std::string& name, OsDir& toDir, const std::string& to,
               const FileStatus& expected) override {
    auto& other = static_cast<FaultDir&>(toDir);
    return os_.Perform(OsOp::LinkFile, At(name), other.At(to),
                       [&] { return real_->LinkFile(name, *other.real_, to, expected); });
  }
  int SyncFileSystem() override {
    return os_.Perform(OsOp::SyncFileSystem, Path(), {}, [&] { return real_->SyncFileSystem(); });
  }
  int Sync() override {
    return os_.Perform(OsOp::SyncDir, Path(), {}, [&] { return real_->Sync(); });
  }
  bool CanClone() override { return os_.canClone ? *os_.canClone : real_->CanClone(); }
  int SetAttributesNormal(const std::string& name) override {
    return os_.Perform(OsOp::SetAttributesNormal, At(name), {},
                       [&] { return real_->SetAttributesNormal(name); });
  }
  int SetAttributes(const std::string& name, const FileAttributes& attributes) override {
    return os_.Perform(OsOp::SetAttributes, At(name), {},
                       [&] { return real_->SetAttributes(name, attributes); });
  }
  int SetReadOnly(const std::string& name, bool readOnly) override {
    return os_.Perform(OsOp::SetAttributes, At(name), {},
                       [&] { return real_->SetReadOnly(name, readOnly); });
  }
  int SetPermissions(const std::string& name, std::uint32_t permissions) override {
    return os_.Perform(OsOp::SetPermissions, At(name), {},
                       [&] { return real_->SetPermissions(name, permissions); });
  }
  int SetOwner(const std::string& name, std::uint32_t owner, std::uint32_t group) override {
    return os_.Perform(OsOp::SetOwner, At(name), {},
                       [&] { return real_->SetOwner(name, owner, group); });
  }
  std::int64_t TimeResolutionNs() override {
    return os_.timeResolutionNs ? *os_.timeResolutionNs : real_->TimeResolutionNs();
  }
  bool KeepsPermissions() override {
    return os_.keepsPermissions ? *os_.keepsPermissions : real_->KeepsPermissions();
  }
  int Lock(const std::string& name) override {
    return os_.Perform(OsOp::LockDir, At(name), {}, [&] { return real_->Lock(name); });
  }

 private:
  // The full path of an entry (of the directory itself for an empty name).
  std::string At(const std::string& name) const {
    return name.empty() ? Path() : os_.Paths().Join(Path(), name);
  }

  // A clone where the file system has none: fails as the real clone would
  // (when `name` is not the file `expected` describes, or when
  // `to` exists), else makes `to` an unflushed copy of it. 0 or the error.
  int EmulatedClone(const std::string& name, FaultDir& toDir, const std::string& to,
                    const FileStatus& expected) {
    FileStatus now;
    if (int code = real_->StatAt(name, &now)) return code;
    if (now.kind != EntryKind::File || !now.SameEntryAs(expected) || now.size != expected.size ||
        now.mtimeSec != expected.mtimeSec || now.mtimeNsec != expected.mtimeNsec) {
      return os_.CodeOf(ErrorKind::kChanged);
    }
    FileStatus existing;
    const int code = toDir.real_->StatAt(to, &existing);
    if (code == 0) return os_.CodeOf(ErrorKind::kExists);
    if (!os_.IsNotFound(code)) return code;
    return real_->CopyFile(name, *toDir.real_, to, CopyMode::Unflushed);
  }

  FaultOs& os_;
  std::unique_ptr<OsDir> real_;
};

}  // namespace

void FaultOs::FailAt(OsOp op, const std::string& path, int code, int times) {
  std::lock_guard<std::mutex> lock(mutex_);
  rules_.push_back(Rule{op, path, code, times});
}

void FaultOs::FailNthChange(int n, int code) {
  std::lock_guard<std::mutex> lock(mutex_);
  countdown_ = n > 0 ? n : 0;
  countdownCode_ = code;
}

void FaultOs::ClearRules() {
  std::lock_guard<std::mutex> lock(mutex_);
  rules_.clear();
  countdown_ = 0;
  countdownCode_ = 0;
}

int FaultOs::Injected(OsOp op, const std::string& path, const std::string& path2, bool changes) {
  std::lock_guard<std::mutex> lock(mutex_);
  int code = 0;
  if (changes) {
    ++changeCount;
    // Every changing call counts down, also one that a rule fails, so the
    // count matches `changeCount` of an earlier run.
    if (countdown_ > 0 && --countdown_ == 0) code = countdownCode_;
  }
  if (code != 0) return code;
  for (Rule& rule : rules_) {
    if (rule.op != op || rule.times == 0) continue;
    if (!rule.path.empty() && !PathMatches(real_.Paths(), path, rule.path) &&
        !(!path2.empty() && PathMatches(real_.Paths(), path2, rule.path))) {
      continue;
    }
    if (rule.times > 0) --rule.times;
    return rule.code;
  }
  return 0;
}

bool FaultOs::SourceSideRule(OsOp op, const std::string& from) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const Rule& rule : rules_) {
    if (rule.op == op && !rule.path.empty() && PathMatches(real_.Paths(), from, rule.path)) return true;
  }
  return false;
}

int FaultOs::Perform(OsOp op, const std::string& path, const std::string& path2,
                     const std::function<int()>& real) {
  int result = Injected(op, path, path2, Changes(op));
  if (result == 0) result = real();
  std::lock_guard<std::mutex> lock(mutex_);
  calls.push_back(Call{op, path, path2, result, std::this_thread::get_id()});
  return result;
}

std::string FaultOs::FoldedName(OsDir* directory, const std::string& directoryPath,
                                const std::string& name) {
  if (!foldCase) return name;
  std::vector<DirEntry> entries;
  if (directory != nullptr) {
    directory->List(&entries);
  } else {
    real_.ListDir(directoryPath, true, &entries);
  }
  for (const DirEntry& entry : entries) {
    if (entry.name == name) return name;
  }
  for (const DirEntry& entry : entries) {
    if (EqualsFolded(entry.name, name)) return entry.name;
  }
  return name;
}

int FaultOs::CopyFile(const std::string& from, const std::string& to, CopyMode mode,
                      std::uint64_t* bytesCopied) {
  if (bytesCopied) *bytesCopied = 0;
  copyMode = mode;
  return Perform(OsOp::CopyFile, from, to,
                 [&] { return real_.CopyFile(from, to, mode, bytesCopied); });
}

int FaultOs::DeleteFile(const std::string& path) {
  return Perform(OsOp::DeleteFile, path, {}, [&] { return real_.DeleteFile(path); });
}

int FaultOs::RemoveDir(const std::string& path) {
  return Perform(OsOp::RemoveDir, path, {}, [&] { return real_.RemoveDir(path); });
}

int FaultOs::CreateDir(const std::string& path) {
  return Perform(OsOp::CreateDir, path, {}, [&] { return real_.CreateDir(path); });
}

int FaultOs::MoveNoReplace(const std::string& from, const std::string& to) {
  return Perform(OsOp::MoveNoReplace, from, to, [&] { return real_.MoveNoReplace(from, to); });
}

int FaultOs::Stat(const std::string& path, bool followLink, FileStatus* status) {
  const int code = Perform(OsOp::Stat, path, {}, [&] {
    std::string found = path;
    const PathRules& paths = Paths();
    const std::string name = paths.NameOf(path);
    if (foldCase && !name.empty() && name.size() < path.size()) {
      const std::string directory = paths.ParentOf(path);
      found = paths.Join(directory, FoldedName(nullptr, directory, name));
    }
    return real_.Stat(found, followLink, status);
  });
  if (code == 0) Seen(path, status);
  return code;
}

int FaultOs::SetAttributesNormal(const std::string& path) {
  return Perform(OsOp::SetAttributesNormal, path, {},
                 [&] { return real_.SetAttributesNormal(path); });
}

int FaultOs::SetAttributes(const std::string& path, const FileAttributes& attributes) {
  return Perform(OsOp::SetAttributes, path, {},
                 [&] { return real_.SetAttributes(path, attributes); });
}

int FaultOs::SetReadOnly(const std::string& path, bool readOnly) {
  return Perform(OsOp::SetAttributes, path, {}, [&] { return real_.SetReadOnly(path, readOnly); });
}

int FaultOs::SetTimes(const std::string& path, std::int64_t seconds) {
  return Perform(OsOp::SetTimes, path, {}, [&] { return real_.SetTimes(path, seconds); });
}

int FaultOs::Access(const std::string& path, int mode) {
  return Perform(OsOp::Access, path, {}, [&] { return real_.Access(path, mode); });
}

int FaultOs::ListDir(const std::string& path, bool followLink, std::vector<DirEntry>* entries,
                     const NameFilter& wanted) {
  entries->clear();
  const int code = Perform(OsOp::ListDir, path, {},
                           [&] { return real_.ListDir(path, followLink, entries, wanted); });
  for (DirEntry& entry : *entries) Seen(Paths().Join(path, entry.name), &entry.status);
  return code;
}

int FaultOs::OpenDir(const std::string& path, bool followLink, std::unique_ptr<OsDir>* dir) {
  dir->reset();
  return Perform(OsOp::OpenDir, path, {}, [&] {
    std::unique_ptr<OsDir> opened;
    const int code = real_.OpenDir(path, followLink, &opened);
    if (code == 0) *dir = std::make_unique<FaultDir>(*this, std::move(opened));
    return code;
  });
}

int FaultOs::RealPath(const std::string& path, std::string* resolved) {
  return Perform(OsOp::RealPath, path, {}, [&] { return real_.RealPath(path, resolved); });
}

int FaultOs::FreeSpace(const std::string& path, std::uint64_t* bytes) {
  return Perform(OsOp::FreeSpace, path, {}, [&] { return real_.FreeSpace(path, bytes); });
}

int FaultOs::OpenScratchFile(std::unique_ptr<OsFile>* file) {
  file->reset();
  return Perform(OsOp::OpenScratchFile, {}, {}, [&] { return real_.OpenScratchFile(file); });
}

int FaultOs::OpenExclusive(const std::string& path, std::unique_ptr<OsFile>* file) {
  file->reset();
  return Perform(OsOp::OpenExclusive, path, {}, [&] { return real_.OpenExclusive(path, file); });
}

int FaultOs::CreateDirTree(const std::string& path) {
  return Perform(OsOp::CreateDirTree, path, {}, [&] { return real_.CreateDirTree(path); });
}

std::string FaultOs::ProgramDir() { return real_.ProgramDir(); }

std::string FaultOs::LogDir() { return logDirOverride.empty() ? real_.LogDir() : logDirOverride; }

std::string FaultOs::PrivateRuntimeDir() { return real_.PrivateRuntimeDir(); }

std::optional<std::string> FaultOs::GetEnv(const std::string& name) {
  auto found = env.find(name);
  if (found != env.end()) return found->second;
  return real_.GetEnv(name);
}

int FaultOs::ProcessId() { return pidOverride != 0 ? pidOverride : real_.ProcessId(); }

bool FaultOs::IsAbandonedTemporary(std::string_view name) { return real_.IsAbandonedTemporary(name); }

bool FaultOs::MayChangeOwner() { return real_.MayChangeOwner(); }

std::uint32_t FaultOs::UserId() { return real_.UserId(); }

std::int64_t FaultOs::Now() { return fixedNow != 0 ? fixedNow : real_.Now(); }

std::string FaultOs::FormatLocalTime(std::int64_t seconds, const char* format) {
  return real_.FormatLocalTime(seconds, format);
}

void FaultOs::SleepMs(int milliseconds) { sleeps.push_back(milliseconds); }

std::string FaultOs::ErrorText(int code) { return real_.ErrorText(code); }
ErrorKind FaultOs::KindOf(int code) const { return real_.KindOf(code); }
int FaultOs::CodeOf(ErrorKind kind) const { return real_.CodeOf(kind); }
const PathRules& FaultOs::Paths() const { return real_.Paths(); }
char FaultOs::OptionChar() const { return optionChar ? *optionChar : real_.OptionChar(); }
std::string_view FaultOs::LineEnd() const { return real_.LineEnd(); }

}  // namespace veldar
