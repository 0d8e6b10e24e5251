#include "testing/forwarding_os.h"

namespace veldar {

const char* OsOpName(OsOp op) {
  switch (op) {
    case OsOp::CopyFile: return "CopyFile";
    case OsOp::DeleteFile: return "DeleteFile";
    case OsOp::RemoveDir: return "RemoveDir";
    case OsOp::CreateDir: return "CreateDir";
    case OsOp::MoveNoReplace: return "MoveNoReplace";
    case OsOp::MoveIfFree: return "MoveIfFree";
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
    case OsOp::TestLock: return "TestLock";
    case OsOp::ReadLink: return "ReadLink";
    case OsOp::ProbeMedium: return "ProbeMedium";
  }
  return "?";
}

bool ChangesFileSystem(OsOp op) {
  switch (op) {
    case OsOp::CopyFile:
    case OsOp::DeleteFile:
    case OsOp::RemoveDir:
    case OsOp::CreateDir:
    case OsOp::CreateDirTree:
    case OsOp::MoveNoReplace:
    case OsOp::MoveIfFree:
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

// A directory of the real system opened through a ForwardingOs: every
// operation goes through the ForwardingOs's hooks under the entry's full path.
class ForwardingDir : public OsDir {
 public:
  ForwardingDir(ForwardingOs& os, std::unique_ptr<OsDir> real) : os_(os), real_(std::move(real)) {}

  const std::string& Path() const override { return real_->Path(); }

  Status Stat(FileStatus* status) override {
    const Status code = os_.Perform(OsOp::Stat, Path(), {}, [&] { return real_->Stat(status); });
    if (code.ok()) os_.Seen(Path(), status);
    return code;
  }
  Status List(std::vector<DirEntry>* entries, const NameFilter& wanted) override {
    entries->clear();
    const Status code = os_.Perform(OsOp::ListDir, Path(), {}, [&] { return real_->List(entries, wanted); });
    for (DirEntry& entry : *entries) os_.Seen(At(entry.name), &entry.status);
    return code;
  }
  Status StatAt(const std::string& name, FileStatus* status, bool followLink) override {
    const Status code = os_.Perform(OsOp::Stat, At(name), {}, [&] {
      return real_->StatAt(os_.LookUpName(*real_, name), status, followLink);
    });
    if (code.ok()) os_.Seen(At(name), status);
    return code;
  }
  Status ReadLinkAt(const std::string& name, std::string* text) override {
    return os_.Perform(OsOp::ReadLink, At(name), {}, [&] { return real_->ReadLinkAt(name, text); });
  }
  Status OpenDir(const std::string& name, std::unique_ptr<OsDir>* dir) override {
    dir->reset();
    return os_.Perform(OsOp::OpenDir, At(name), {}, [&] {
      std::unique_ptr<OsDir> opened;
      const Status code = real_->OpenDir(name, &opened);
      if (code.ok()) *dir = std::make_unique<ForwardingDir>(os_, std::move(opened));
      return code;
    });
  }
  Status CreateDir(const std::string& name) override {
    return os_.Perform(OsOp::CreateDir, At(name), {}, [&] { return real_->CreateDir(name); });
  }
  Status DeleteFile(const std::string& name) override {
    return os_.Perform(OsOp::DeleteFile, At(name), {}, [&] { return real_->DeleteFile(name); });
  }
  Status RemoveDir(const std::string& name) override {
    return os_.Perform(OsOp::RemoveDir, At(name), {}, [&] { return real_->RemoveDir(name); });
  }
  Status MoveNoReplace(const std::string& from, OsDir& toDir, const std::string& to) override {
    auto& other = Same(toDir);
    return os_.Perform(OsOp::MoveNoReplace, At(from), other.At(to),
                       [&] { return real_->MoveNoReplace(from, *other.real_, to); });
  }
  Status MoveIfFree(const std::string& from, OsDir& toDir, const std::string& to) override {
    auto& other = Same(toDir);
    return os_.Perform(OsOp::MoveIfFree, At(from), other.At(to),
                       [&] { return real_->MoveIfFree(from, *other.real_, to); });
  }
  Status Exchange(const std::string& a, const std::string& b) override {
    return os_.Perform(OsOp::Exchange, At(a), At(b), [&] { return real_->Exchange(a, b); });
  }
  Status CopyFile(const std::string& name, OsDir& toDir, const std::string& to, CopyMode mode,
                  std::uint64_t* bytesCopied, bool* readFailed) override {
    if (bytesCopied) *bytesCopied = 0;
    auto& other = Same(toDir);
    os_.WillCopy(mode);
    const Status code = os_.Perform(OsOp::CopyFile, At(name), other.At(to), [&] {
      return real_->CopyFile(name, *other.real_, to, mode, bytesCopied, readFailed);
    });
    if (!code.ok() && readFailed && os_.FailsReading(OsOp::CopyFile, At(name))) *readFailed = true;
    return code;
  }
  Status StageCopy(const std::string& name, OsDir& toDir, const std::string& to, std::string* temporary,
                   std::uint64_t* bytesCopied, bool* readFailed) override {
    if (bytesCopied) *bytesCopied = 0;
    temporary->clear();
    auto& other = Same(toDir);
    const Status code = os_.Perform(OsOp::StageCopy, At(name), other.At(to), [&] {
      return real_->StageCopy(name, *other.real_, to, temporary, bytesCopied, readFailed);
    });
    if (!code.ok() && readFailed && os_.FailsReading(OsOp::StageCopy, At(name))) *readFailed = true;
    return code;
  }
  Status PlaceCopy(const std::string& temporary, const std::string& to, CopyMode mode) override {
    return os_.Perform(OsOp::PlaceCopy, At(temporary), At(to),
                       [&] { return real_->PlaceCopy(temporary, to, mode); });
  }
  Status CloneFile(const std::string& name, OsDir& toDir, const std::string& to,
                   const FileStatus& expected) override {
    auto& other = Same(toDir);
    return os_.Perform(OsOp::CloneFile, At(name), other.At(to),
                       [&] { return os_.CloneFile(*real_, name, *other.real_, to, expected); });
  }
  Status LinkFile(const std::string& name, OsDir& toDir, const std::string& to,
                  const FileStatus& expected) override {
    auto& other = Same(toDir);
    return os_.Perform(OsOp::LinkFile, At(name), other.At(to),
                       [&] { return real_->LinkFile(name, *other.real_, to, expected); });
  }
  Status SetTimes(const std::string& name, std::int64_t seconds) override {
    return os_.Perform(OsOp::SetTimes, At(name), {}, [&] { return real_->SetTimes(name, seconds); });
  }
  Status SetAttributesNormal(const std::string& name) override {
    return os_.Perform(OsOp::SetAttributesNormal, At(name), {}, [&] { return real_->SetAttributesNormal(name); });
  }
  Status SetAttributes(const std::string& name, const FileAttributes& attributes) override {
    return os_.Perform(OsOp::SetAttributes, At(name), {}, [&] { return real_->SetAttributes(name, attributes); });
  }
  Status SetReadOnly(const std::string& name, bool readOnly) override {
    return os_.Perform(OsOp::SetAttributes, At(name), {}, [&] { return real_->SetReadOnly(name, readOnly); });
  }
  Status SetPermissions(const std::string& name, std::uint32_t permissions) override {
    return os_.Perform(OsOp::SetPermissions, At(name), {},
                       [&] { return real_->SetPermissions(name, permissions); });
  }
  Status SetOwner(const std::string& name, std::uint32_t owner, std::uint32_t group) override {
    return os_.Perform(OsOp::SetOwner, At(name), {}, [&] { return real_->SetOwner(name, owner, group); });
  }
  Status SyncFileSystem() override {
    return os_.Perform(OsOp::SyncFileSystem, Path(), {}, [&] { return real_->SyncFileSystem(); });
  }
  Status Sync() override {
    return os_.Perform(OsOp::SyncDir, Path(), {}, [&] { return real_->Sync(); });
  }
  bool CanClone() override { return os_.CanClone(*real_); }
  std::int64_t TimeResolutionNs() override { return os_.TimeResolutionNs(*real_); }
  bool KeepsPermissions() override { return os_.KeepsPermissions(*real_); }
  Status ProbeMedium(MediumTraits* traits) override {
    return os_.Perform(OsOp::ProbeMedium, Path(), {}, [&] { return os_.ProbeMedium(*real_, traits); });
  }
  Status Lock(const std::string& name) override {
    return os_.Perform(OsOp::LockDir, At(name), {}, [&] { return real_->Lock(name); });
  }
  Status TestLock(const std::string& name) override {
    return os_.Perform(OsOp::TestLock, At(name), {}, [&] { return real_->TestLock(name); });
  }

 private:
  // The full path of an entry (of the directory itself for an empty name).
  std::string At(const std::string& name) const {
    return name.empty() ? Path() : os_.Paths().Join(Path(), name);
  }
  // A second directory of the same double.
  static ForwardingDir& Same(OsDir& dir) { return static_cast<ForwardingDir&>(dir); }

  ForwardingOs& os_;
  std::unique_ptr<OsDir> real_;
};

}  // namespace

Status ForwardingOs::Perform(OsOp, const std::string&, const std::string&,
                             const std::function<Status()>& real) {
  return real();
}

void ForwardingOs::SetCopyProgress(CopyProgress* progress) {
  Os::SetCopyProgress(progress);
  real_.SetCopyProgress(progress);
}

Status ForwardingOs::OpenDir(const std::string& path, bool followLink, std::unique_ptr<OsDir>* dir) {
  dir->reset();
  return Perform(OsOp::OpenDir, path, {}, [&] {
    std::unique_ptr<OsDir> opened;
    const Status code = real_.OpenDir(path, followLink, &opened);
    if (code.ok()) *dir = std::make_unique<ForwardingDir>(*this, std::move(opened));
    return code;
  });
}

Status ForwardingOs::Access(const std::string& path, int mode) {
  return Perform(OsOp::Access, path, {}, [&] { return real_.Access(path, mode); });
}

Status ForwardingOs::RealPath(const std::string& path, std::string* resolved) {
  return Perform(OsOp::RealPath, path, {}, [&] { return real_.RealPath(path, resolved); });
}

Status ForwardingOs::FreeSpace(const std::string& path, std::uint64_t* bytes) {
  return Perform(OsOp::FreeSpace, path, {}, [&] { return real_.FreeSpace(path, bytes); });
}

Status ForwardingOs::CreateDirTree(const std::string& path) {
  return Perform(OsOp::CreateDirTree, path, {}, [&] { return real_.CreateDirTree(path); });
}

Status ForwardingOs::OpenExclusive(const std::string& path, std::unique_ptr<OsFile>* file) {
  file->reset();
  return Perform(OsOp::OpenExclusive, path, {}, [&] { return real_.OpenExclusive(path, file); });
}

Status ForwardingOs::OpenScratchFile(std::unique_ptr<OsFile>* file) {
  file->reset();
  return Perform(OsOp::OpenScratchFile, {}, {}, [&] { return real_.OpenScratchFile(file); });
}

}  // namespace veldar
