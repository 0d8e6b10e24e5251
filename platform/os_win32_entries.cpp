// The Win32 layer's entries: their status as the system reports it (from a
// handle or a directory listing), and the changes made to them through
// handles (attributes, times, renames, links, deletion).

#include "platform/os_win32_internal.h"

namespace veldar {
namespace win32_internal {

// ---- Status ----

constexpr std::int64_t kEpochDifference = 116444736000000000LL;  // 1601 to 1970, 100 ns

void SplitTime(std::int64_t fileTime, std::int64_t* seconds, std::uint32_t* nanoseconds) {
  const std::int64_t ticks = fileTime - kEpochDifference;
  std::int64_t sec = ticks / 10'000'000;
  std::int64_t rest = ticks % 10'000'000;
  if (rest < 0) {
    rest += 10'000'000;
    --sec;
  }
  *seconds = sec;
  *nanoseconds = static_cast<std::uint32_t>(rest * 100);
}

std::int64_t FileTimeOf(std::int64_t seconds, std::uint32_t nanoseconds) {
  return seconds * 10'000'000 + nanoseconds / 100 + kEpochDifference;
}

std::int64_t Ticks(const FILETIME& time) {
  return static_cast<std::int64_t>((static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime);
}

// A 128-bit file id as 64 bits: NTFS ids fit in the low half as they are.
std::uint64_t FoldId(const FILE_ID_128& id) {
  std::uint64_t low, high;
  std::memcpy(&low, id.Identifier, 8);
  std::memcpy(&high, id.Identifier + 8, 8);
  return high == 0 ? low : low ^ (high * 0x9E3779B97F4A7C15ULL);
}

// Volume serial number and file id of an open entry.
int IdentityOf(HANDLE h, std::uint64_t* volume, std::uint64_t* id) {
  FILE_ID_INFO info;
  if (GetFileInformationByHandleEx(h, FileIdInfo, &info, sizeof info)) {
    *volume = info.VolumeSerialNumber;
    *id = FoldId(info.FileId);
    return 0;
  }
  BY_HANDLE_FILE_INFORMATION basic;
  if (!GetFileInformationByHandle(h, &basic)) return LastError();
  *volume = basic.dwVolumeSerialNumber;
  *id = (static_cast<std::uint64_t>(basic.nFileIndexHigh) << 32) | basic.nFileIndexLow;
  return 0;
}

EntryKind KindOfEntry(DWORD attributes, DWORD tag) {
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    if (IsLinkTag(tag)) return EntryKind::Symlink;
    if (tag == kTagAfUnix) return EntryKind::Special;
  }
  if (attributes & FILE_ATTRIBUTE_DEVICE) return EntryKind::Special;
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? EntryKind::Directory : EntryKind::File;
}

void FillStatus(const RawStatus& raw, FileStatus* status) {
  *status = FileStatus{};
  status->kind = KindOfEntry(raw.attributes, raw.tag);
  const bool directory = (raw.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  const bool readOnly = (raw.attributes & FILE_ATTRIBUTE_READONLY) != 0;
  SplitTime(raw.write, &status->mtimeSec, &status->mtimeNsec);
  SplitTime(raw.creation, &status->birthSec, &status->birthNsec);
  const bool link = status->kind == EntryKind::Symlink;
  status->size = link || directory ? 0 : raw.size;
  status->allocated = link || directory ? 0 : raw.allocated;
  status->linkToDirectory = link && directory;
  status->links = raw.links;
  status->permissions = directory ? (readOnly ? 0555 : 0777) : (readOnly ? 0444 : 0666);
  status->device = raw.volume;
  status->inode = raw.id;
  status->attributes.directory = directory;
  status->attributes.readOnly = readOnly;
  status->attributes.hidden = (raw.attributes & FILE_ATTRIBUTE_HIDDEN) != 0;
  status->attributes.system = (raw.attributes & FILE_ATTRIBUTE_SYSTEM) != 0;
  status->attributes.native = raw.attributes;
}

int StatusOfHandle(HANDLE h, FileStatus* status) {
  BY_HANDLE_FILE_INFORMATION basic;
  if (!GetFileInformationByHandle(h, &basic)) return LastError();
  RawStatus raw;
  raw.attributes = basic.dwFileAttributes;
  if (raw.attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    DWORD attributes = 0;
    if (int code = AttributesOf(h, &attributes, &raw.tag)) return code;
  }
  raw.creation = Ticks(basic.ftCreationTime);
  raw.write = Ticks(basic.ftLastWriteTime);
  raw.size = (static_cast<std::uint64_t>(basic.nFileSizeHigh) << 32) | basic.nFileSizeLow;
  FILE_STANDARD_INFO standard;
  raw.allocated = GetFileInformationByHandleEx(h, FileStandardInfo, &standard, sizeof standard)
                      ? static_cast<std::uint64_t>(standard.AllocationSize.QuadPart)
                      : raw.size;
  raw.links = basic.nNumberOfLinks;
  if (int code = IdentityOf(h, &raw.volume, &raw.id)) return code;
  FillStatus(raw, status);
  return 0;
}

int StatAt(const Place& at, bool followLink, FileStatus* status) {
  Handle h;
  const ULONG options = followLink ? 0 : FILE_OPEN_REPARSE_POINT;
  if (int code = OpenAt(at, FILE_READ_ATTRIBUTES, kShareAll, FILE_OPEN, options, &h)) return code;
  return StatusOfHandle(h.get(), status);
}

// Adds the entry a directory record describes to `entries` (unless `wanted`
// refuses it); `id` is the record's file id (0 where it has none). 0, or the
// error of a status call.
template <typename Record>
int AddRecord(HANDLE dir, const Record& info, std::uint64_t volume, std::uint64_t id, std::vector<DirEntry>* entries,
              const NameFilter& wanted) {
  const std::wstring_view wideName(info.FileName, info.FileNameLength / sizeof(wchar_t));
  if (wideName == L"." || wideName == L"..") return 0;
  std::string name = WideToUtf8(wideName);
  if (wanted && !wanted(name)) return 0;
  DirEntry entry;
  entry.name = std::move(name);
  if (id == 0 || id == ~std::uint64_t{0}) {
    // No 64-bit id in the record (ReFS, or a listing without ids): the
    // entry's own status.
    const int code = StatAt(Place{dir, std::wstring(wideName)}, false, &entry.status);
    if (code == ERROR_FILE_NOT_FOUND) return 0;  // gone since it was read
    if (code != 0) return code;
  } else {
    RawStatus raw;
    raw.attributes = info.FileAttributes;
    // For a reparse point the record's EA size holds its tag.
    raw.tag = (info.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ? info.EaSize : 0;
    raw.creation = info.CreationTime.QuadPart;
    raw.write = info.LastWriteTime.QuadPart;
    raw.size = static_cast<std::uint64_t>(info.EndOfFile.QuadPart);
    raw.allocated = static_cast<std::uint64_t>(info.AllocationSize.QuadPart);
    raw.volume = volume;
    raw.id = id;
    FillStatus(raw, &entry.status);
  }
  entries->push_back(std::move(entry));
  return 0;
}

// Lists the directory open as `dir` from its start (see os_win32.cpp's header comment):
// records with file ids, or, where the file system has no such listing,
// records without them and a status call per entry.
int ListHandle(HANDLE dir, std::vector<DirEntry>* entries, const NameFilter& wanted) {
  entries->clear();
  std::uint64_t volume = 0, dirId = 0;
  if (int code = IdentityOf(dir, &volume, &dirId)) return code;
  constexpr DWORD kBufferSize = 64 * 1024;
  std::unique_ptr<std::uint64_t[]> buffer(new (std::nothrow) std::uint64_t[kBufferSize / 8]);
  if (!buffer) return ERROR_NOT_ENOUGH_MEMORY;
  bool restart = true, withIds = true;
  for (;;) {
    FILE_INFO_BY_HANDLE_CLASS kind = withIds ? (restart ? FileIdBothDirectoryRestartInfo : FileIdBothDirectoryInfo)
                                             : (restart ? FileFullDirectoryRestartInfo : FileFullDirectoryInfo);
    if (!GetFileInformationByHandleEx(dir, kind, buffer.get(), kBufferSize)) {
      const int code = LastError();
      if (restart && withIds &&
          (code == ERROR_INVALID_PARAMETER || code == ERROR_NOT_SUPPORTED || code == ERROR_INVALID_LEVEL)) {
        withIds = false;
        continue;
      }
      return code == ERROR_NO_MORE_FILES ? 0 : code;
    }
    restart = false;
    const char* at = reinterpret_cast<const char*>(buffer.get());
    for (;;) {
      DWORD next;
      int code;
      if (withIds) {
        const auto* info = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(at);
        code = AddRecord(dir, *info, volume, static_cast<std::uint64_t>(info->FileId.QuadPart), entries, wanted);
        next = info->NextEntryOffset;
      } else {
        const auto* info = reinterpret_cast<const FILE_FULL_DIR_INFO*>(at);
        code = AddRecord(dir, *info, volume, 0, entries, wanted);
        next = info->NextEntryOffset;
      }
      if (code != 0) return code;
      if (next == 0) break;
      at += next;
    }
  }
}

// ---- Changing entries through their handles ----

int SetBasic(HANDLE h, FILE_BASIC_INFO info) {
  return SetFileInformationByHandle(h, FileBasicInfo, &info, sizeof info) ? 0 : LastError();
}

// SetBasic for an attribute word that may hold read-only with others. Wine
// keeps hidden and system in an extended attribute, which a user other than
// root cannot write once the file is read-only: under Wine the others are
// set first.
int SetBasicAttributes(HANDLE h, const FILE_BASIC_INFO& info) {
  constexpr DWORD kPlain = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_NORMAL;
  if (IsWine() && (info.FileAttributes & FILE_ATTRIBUTE_READONLY) && (info.FileAttributes & ~kPlain) != 0) {
    FILE_BASIC_INFO first = info;
    first.FileAttributes &= ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
    if (int code = SetBasic(h, first)) return code;
  }
  return SetBasic(h, info);
}

int GetBasic(HANDLE h, FILE_BASIC_INFO* info) {
  return GetFileInformationByHandleEx(h, FileBasicInfo, info, sizeof *info) ? 0 : LastError();
}

// The attribute word for FileBasicInfo: 0 there means "unchanged".
DWORD AttributeWord(DWORD attributes) {
  const DWORD settable = attributes & kSettableAttributes;
  return settable != 0 ? settable : FILE_ATTRIBUTE_NORMAL;
}

// Marks the open entry `h` for deletion: at once with POSIX semantics where
// the system allows, else when its last handle closes.
int Dispose(HANDLE h) {
  DWORD flags = kDispositionDelete | kDispositionPosixSemantics;
  if (SetFileInformationByHandle(h, static_cast<FILE_INFO_BY_HANDLE_CLASS>(kFileDispositionInfoEx), &flags,
                                 sizeof flags)) {
    return 0;
  }
  const int code = LastError();
  if (code != ERROR_INVALID_PARAMETER && code != ERROR_NOT_SUPPORTED && code != ERROR_INVALID_FUNCTION) {
    return code;
  }
  BOOLEAN info = TRUE;  // FILE_DISPOSITION_INFO, whose member <windows.h> renames
  return SetFileInformationByHandle(h, FileDispositionInfo, &info, sizeof info) ? 0 : LastError();
}

// Deletes an entry this code made and still holds open (a failed copy): read-
// only or not.
void Discard(HANDLE h) {
  FILE_BASIC_INFO info{};
  info.FileAttributes = FILE_ATTRIBUTE_NORMAL;
  SetBasic(h, info);
  Dispose(h);
}

// Renames (`link` false) or links the open entry `h` to `to`.
int RenameHandle(HANDLE h, const Place& to, bool replace, bool link) {
  const std::size_t bytes = to.name.size() * sizeof(wchar_t);
  std::vector<std::uint64_t> storage((sizeof(NtRenameInformation) + bytes) / 8 + 1);
  auto* info = reinterpret_cast<NtRenameInformation*>(storage.data());
  info->replaceIfExists = replace ? TRUE : FALSE;
  info->rootDirectory = to.root;
  info->fileNameLength = static_cast<ULONG>(bytes);
  std::memcpy(info->fileName, to.name.data(), bytes);
  IO_STATUS_BLOCK io{};
  const NTSTATUS status =
      NtSetInformationFile(h, &io, info, static_cast<ULONG>(storage.size() * 8),
                           static_cast<FILE_INFORMATION_CLASS>(link ? kFileLinkInformation : kFileRenameInformation));
  return NT_SUCCESS(status) ? 0 : NtError(status);
}

int DeleteAt(const Place& at) {
  Handle h;
  DWORD attributes = 0, tag = 0;
  if (int code = OpenEntry(at, DELETE, 0, false, &h, &attributes, &tag)) return code;
  // A directory is RemoveDir's; a link to one is a link.
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) && !IsLink(attributes, tag)) {
    return ERROR_ACCESS_DENIED;
  }
  return Dispose(h.get());
}

int RemoveDirAt(const Place& at) {
  Handle h;
  DWORD attributes = 0, tag = 0;
  if (int code = OpenEntry(at, DELETE, 0, false, &h, &attributes, &tag)) return code;
  if (IsLink(attributes, tag)) return kCodeLinkNotDirectory;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return ERROR_DIRECTORY;
  return Dispose(h.get());
}

int CreateDirAt(const Place& at) {
  Handle h;
  return OpenAt(at, FILE_LIST_DIRECTORY, kShareAll, FILE_CREATE, FILE_DIRECTORY_FILE, &h);
}

int MoveAt(const Place& from, const Place& to) {
  Handle h;
  DWORD attributes = 0, tag = 0;
  if (int code = OpenEntry(from, DELETE, 0, false, &h, &attributes, &tag)) return code;
  return RenameHandle(h.get(), to, /*replace=*/false);
}

int SetReadOnlyAt(const Place& at, bool readOnly) {
  return ChangeBasicAt(at, false, [&](FILE_BASIC_INFO* info) {
    if (readOnly) {
      info->FileAttributes |= FILE_ATTRIBUTE_READONLY;
    } else {
      info->FileAttributes &= ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
    }
  });
}

int SetAttributesAt(const Place& at, const FileAttributes& attributes) {
  return ChangeBasicAt(at, false, [&](FILE_BASIC_INFO* info) {
    DWORD word = (info->FileAttributes & ~kSettableAttributes) | (attributes.native & kSettableAttributes);
    auto set = [&](DWORD bit, bool on) { word = on ? (word | bit) : (word & ~bit); };
    set(FILE_ATTRIBUTE_READONLY, attributes.readOnly);
    set(FILE_ATTRIBUTE_HIDDEN, attributes.hidden);
    set(FILE_ATTRIBUTE_SYSTEM, attributes.system);
    info->FileAttributes = word;
  });
}

}  // namespace win32_internal
}  // namespace veldar
