// The Win32 layer's open directory (`OsDir`): the volume it is on (its file
// system, flushing, the time resolution) and every operation on a name
// relative to the directory's handle.

#include "platform/os_win32_internal.h"

namespace veldar {
namespace win32_internal {

// ---- Volumes ----

// The file system's name ("NTFS", "FAT32") of the volume holding `h`.
std::wstring FileSystemName(HANDLE h) {
  wchar_t name[MAX_PATH + 1] = {};
  if (!GetVolumeInformationByHandleW(h, nullptr, 0, nullptr, nullptr, nullptr, name, MAX_PATH + 1)) {
    return std::wstring();
  }
  return name;
}

// True for the codes with which a flush is refused rather than failed.
bool FlushRefused(int code) {
  return code == ERROR_ACCESS_DENIED || code == ERROR_INVALID_FUNCTION || code == ERROR_NOT_SUPPORTED ||
         code == ERROR_INVALID_PARAMETER;
}

// Flushes the volume that holds `h` (see os_win32.cpp's header comment).
int FlushVolumeOf(HANDLE h) {
  std::wstring path(32768, L'\0');
  DWORD length = GetFinalPathNameByHandleW(h, path.data(), static_cast<DWORD>(path.size()),
                                           FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  // Wine gives no final path beyond MAX_PATH: no volume to flush by name,
  // and every file was flushed.
  if (length == 0 && GetLastError() == ERROR_MORE_DATA) return 0;
  if (length == 0 || length >= path.size()) return length == 0 ? LastError() : ERROR_GEN_FAILURE;
  path.resize(length);
  std::wstring root(path.size() + 2, L'\0');
  if (!GetVolumePathNameW(path.c_str(), root.data(), static_cast<DWORD>(root.size()))) {
    return LastError();
  }
  root.resize(wcslen(root.c_str()));
  if (root.empty() || root.back() != L'\\') root += L'\\';
  // The volume behind the mount point, drive letter or folder:
  // "\\?\Volume{...}\", opened without its final separator. A share has none:
  // nothing here can flush it, and every file was flushed.
  wchar_t name[64];
  if (!GetVolumeNameForVolumeMountPointW(root.c_str(), name, 64)) return 0;
  std::wstring volume = name;
  while (!volume.empty() && volume.back() == L'\\') volume.pop_back();
  Handle device(CreateFileW(volume.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                            0, nullptr));
  if (!device) {
    const int code = LastError();
    return FlushRefused(code) ? 0 : code;
  }
  if (FlushFileBuffers(device.get())) return 0;
  const int code = LastError();
  return FlushRefused(code) ? 0 : code;
}

// ---- Open directories ----

class Win32Dir : public OsDir {
 public:
  // `os` is the system that opened it: its copies report to its progress.
  Win32Dir(HANDLE handle, std::string path, const Os& os) : handle_(handle), path_(std::move(path)), os_(os) {}
  ~Win32Dir() override = default;

  const std::string& Path() const override { return path_; }

  Status Stat(FileStatus* status) override { return WindowsError(StatusOfHandle(handle_.get(), status)); }

  // A handle's status comes from the file system each time.
  Status FreshStat(FileStatus* status) override { return Stat(status); }

  Status List(std::vector<DirEntry>* entries, const NameFilter& wanted) override {
    return WindowsError(ListHandle(handle_.get(), entries, wanted));
  }

  Status StatAt(const std::string& name, FileStatus* status, bool followLink) override {
    Place at;
    if (int code = Here(name, &at)) return WindowsError(code);
    return WindowsError(win32_internal::StatAt(at, followLink, status));
  }

  Status OpenForReading(const std::string& name, std::unique_ptr<OsFile>* file) override {
    file->reset();
    Place at;
    if (int code = Here(name, &at)) return WindowsError(code);
    // Opened as the entry itself: a link is seen, never followed.
    Handle h;
    if (int code = OpenAt(at, GENERIC_READ | FILE_READ_ATTRIBUTES, kShareAll, FILE_OPEN,
                          FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT, &h)) {
      return WindowsError(code);
    }
    DWORD attributes = 0, tag = 0;
    if (int code = AttributesOf(h.get(), &attributes, &tag)) return WindowsError(code);
    if (tag != 0) return WindowsError(ERROR_CANT_ACCESS_FILE);
    *file = MakeWin32File(h.release());
    return Status();
  }

  Status CreateNewFile(const std::string& name, std::unique_ptr<OsFile>* file) override {
    file->reset();
    Place at;
    if (int code = Here(name, &at)) return WindowsError(code);
    Handle h;
    if (int code =
            OpenAt(at, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, FILE_CREATE, FILE_NON_DIRECTORY_FILE, &h)) {
      return WindowsError(code);
    }
    *file = MakeWin32File(h.release());
    return Status();
  }

  Status ReadLinkAt(const std::string& name, std::string* text) override {
    Place at;
    if (int code = Here(name, &at)) return WindowsError(code);
    Handle link;
    DWORD attributes = 0, tag = 0;
    if (int code = OpenEntry(at, 0, 0, false, &link, &attributes, &tag)) return WindowsError(code);
    if (!IsLink(attributes, tag)) return WindowsError(ERROR_NOT_A_REPARSE_POINT);
    return WindowsError(LinkTextOf(link.get(), text));
  }

  Status OpenDir(const std::string& name, std::unique_ptr<OsDir>* dir) override {
    dir->reset();
    Place at;
    if (int code = Here(name, &at)) return WindowsError(code);
    Handle h;
    if (int code = OpenDirectory(at, false, &h)) return WindowsError(code);
    *dir = std::make_unique<Win32Dir>(h.release(), PathRules::Windows().Join(path_, name), os_);
    return Status();
  }

  Status CreateDir(const std::string& name) override {
    Place at;
    if (int code = Here(name, &at)) return WindowsError(code);
    return WindowsError(CreateDirAt(at));
  }

  Status DeleteFile(const std::string& name) override {
    Place at;
    if (int code = Here(name, &at)) return WindowsError(code);
    if (int code = CheckForWine()) return WindowsError(code);
    return WindowsError(DeleteAt(at));
  }

  Status RemoveDir(const std::string& name) override {
    Place at;
    if (int code = Here(name, &at)) return WindowsError(code);
    if (int code = CheckForWine()) return WindowsError(code);
    return WindowsError(RemoveDirAt(at));
  }

  Status MoveNoReplace(const std::string& from, OsDir& toDir, const std::string& to) override {
    Place source, target;
    if (int code = Here(from, &source)) return WindowsError(code);
    if (int code = static_cast<Win32Dir&>(toDir).Here(to, &target)) return WindowsError(code);
    if (int code = CheckForWine()) return WindowsError(code);
    if (int code = static_cast<Win32Dir&>(toDir).CheckForWine()) return WindowsError(code);
    return WindowsError(MoveAt(source, target));
  }

  // MoveFileEx never replaces without being asked to: nothing to look up.
  Status MoveIfFree(const std::string& from, OsDir& toDir, const std::string& to) override {
    return MoveNoReplace(from, toDir, to);
  }

  // Windows has no call that swaps two directories in one step.
  Status Exchange(const std::string&, const std::string&) override { return WindowsError(ERROR_NOT_SUPPORTED); }

  Status CopyFile(const std::string& name, OsDir& toDir, const std::string& to, CopyMode mode,
                  std::uint64_t* bytesCopied, bool* readFailed, CopyProgress* progress) override {
    if (bytesCopied) *bytesCopied = 0;
    if (readFailed) *readFailed = false;
    Place source, target;
    if (int code = Here(name, &source)) return WindowsError(code);
    if (int code = static_cast<Win32Dir&>(toDir).Here(to, &target)) return WindowsError(code);
    if (int code = static_cast<Win32Dir&>(toDir).CheckForWine()) return WindowsError(code);
    return WindowsError(CopyAt(source, target, mode, bytesCopied, progress, readFailed));
  }

  Status StageCopy(const std::string& name, OsDir& toDir, const std::string& to, std::string* temporary,
                   std::uint64_t* bytesCopied, bool* readFailed, CopyProgress* progress) override {
    if (bytesCopied) *bytesCopied = 0;
    bool unused = false;
    if (!readFailed) readFailed = &unused;
    *readFailed = false;
    temporary->clear();
    Place source, target;
    if (int code = Here(name, &source)) return WindowsError(code);
    if (int code = static_cast<Win32Dir&>(toDir).Here(to, &target)) return WindowsError(code);
    if (int code = static_cast<Win32Dir&>(toDir).CheckForWine()) return WindowsError(code);
    Place made;
    Handle open;
    std::uint64_t bytes = 0;
    if (int code = WriteCopy(source, target, CopyTarget::Temporary, &made, &open, &bytes, progress, readFailed)) {
      return WindowsError(code);
    }
    *temporary = WideToUtf8(made.name);
    if (bytesCopied) *bytesCopied = bytes;
    return Status();
  }

  Status PlaceCopy(const std::string& temporary, const std::string& to, CopyMode mode) override {
    Place source, target;
    if (int code = Here(temporary, &source)) return WindowsError(code);
    if (int code = Here(to, &target)) return WindowsError(code);
    if (int code = CheckForWine()) return WindowsError(code);
    Handle h;
    DWORD attributes = 0, tag = 0;
    if (int code = OpenEntry(source, DELETE, 0, false, &h, &attributes, &tag)) return WindowsError(code);
    return WindowsError(RenameHandle(h.get(), target, mode != CopyMode::FailIfExists));
  }

  Status CloneFile(const std::string& name, OsDir& toDir, const std::string& to, const FileStatus&) override {
    std::wstring unused;
    if (int code = CheckName(name, &unused)) return WindowsError(code);
    if (int code = CheckName(to, &unused)) return WindowsError(code);
    (void)toDir;
    return WindowsError(ERROR_NOT_SUPPORTED);
  }

  Status LinkFile(const std::string& name, OsDir& toDir, const std::string& to, const FileStatus& expected) override {
    Place source, target;
    if (int code = Here(name, &source)) return WindowsError(code);
    if (int code = static_cast<Win32Dir&>(toDir).Here(to, &target)) return WindowsError(code);
    if (int code = CheckForWine()) return WindowsError(code);
    if (int code = static_cast<Win32Dir&>(toDir).CheckForWine()) return WindowsError(code);
    Handle h;
    DWORD attributes = 0, tag = 0;
    if (int code = OpenEntry(source, FILE_WRITE_ATTRIBUTES, 0, false, &h, &attributes, &tag)) {
      return WindowsError(code);
    }
    // The new name is given to this very handle, so the file checked is the
    // file linked.
    FileStatus status;
    if (int code = StatusOfHandle(h.get(), &status)) return WindowsError(code);
    if (status.kind != EntryKind::File || status.device != expected.device || status.inode != expected.inode) {
      return WindowsError(kCodeChanged);
    }
    return WindowsError(RenameHandle(h.get(), target, /*replace=*/false, /*link=*/true));
  }

  Status SyncFileSystem() override { return WindowsError(FlushVolumeOf(handle_.get())); }

  Status Sync() override {
    // The directory itself, opened again for writing: an empty name relative
    // to a handle is its own directory.
    Handle h;
    int code = OpenAt(Place{handle_.get(), L""}, GENERIC_WRITE, kShareAll, FILE_OPEN, FILE_DIRECTORY_FILE, &h);
    if (code == 0 && !FlushFileBuffers(h.get())) code = LastError();
    return WindowsError(FlushRefused(code) ? 0 : code);
  }

  bool CanClone() override { return false; }

  // Owners and permission bits are not kept here: those parts only check
  // the name.
  Status ChangeEntry(const std::string& name, const EntryChange& change, EntryPart* failed) override {
    EntryPart part = FirstPart(change);
    const int code = ChangeEntryAt(name, change, &part);
    if (failed) *failed = code == 0 ? EntryPart::kNone : part;
    return WindowsError(code);
  }

  std::int64_t TimeResolutionNs() override {
    const std::wstring name = FileSystemName(handle_.get());
    if (name == L"FAT" || name == L"FAT32" || name == L"FAT12" || name == L"FAT16") {
      return 2'000'000'000;
    }
    if (name == L"exFAT") return 10'000'000;
    return 0;
  }

  bool KeepsPermissions() override { return false; }

  Status ProbeMedium(MediumTraits* traits) override {
    *traits = MediumTraits();
    wchar_t name[MAX_PATH + 1] = {};
    DWORD flags = 0;
    if (!GetVolumeInformationByHandleW(handle_.get(), nullptr, 0, nullptr, nullptr, &flags, name, MAX_PATH + 1)) {
      return WindowsError(LastError());
    }
    const std::wstring kind = name;
    traits->kind = WideToUtf8(kind);
    const bool fat = kind == L"FAT" || kind == L"FAT32" || kind == L"FAT12" || kind == L"FAT16";
    // MoveFileEx never replaces unless told to; no swap in one step.
    traits->exchange = false;
    // The FAT family holds no links of either kind; the volume's flags say
    // for the others (Wine's say none, for a folder that holds both).
    traits->hardLinks = !fat && kind != L"exFAT" && ((flags & FILE_SUPPORTS_HARD_LINKS) != 0 || kind == L"NTFS");
    traits->symlinks = !fat && kind != L"exFAT" && ((flags & FILE_SUPPORTS_REPARSE_POINTS) != 0 || kind == L"NTFS");
    traits->timeResolutionNs = TimeResolutionNs();
    traits->copiesAccess = traits->keepsPermissions = traits->keepsOwner = false;
    // Names are looked up without regard to case, whatever the volume can.
    traits->foldsCase = true;
    traits->refusedCharacters = ":?*\"<>|";
    traits->refusesControlCharacters = traits->refusesTrailingDotOrBlank = true;
    if (fat) traits->largestFile = 0xFFFFFFFFull;
    return Status();
  }

  // The lock names no file here: a named object of the session (see
  // os_win32.cpp's header comment) keeps other runs out without leaving anything behind.
  Status Lock(const std::string&) override {
    if (lock_) return Status();
    wchar_t name[96];
    if (int code = LockObjectName(name)) return WindowsError(code);
    Handle mutex(CreateMutexW(nullptr, FALSE, name));
    if (!mutex) return WindowsError(LastError());
    if (GetLastError() == ERROR_ALREADY_EXISTS) return WindowsError(ERROR_LOCK_VIOLATION);
    lock_.reset(mutex.release());
    return Status();
  }

  // The object is only looked for: nothing is made.
  Status TestLock(const std::string&) override {
    if (lock_) return Status();
    wchar_t name[96];
    if (int code = LockObjectName(name)) return WindowsError(code);
    Handle mutex(OpenMutexW(SYNCHRONIZE, FALSE, name));
    return mutex ? WindowsError(ERROR_LOCK_VIOLATION) : Status();
  }

  // Opens the directory at `at` as an OsDir named `path`.
  static int Open(const Place& at, bool followLink, std::string path, const Os& os, std::unique_ptr<OsDir>* dir) {
    Handle h;
    if (int code = OpenDirectory(at, followLink, &h)) return code;
    *dir = std::make_unique<Win32Dir>(h.release(), std::move(path), os);
    return 0;
  }

 private:
  int CheckForWine() { return CheckRootForWine(handle_.get(), path_); }

  // The name of the object that holds this directory's lock (96 characters
  // at most); 0, or the system's code.
  int LockObjectName(wchar_t* name) {
    std::uint64_t volume = 0, id = 0;
    if (int code = IdentityOf(handle_.get(), &volume, &id)) return code;
    std::swprintf(name, 96, L"Local\\VELDAR2-%llx-%llx", static_cast<unsigned long long>(volume),
                  static_cast<unsigned long long>(id));
    return 0;
  }

  // The place of the entry `name` in this directory.
  // `ChangeEntry`'s parts in their order; `*part` follows the part being
  // applied, so that on failure it names the one that failed.
  int ChangeEntryAt(const std::string& name, const EntryChange& change, EntryPart* part) {
    const bool basic = change.attributes || change.readOnly || change.times;
    Place at;
    if (!name.empty() || basic) {
      if (int code = Here(name, &at)) return code;
    }
    if (change.attributes || change.readOnly) {
      *part = EntryPart::kAttributes;
      if (change.attributes) {
        if (int code = SetAttributesAt(at, *change.attributes)) return code;
      }
      if (change.readOnly) {
        if (int code = SetReadOnlyAt(at, *change.readOnly)) return code;
      }
    }
    if (!change.times) return 0;
    *part = EntryPart::kTimes;
    const std::int64_t time = FileTimeOf(*change.times);
    // Stamped in the present second, the creation time keeps the present
    // moment's fraction of it: the creation time ranks file generations, and
    // two made within one second must still rank by when they were made.
    FILETIME now;
    GetSystemTimePreciseAsFileTime(&now);
    const std::int64_t present =
        static_cast<std::int64_t>((static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime);
    const std::int64_t created = present / 10000000 == time / 10000000 ? present : time;
    return ChangeBasicAt(at, true, [&](FILE_BASIC_INFO* info) {
      info->CreationTime.QuadPart = created;
      info->LastAccessTime.QuadPart = time;
      info->LastWriteTime.QuadPart = time;
    });
  }

  int Here(const std::string& name, Place* at) {
    at->root = handle_.get();
    return CheckName(name, &at->name);
  }

  Handle handle_;
  std::string path_;
  const Os& os_;
  Handle lock_;
};

int OpenWin32Dir(const Place& at, bool followLink, const std::string& path, const Os& os, std::unique_ptr<OsDir>* dir) {
  return Win32Dir::Open(at, followLink, path, os, dir);
}

}  // namespace win32_internal
}  // namespace veldar
