// Win32Os: the `Os` of Windows, built with MinGW-w64 and tested under Wine as
// well. This comment says how each operation is realised with Win32 (and
// ntdll) calls, and where Wine behaves otherwise.
//
// Paths and conventions
//  - Paths are UTF-8 inside the program and UTF-16 at every call
//    (win32_text.h); bytes that are not UTF-8 fail with
//    ERROR_NO_UNICODE_TRANSLATION (1113) before any call, and a NUL byte with
//    ERROR_INVALID_NAME (123). The separator is '\\' ('/' is accepted), the
//    option character '/', a line ends in CR LF.
//  - Every path is given to the system in its long form, so paths beyond
//    MAX_PATH work: an absolute "C:\..." or "\\server\share\..." path is
//    normalised here ('/' to '\\', "." and ".." and doubled separators
//    resolved: the long form is not normalised by the system) and becomes
//    "\\?\C:\..." or "\\?\UNC\server\share\..."; a relative one (also "\x" and
//    "C:x") is made absolute by GetFullPathNameW first. A path already in the
//    "\\?\" form is used as it is. Names are taken literally: "NUL" is a file
//    named NUL, a trailing dot stays. A ':' after the root would name an
//    alternate data stream and is refused (123). Calls into ntdll use the NT
//    form of the same path ("\??\C:\...").
//  - Error codes are GetLastError values (or the Win32 code of an NTSTATUS,
//    RtlNtStatusToDosError), returned as they are: a missing entry 2, a
//    missing directory on the way 3, an existing entry 183 (80 from a copy
//    that must not replace, as CopyFile gives), access denied 5, a sharing
//    violation 32. Three are chosen here: a link where a directory was
//    expected is ERROR_STOPPED_ON_SYMLINK (681, kind kNotDirectory like
//    ERROR_DIRECTORY 267 for a file there), an entry that is not the one the
//    caller saw is ERROR_FILE_INVALID (1006, kChanged), and a directory given
//    to a copy ERROR_DIRECTORY_NOT_SUPPORTED (336).
//
// Entries and links
//  - Every entry is opened with NtCreateFile, either by its NT path or by a
//    name relative to an open directory handle (OBJECT_ATTRIBUTES
//    .RootDirectory), case-insensitively as Win32 does, and worked on through
//    that handle: status with GetFileInformationByHandle(Ex), attributes and
//    times with FileBasicInfo, deletion with a disposition, renames and hard
//    links with FileRenameInformation / FileLinkInformation (whose
//    RootDirectory is the target directory's handle). So the path-based
//    operations and those of an open directory (OsDir) are one code.
//  - Wine keeps, for each handle, the path it was opened by, and deletes,
//    renames and links by that path rather than by the handle. Once an open
//    directory has been moved, a rename relative to it either fails or
//    renames whatever now has the old path (seen: a stranger's file renamed),
//    and a deletion silently does nothing. So under Wine only, before an
//    operation of an open directory that deletes, renames or links, the
//    directory's path (GetFinalPathNameByHandleW; beyond MAX_PATH, where Wine
//    gives none, the path it was opened by) is checked to still reach the
//    directory; when it does not, the operation fails with
//    ERROR_INVALID_HANDLE (6) without touching anything. Creating, opening,
//    listing and changing attributes work through the handle there too.
//    Wine also gives no final path beyond MAX_PATH (ERROR_MORE_DATA).
//  - Symbolic links and junctions (reparse points whose tag is a name
//    surrogate) are EntryKind::Symlink, `linkToDirectory` from
//    FILE_ATTRIBUTE_DIRECTORY. They are never followed below the paths the
//    user names: every open carries FILE_OPEN_REPARSE_POINT, and the kind is
//    read from the handle (FileAttributeTagInfo) before anything is done with
//    it. A reparse point that is not a link (a deduplicated, compressed or
//    cloud file) is the file or directory it stands for, and is opened again
//    through its filter (without FILE_OPEN_REPARSE_POINT, checked to be the
//    same file) where its content is read. A link's size is 0, as Windows
//    reports it; an AF_UNIX socket is Special.
//  - DeleteFile removes a file or a link of either kind (the link itself:
//    never what it points to, never recursing into a directory link);
//    RemoveDir removes an empty directory and refuses a link (681). Deletion
//    sets FileDispositionInfoEx with POSIX semantics (the name goes at once,
//    even while others hold the file open); where that is refused (older
//    Windows, FAT, Wine: 87) plain FileDispositionInfo, whose name stays
//    until the last handle closes. A read-only file is not deleted (5), as
//    DeleteFileW does.
//  - A link is copied by reading its reparse data (FSCTL_GET_REPARSE_POINT)
//    and writing it into a new entry of the same kind
//    (FSCTL_SET_REPARSE_POINT), so a junction stays a junction and a relative
//    link relative. Junctions need no privilege; a symbolic link without the
//    privilege (1314) is made again with CreateSymbolicLinkW and
//    SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE (developer mode), by the
//    path of the new entry, and is then opened relative to its directory to
//    prove it is there and a link. Where neither may, the system's code
//    (1314) is returned. Wine has no reparse points at all: the control
//    codes fail with 50, and CreateSymbolicLinkW returns TRUE without making
//    anything (which the check above catches); Unix symbolic links under a
//    Wine drive look like the entries they point to.
//  - A link's text (ReadLinkAt) comes from the same reparse data: the
//    substitute name of a symbolic link or junction, the data itself for
//    other links. An entry that is no link gives ERROR_NOT_A_REPARSE_POINT
//    (4390, kind kInvalid).
//
// Files
//  - CopyFile makes the copy under a temporary name beside the target (".~" +
//    the target's name cut to 200 UTF-16 units + "." + pid "-" random "-"
//    counter + ".tmp", created exclusively, shared with nobody), copies the
//    content with ReadFile/WriteFile in 1 MiB blocks, gives it the source's
//    attributes (a read-only source gives a read-only copy) and its three
//    times (the creation time too, as Windows' CopyFile does; Wine ignores a
//    creation time that is set, so there a copy's creation time is its own),
//    flushes it (FlushFileBuffers) and renames it through its still-open
//    handle onto the target: replacing it (Replace) or not (FailIfExists: an
//    existing target gives 80 and stays untouched). The target never names a
//    partial file; a failure deletes the temporary file and leaves the
//    target as it was. An empty file is not flushed: it has no data to lose,
//    and NTFS logs its creation before the rename that names it. The rename
//    is not flushed either (MoveFileEx's write-through only matters for moves
//    between volumes): a rename lost in a power cut leaves the old target or
//    none, never a partial file, and the next run copies again. Named
//    streams, extended attributes and ACLs are not copied: the copy inherits
//    its directory's ACL, as `KeepsPermissions` says.
//  - CopyMode::Unflushed deletes an existing target first (a file or a link;
//    a directory fails and stays) and writes the copy under the target's own
//    name; a failure deletes it again.
//  - Flushing. A volume flush (FlushFileBuffers on the volume's handle: the
//    flush of the whole file system; syncfs on Linux)
//    needs administrator rights. So every copy with content is flushed
//    through its own handle before it is closed, whatever the mode (an
//    unflushed or staged copy too), and SyncFileSystem tries the volume flush
//    (the "\?\Volume{...}" behind the directory's mount point) and counts it
//    done when the system refuses it (5, or 1/50/87 where the volume cannot
//    be flushed at all, as under Wine) or when there is no volume to name (a
//    share): each file's data was flushed already, and NTFS writes the
//    changes to its directories through its journal in order. OsDir::Sync flushes the directory through a handle
//    opened for writing (FlushFileBuffers on directories is supported by
//    NTFS since Windows 8) and counts refusals as done for the same reason.
//  - A staged copy (StageCopy) is the flushed temporary file without the
//    rename; PlaceCopy renames it through a handle as above.
//  - CloneFile fails with ERROR_NOT_SUPPORTED (50) and CanClone is false:
//    block cloning (FSCTL_DUPLICATE_EXTENTS_TO_FILE) exists only on ReFS and
//    is not done here. LinkFile opens the source without following a link,
//    checks that it is the regular file the caller saw (volume and file id)
//    and gives that very handle its new name (FileLinkInformation), so the
//    new name cannot reach another file.
//  - Status: times from FILETIME (100 ns since 1601) as Unix seconds and
//    nanoseconds, the creation time as the birth time; size, AllocationSize,
//    the number of links, the volume serial number as the device and the
//    file id (FileIdInfo's 128 bits folded to 64; the 64-bit file index where
//    FileIdInfo is missing) as the inode. `permissions` is synthesised from
//    the read-only attribute (0666/0444, directories 0777/0555); owner and
//    group are 0, `mountId` 0. A listing (GetFileInformationByHandleEx with
//    FileIdBothDirectoryInfo on the directory's handle, restarted by each
//    List) carries everything but the number of links, which it reports as
//    1: the directory record does not hold it, and opening every entry to
//    read it would cost a call per file (StatAt has it). Where a record has
//    no file id (ReFS ids beyond 64 bits) or the file system cannot list
//    with ids (FileFullDirectoryInfo then), the entry's own status is read.
//  - Permissions and owners: NTFS keeps ACLs, not permission bits: nothing is
//    copied (KeepsPermissions is false), a change of permissions or owner succeeds
//    doing nothing, MayChangeOwner is false. CreateDir makes a directory that
//    inherits its parent's ACL: POSIX's 0700 for a directory being built has
//    no counterpart here, nor has the owner-only mode of a file that
//    OpenExclusive creates or of a copy's temporary file (their ACLs are
//    inherited too; the temporary file is shared with nobody while open).
//  - Attributes: read-only, hidden, system, archive, not-content-indexed,
//    offline and temporary are written back (FileBasicInfo); the others are
//    the file system's. A link's attributes are left alone. Wine drops a
//    directory's read-only attribute and keeps hidden and system in an
//    extended attribute; as root under Wine a read-only file can still be
//    written. Run by another user, Wine refuses FILE_WRITE_ATTRIBUTES on a
//    read-only file (Windows grants it) and cannot add hidden or system to
//    one: under Wine the attributes are then set through a handle opened
//    for reading them (Wine does not check its access), and the others
//    before read-only.
//  - The time resolution is 2 s on FAT and FAT32, 10 ms on exFAT and 0
//    elsewhere (GetVolumeInformationByHandleW's file system name).
//    ProbeMedium makes nothing: the volume's name says whether files stop
//    at 4 GiB - 1 and links are held at all (none on FAT and exFAT; NTFS
//    holds both), its flags say so for the others; names are looked up
//    without regard to case and never hold : ? * " < > | or control
//    characters, nor end in a dot or a blank (the system's own rules).
//  - OpenExclusive opens with share mode FILE_SHARE_DELETE only (OPEN_ALWAYS,
//    never truncating, not following a link): every other opener gets a
//    sharing violation (32, kLocked), while the opener can still rename and
//    delete the file by path. OpenScratchFile creates a file in GetTempPathW
//    with FILE_FLAG_DELETE_ON_CLOSE and FILE_ATTRIBUTE_TEMPORARY, shared with
//    nobody.
//  - OsDir::Lock: a directory cannot be byte-range locked, so the lock is a
//    named mutex in the session's namespace, "Local\VELDAR2-" + volume serial
//    + "-" + file id (hex), created by the OsDir object and closed with it;
//    one that exists already (ERROR_ALREADY_EXISTS) means another holder: 33.
//  - FreeSpace is GetDiskFreeSpaceExW's bytes free to the caller; RealPath
//    GetFinalPathNameByHandleW on a handle that follows links, without the
//    "\\?\" prefix when the path fits in MAX_PATH without it; Access is
//    _waccess's test on GetFileAttributesW (write fails on a read-only file,
//    never on a directory).
//  - CreateDirTree creates each missing directory on the way; one that exists
//    (or is refused but exists as a directory) is passed.
//
// Process
//  - ProgramDir comes from GetModuleFileNameW. LogDir is the program's
//    directory when a file can be created there (a uniquely named probe file,
//    deleted on close), else %LOCALAPPDATA%\VELDAR2\ (created if missing).
//  - A temporary file's writer is alive while OpenProcess on its pid works
//    and GetExitCodeProcess says STILL_ACTIVE; a pid that opens nothing
//    (ERROR_INVALID_PARAMETER) is gone. Access denied means it runs.
//  - Local time is localtime_s + strftime (msvcrt); Sleep is Sleep.
//  - Nothing here keeps mutable state shared between threads but an atomic
//    counter for temporary names and a per-thread random generator.

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <winternl.h>
#include <winioctl.h>
// The interface's own names, not the A/W macros of <windows.h>.
#undef CopyFile
#undef DeleteFile

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "platform/os.h"
#include "platform/system_reasons.h"
#include "platform/temporary_names.h"
#include "platform/win32_text.h"

namespace veldar {
namespace {

// ---- What MinGW's headers lack or hide behind version checks ----

constexpr int kFileRenameInformation = 10;  // FILE_INFORMATION_CLASS
constexpr int kFileLinkInformation = 11;
constexpr int kFileDispositionInfoEx = 21;  // FILE_INFO_BY_HANDLE_CLASS
constexpr DWORD kDispositionDelete = 0x1;
constexpr DWORD kDispositionPosixSemantics = 0x2;
constexpr DWORD kTagSymlink = 0xA000000C;
constexpr DWORD kTagMountPoint = 0xA0000003;
constexpr DWORD kTagAfUnix = 0x80000023;
constexpr DWORD kNameSurrogateBit = 0x20000000;
constexpr DWORD kSymlinkFlagRelative = 0x1;
constexpr DWORD kFsctlGetReparsePoint = 0x000900A8;
constexpr DWORD kFsctlSetReparsePoint = 0x000900A4;
constexpr std::size_t kReparseBufferSize = 16 * 1024;

// FILE_RENAME_INFORMATION and FILE_LINK_INFORMATION (the same layout).
struct NtRenameInformation {
  BOOLEAN replaceIfExists;
  HANDLE rootDirectory;
  ULONG fileNameLength;
  WCHAR fileName[1];
};

// ---- The codes chosen here (see the header comment) ----

constexpr int kCodeLinkNotDirectory = 681;  // ERROR_STOPPED_ON_SYMLINK
constexpr int kCodeChanged = 1006;          // ERROR_FILE_INVALID
constexpr int kCodeDirectoryToCopy = 336;   // ERROR_DIRECTORY_NOT_SUPPORTED
constexpr int kCodeInvalidName = ERROR_INVALID_NAME;

// GetLastError as a result code; never 0, so a call that failed is never
// taken for a success even if it forgot to set the code.
// The portable kind of a Win32 error code.
ErrorKind KindOfWin32Error(int code) {
  switch (code) {
    case 0:
      return ErrorKind::kNone;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
    case ERROR_BAD_PATHNAME:
      return ErrorKind::kNotFound;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return ErrorKind::kExists;
    case ERROR_ACCESS_DENIED:
      return ErrorKind::kAccessDenied;
    case ERROR_DIRECTORY:
    case kCodeLinkNotDirectory:
      return ErrorKind::kNotDirectory;
    case ERROR_DIR_NOT_EMPTY:
      return ErrorKind::kNotEmpty;
    case ERROR_HANDLE_DISK_FULL:
    case ERROR_DISK_FULL:
    case 1295:  // ERROR_DISK_QUOTA_EXCEEDED
      return ErrorKind::kNoSpace;
    case ERROR_WRITE_PROTECT:
      return ErrorKind::kReadOnlyFileSystem;
    case ERROR_CRC:
    case ERROR_IO_DEVICE:
    case ERROR_FILE_CORRUPT:
      return ErrorKind::kIo;
    // The drive or the share went: unplugged, ejected, its server gone.
    case ERROR_NOT_READY:
    case ERROR_DEV_NOT_EXIST:
    case ERROR_UNEXP_NET_ERR:
    case ERROR_NETNAME_DELETED:
    case ERROR_NO_MEDIA_IN_DRIVE:
    case ERROR_DEVICE_NOT_CONNECTED:
    case 1617:  // ERROR_DEVICE_REMOVED
      return ErrorKind::kGone;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return ErrorKind::kLocked;
    case kCodeChanged:
      return ErrorKind::kChanged;
    case ERROR_INVALID_FUNCTION:
    case ERROR_NOT_SUPPORTED:
    case ERROR_PRIVILEGE_NOT_HELD:
      return ErrorKind::kUnsupported;
    case ERROR_CANCELLED:
      return ErrorKind::kCancelled;
    case ERROR_INVALID_PARAMETER:
    case ERROR_INVALID_NAME:
    case ERROR_NOT_A_REPARSE_POINT:
      return ErrorKind::kInvalid;
    default:
      return ErrorKind::kOther;
  }
}

// The one conversion of a Win32 error code into a status (0: success).
Status WindowsError(int code) { return Status::Make(code, KindOfWin32Error(code)); }

// A Win32 error code of `kind`, for a failure found by the program itself.
int CodeOfKind(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::kNone:
      return 0;
    case ErrorKind::kNotFound:
      return ERROR_FILE_NOT_FOUND;
    case ErrorKind::kExists:
      return ERROR_ALREADY_EXISTS;
    case ErrorKind::kAccessDenied:
      return ERROR_ACCESS_DENIED;
    case ErrorKind::kNotDirectory:
      return ERROR_DIRECTORY;
    case ErrorKind::kNotEmpty:
      return ERROR_DIR_NOT_EMPTY;
    case ErrorKind::kNoSpace:
      return ERROR_DISK_FULL;
    case ErrorKind::kReadOnlyFileSystem:
      return ERROR_WRITE_PROTECT;
    case ErrorKind::kIo:
      return ERROR_IO_DEVICE;
    case ErrorKind::kGone:
      return ERROR_DEV_NOT_EXIST;
    case ErrorKind::kLocked:
      return ERROR_LOCK_VIOLATION;
    case ErrorKind::kChanged:
      return kCodeChanged;
    case ErrorKind::kUnsupported:
      return ERROR_NOT_SUPPORTED;
    case ErrorKind::kCancelled:
      return ERROR_CANCELLED;
    case ErrorKind::kInvalid:
      return ERROR_INVALID_PARAMETER;
    case ErrorKind::kOther:
      break;
  }
  return ERROR_GEN_FAILURE;
}

int LastError() {
  const DWORD code = GetLastError();
  return code != 0 ? static_cast<int>(code) : ERROR_GEN_FAILURE;
}

int NtError(NTSTATUS status) {
  const ULONG code = RtlNtStatusToDosError(status);
  return code != 0 ? static_cast<int>(code) : ERROR_GEN_FAILURE;
}

// A kernel handle, closed with the object. Failed opens are null, whatever
// the call used for failure.
class Handle {
 public:
  Handle() = default;
  explicit Handle(HANDLE h) { reset(h); }
  ~Handle() { reset(nullptr); }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  HANDLE get() const { return h_; }
  explicit operator bool() const { return h_ != nullptr; }
  void reset(HANDLE h) {
    if (h_ != nullptr) CloseHandle(h_);
    h_ = h == INVALID_HANDLE_VALUE ? nullptr : h;
  }
  HANDLE release() {
    HANDLE h = h_;
    h_ = nullptr;
    return h;
  }

 private:
  HANDLE h_ = nullptr;
};

// ---- Paths ----

bool IsSep(wchar_t c) { return c == L'\\' || c == L'/'; }

// The long Win32 form ("\\?\C:\x", "\\?\UNC\s\h\x") of the UTF-8 `path`; 0
// or the error (see the header comment).
int LongPath(const std::string& path, std::wstring* out) {
  out->clear();
  if (path.find('\0') != std::string::npos) return kCodeInvalidName;
  if (path.empty()) return ERROR_PATH_NOT_FOUND;
  const PathRules& rules = PathRules::Windows();
  const std::size_t root = rules.RootLength(path);
  // An alternate data stream ("file:stream") is never meant.
  if (path.find(':', root) != std::string::npos) return kCodeInvalidName;
  std::wstring wide;
  if (!Utf8ToWide(path, &wide)) return ERROR_NO_UNICODE_TRANSLATION;
  if (wide.size() >= 4 && IsSep(wide[0]) && IsSep(wide[1]) && (wide[2] == L'?' || wide[2] == L'.') && IsSep(wide[3])) {
    // Already a long (or device) path: taken as it is.
    *out = wide;
    (*out)[0] = (*out)[1] = (*out)[3] = L'\\';
    return 0;
  }
  if (!rules.IsAbsolute(path)) {
    DWORD size = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    if (size == 0) return LastError();
    std::wstring full(size, L'\0');
    size = GetFullPathNameW(wide.c_str(), size, full.data(), nullptr);
    if (size == 0 || size >= full.size()) return size == 0 ? LastError() : ERROR_GEN_FAILURE;
    full.resize(size);
    if (full.size() >= 4 && full[0] == L'\\' && full[1] == L'\\' && (full[2] == L'?' || full[2] == L'.') &&
        full[3] == L'\\') {
      *out = full;
    } else if (full.size() >= 2 && full[0] == L'\\' && full[1] == L'\\') {
      *out = L"\\\\?\\UNC\\" + full.substr(2);
    } else {
      *out = L"\\\\?\\" + full;
    }
    return 0;
  }
  // Absolute: normalised here, since the long form is taken literally.
  std::string normal;
  if (path[1] == ':') {
    normal = "\\\\?\\" + path.substr(0, 2) + "\\";
  } else {
    std::string share = path.substr(2, root - 2);
    std::replace(share.begin(), share.end(), '/', '\\');
    normal = "\\\\?\\UNC\\" + share;
    if (normal.back() != '\\') normal += '\\';
  }
  const std::vector<std::string> parts = rules.Components(path);
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (i > 0) normal += '\\';
    normal += parts[i];
  }
  if (!Utf8ToWide(normal, out)) return ERROR_NO_UNICODE_TRANSLATION;
  return 0;
}

// The NT form ("\??\...") of a long Win32 path.
std::wstring NtForm(const std::wstring& longPath) { return L"\\??\\" + longPath.substr(4); }

// Where an entry is: a name relative to an open directory, or (root null) a
// full NT path.
struct Place {
  HANDLE root = nullptr;
  std::wstring name;
};

int PlaceOfPath(const std::string& path, Place* place) {
  std::wstring longPath;
  if (int code = LongPath(path, &longPath)) return code;
  place->root = nullptr;
  place->name = NtForm(longPath);
  return 0;
}

// `name` in the directory of `place`.
Place Beside(const Place& place, const std::wstring& name) {
  if (place.root != nullptr) return Place{place.root, name};
  const auto slash = place.name.rfind(L'\\');
  return Place{nullptr, place.name.substr(0, slash + 1) + name};
}

// The last component of `place`.
std::wstring LeafOf(const Place& place) {
  if (place.root != nullptr) return place.name;
  const auto slash = place.name.rfind(L'\\');
  return slash == std::wstring::npos ? place.name : place.name.substr(slash + 1);
}

// A name relative to an open directory is one component: a separator would
// reach past it, "." and ".." name no entry of it, ':' a stream.
int CheckName(const std::string& name, std::wstring* wide) {
  if (name.empty() || name == "." || name == ".." ||
      name.find_first_of(std::string("\\/:\0", 4)) != std::string::npos) {
    return kCodeInvalidName;
  }
  if (!Utf8ToWide(name, wide)) return ERROR_NO_UNICODE_TRANSLATION;
  return 0;
}

// ---- Opening entries ----

constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// NtCreateFile at `at`: synchronous, case-insensitive as Win32 is.
int OpenAt(const Place& at, ACCESS_MASK access, ULONG share, ULONG disposition, ULONG options, Handle* out,
           ULONG attributes = FILE_ATTRIBUTE_NORMAL) {
  out->reset(nullptr);
  if (at.name.size() > 32000) return ERROR_FILENAME_EXCED_RANGE;
  UNICODE_STRING name;
  name.Buffer = const_cast<PWSTR>(at.name.c_str());
  name.Length = static_cast<USHORT>(at.name.size() * sizeof(wchar_t));
  name.MaximumLength = name.Length;
  OBJECT_ATTRIBUTES object;
  InitializeObjectAttributes(&object, &name, OBJ_CASE_INSENSITIVE, at.root, nullptr);
  IO_STATUS_BLOCK io{};
  HANDLE handle = nullptr;
  const NTSTATUS status = NtCreateFile(&handle, access | SYNCHRONIZE, &object, &io, nullptr, attributes, share,
                                       disposition, options | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
  if (!NT_SUCCESS(status)) return NtError(status);
  out->reset(handle);
  return 0;
}

bool IsLinkTag(DWORD tag) { return tag == kTagSymlink || tag == kTagMountPoint || (tag & kNameSurrogateBit) != 0; }

// Attributes and reparse tag of an open entry.
int AttributesOf(HANDLE h, DWORD* attributes, DWORD* tag) {
  FILE_ATTRIBUTE_TAG_INFO info{};
  if (!GetFileInformationByHandleEx(h, FileAttributeTagInfo, &info, sizeof info)) {
    return LastError();
  }
  *attributes = info.FileAttributes;
  *tag = (info.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ? info.ReparseTag : 0;
  return 0;
}

bool IsLink(DWORD attributes, DWORD tag) { return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && IsLinkTag(tag); }

// True when both handles reach one file.
bool SameFile(HANDLE a, HANDLE b) {
  BY_HANDLE_FILE_INFORMATION x, y;
  return GetFileInformationByHandle(a, &x) && GetFileInformationByHandle(b, &y) &&
         x.dwVolumeSerialNumber == y.dwVolumeSerialNumber && x.nFileIndexHigh == y.nFileIndexHigh &&
         x.nFileIndexLow == y.nFileIndexLow;
}

bool IsWine() {
  static const bool wine = GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
  return wine;
}

// Under Wine (only: it costs a path lookup), whether the path of the open
// directory `root` (opened by `openedBy`) still reaches it: 0, or
// ERROR_INVALID_HANDLE (6) when Wine would delete, rename or link relative
// to it by a path that now reaches another directory or none (see the header
// comment). Windows works on the handle itself.
int CheckRootForWine(HANDLE root, const std::string& openedBy) {
  if (!IsWine()) return 0;
  std::wstring path(32768, L'\0');
  const DWORD length = GetFinalPathNameByHandleW(root, path.data(), static_cast<DWORD>(path.size()),
                                                 FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  if (length == 0 && GetLastError() == ERROR_MORE_DATA) {
    // Wine gives no final path beyond MAX_PATH; the path the directory was
    // opened by is the one it keeps.
    if (LongPath(openedBy, &path) != 0) return ERROR_INVALID_HANDLE;
  } else if (length == 0 || length >= path.size()) {
    return ERROR_INVALID_HANDLE;
  } else {
    path.resize(length);
  }
  Handle named(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  return named && SameFile(root, named.get()) ? 0 : ERROR_INVALID_HANDLE;
}

// Opens the entry at `at` itself, never following a link there. With
// `throughFilter`, a reparse point that is not a link (deduplicated,
// compressed, cloud) is opened again the ordinary way, so that its content is
// the file's; it must still be the same file. `*attributes` and `*tag`
// describe the entry.
int OpenEntry(const Place& at, ACCESS_MASK access, ULONG options, bool throughFilter, Handle* out, DWORD* attributes,
              DWORD* tag) {
  if (int code =
          OpenAt(at, access | FILE_READ_ATTRIBUTES, kShareAll, FILE_OPEN, options | FILE_OPEN_REPARSE_POINT, out)) {
    return code;
  }
  if (int code = AttributesOf(out->get(), attributes, tag)) return code;
  if (!throughFilter || (*attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 || IsLink(*attributes, *tag)) {
    return 0;
  }
  Handle filtered;
  if (int code = OpenAt(at, access | FILE_READ_ATTRIBUTES, kShareAll, FILE_OPEN, options, &filtered)) {
    return code;
  }
  if (!SameFile(out->get(), filtered.get())) return kCodeChanged;
  out->reset(filtered.release());
  return 0;
}

// Opens the directory at `at` for listing and for opening entries relative to
// it. A link there is followed only with `followLink`; otherwise it fails
// (681), and a file fails with 267.
int OpenDirectory(const Place& at, bool followLink, Handle* out) {
  const ACCESS_MASK access = FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES;
  if (followLink) return OpenAt(at, access, kShareAll, FILE_OPEN, FILE_DIRECTORY_FILE, out);
  DWORD attributes = 0, tag = 0;
  if (int code = OpenEntry(at, access, FILE_DIRECTORY_FILE, true, out, &attributes, &tag)) {
    return code;
  }
  if (IsLink(attributes, tag)) {
    out->reset(nullptr);
    return kCodeLinkNotDirectory;
  }
  return 0;
}

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

std::int64_t FileTimeOf(std::int64_t seconds, std::uint32_t nanoseconds = 0) {
  return seconds * 10'000'000 + nanoseconds / 100 + kEpochDifference;
}

std::int64_t Ticks(const FILETIME& time) {
  return static_cast<std::int64_t>((static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime);
}

// What a status call and a listing both give.
struct RawStatus {
  DWORD attributes = 0;
  DWORD tag = 0;
  std::int64_t creation = 0, write = 0;
  std::uint64_t size = 0, allocated = 0;
  std::uint32_t links = 1;
  std::uint64_t volume = 0, id = 0;
};

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

// Lists the directory open as `dir` from its start (see the header comment):
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

constexpr DWORD kSettableAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                      FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_OFFLINE |
                                      FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

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
int RenameHandle(HANDLE h, const Place& to, bool replace, bool link = false) {
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

// Opens `at` without following a link and, unless it is a link, lets
// `change` edit its basic information, which is then written back.
template <typename Change>
int ChangeBasicAt(const Place& at, bool linksToo, Change change) {
  Handle h;
  DWORD attributes = 0, tag = 0;
  int opened = OpenEntry(at, FILE_WRITE_ATTRIBUTES, 0, false, &h, &attributes, &tag);
  // Wine refuses FILE_WRITE_ATTRIBUTES on a read-only file to a user other
  // than root (Windows grants it), and does not check the handle's access
  // when the attributes are set: there the handle for reading them serves.
  if (opened == ERROR_ACCESS_DENIED && IsWine()) {
    opened = OpenEntry(at, 0, 0, false, &h, &attributes, &tag);
  }
  if (opened != 0) return opened;
  if (!linksToo && IsLink(attributes, tag)) return 0;
  FILE_BASIC_INFO info;
  if (int code = GetBasic(h.get(), &info)) return code;
  const FILE_BASIC_INFO before = info;
  change(&info);
  // Only what changed is written: 0 leaves a field as it is.
  bool changed = false;
  auto keep = [&](LARGE_INTEGER* field, const LARGE_INTEGER& old) {
    if (field->QuadPart == old.QuadPart) {
      field->QuadPart = 0;
    } else {
      changed = true;
    }
  };
  keep(&info.CreationTime, before.CreationTime);
  keep(&info.LastAccessTime, before.LastAccessTime);
  keep(&info.LastWriteTime, before.LastWriteTime);
  info.ChangeTime.QuadPart = 0;
  if ((info.FileAttributes & kSettableAttributes) == (before.FileAttributes & kSettableAttributes)) {
    info.FileAttributes = 0;
  } else {
    info.FileAttributes = AttributeWord(info.FileAttributes);
    changed = true;
  }
  return changed ? SetBasicAttributes(h.get(), info) : 0;
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

// ---- Temporary names ----

// A fresh temporary name for a copy meant for `target` (a name).
std::wstring TemporaryName(const std::wstring& target) {
  static std::atomic<unsigned> counter{0};
  thread_local std::minstd_rand random(
      static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
      (static_cast<unsigned>(GetCurrentProcessId()) << 16) ^ static_cast<unsigned>(GetCurrentThreadId()));
  // ".~" (2) + prefix (200) + suffix (at most 35) stays below NTFS's 255.
  std::size_t keep = std::min<std::size_t>(target.size(), 200);
  // Never half a surrogate pair.
  if (keep > 0 && keep < target.size() && target[keep - 1] >= 0xD800 && target[keep - 1] <= 0xDBFF) {
    --keep;
  }
  char suffix[64];
  std::snprintf(suffix, sizeof suffix, ".%lu-%08x-%u%s", static_cast<unsigned long>(GetCurrentProcessId()),
                static_cast<unsigned>(random()), counter.fetch_add(1), kTempSuffix);
  std::wstring name = L".~" + target.substr(0, keep);
  for (const char* c = suffix; *c != '\0'; ++c) name += static_cast<wchar_t>(*c);
  return name;
}

// ---- Copying ----

// Where `WriteCopy` writes a copy.
enum class CopyTarget {
  Temporary,  // a fresh temporary name beside the target
  Target,     // the target's own name, which must be free
};

// Creates the new entry of a copy meant for `to` with `create(place)` (0 or a
// code): under `to` itself, or under a fresh temporary name beside it, trying
// another while one is taken. `*made` receives the place used.
template <typename Create>
int CreateCopyEntry(const Place& to, CopyTarget target, Place* made, Create create) {
  if (target == CopyTarget::Target) {
    *made = to;
    return create(*made);
  }
  const std::wstring leaf = LeafOf(to);
  for (int attempt = 0;; ++attempt) {
    *made = Beside(to, TemporaryName(leaf));
    const int code = create(*made);
    if ((code != ERROR_ALREADY_EXISTS && code != ERROR_FILE_EXISTS) || attempt >= 100) return code;
  }
}

// The text a symbolic link's reparse data points to, for CreateSymbolicLinkW.
bool LinkText(const std::vector<char>& data, std::wstring* text, bool* relative) {
  if (data.size() < 20) return false;
  DWORD tag;
  std::memcpy(&tag, data.data(), 4);
  if (tag != kTagSymlink) return false;
  USHORT substituteOffset, substituteLength, printOffset, printLength;
  std::memcpy(&substituteOffset, data.data() + 8, 2);
  std::memcpy(&substituteLength, data.data() + 10, 2);
  std::memcpy(&printOffset, data.data() + 12, 2);
  std::memcpy(&printLength, data.data() + 14, 2);
  ULONG flags;
  std::memcpy(&flags, data.data() + 16, 4);
  const std::size_t base = 20;
  auto text16 = [&](USHORT offset, USHORT length, std::wstring* out) {
    if (base + offset + length > data.size()) return false;
    out->assign(length / 2, L'\0');
    std::memcpy(out->data(), data.data() + base + offset, length);
    return true;
  };
  std::wstring substitute, print;
  if (!text16(substituteOffset, substituteLength, &substitute) || !text16(printOffset, printLength, &print)) {
    return false;
  }
  *relative = (flags & kSymlinkFlagRelative) != 0;
  if (*relative || print.empty()) {
    *text = substitute;
    if (text->starts_with(L"\\??\\")) (*text)[1] = L'\\';
  } else {
    *text = print;
  }
  return true;
}

// The text of the link open as `link` (see `OsDir::ReadLinkAt`): the
// substitute name of a symbolic link or junction, else the reparse data
// after its header.
int LinkTextOf(HANDLE link, std::string* text) {
  std::vector<char> data(kReparseBufferSize);
  DWORD got = 0;
  if (!DeviceIoControl(link, kFsctlGetReparsePoint, nullptr, 0, data.data(), static_cast<DWORD>(data.size()), &got,
                       nullptr)) {
    return LastError();
  }
  constexpr std::size_t kHeader = 8;  // tag, data length, reserved
  if (got < kHeader) return ERROR_INVALID_REPARSE_DATA;
  DWORD tag;
  std::memcpy(&tag, data.data(), 4);
  // Where the names start: after the four name fields, and a symbolic
  // link's flags.
  const std::size_t names = tag == kTagSymlink ? 20 : tag == kTagMountPoint ? 16 : 0;
  if (names == 0) {
    text->assign(data.data() + kHeader, got - kHeader);
    return 0;
  }
  USHORT offset, length;
  if (got < names) return ERROR_INVALID_REPARSE_DATA;
  std::memcpy(&offset, data.data() + 8, 2);
  std::memcpy(&length, data.data() + 10, 2);
  if (names + offset + length > got) return ERROR_INVALID_REPARSE_DATA;
  std::wstring wide(length / 2, L'\0');
  std::memcpy(wide.data(), data.data() + names + offset, wide.size() * sizeof(wchar_t));
  *text = WideToUtf8(wide);
  return 0;
}

// The Win32 path of `at` for a path-based call (CreateSymbolicLinkW): its
// own for an NT path, the directory's present path + name otherwise.
int Win32PathOf(const Place& at, std::wstring* path) {
  if (at.root == nullptr) {
    *path = L"\\\\?\\" + at.name.substr(4);
    return 0;
  }
  std::wstring buffer(32768, L'\0');
  const DWORD length = GetFinalPathNameByHandleW(at.root, buffer.data(), static_cast<DWORD>(buffer.size()),
                                                 FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  if (length == 0 || length >= buffer.size()) return length == 0 ? LastError() : ERROR_GEN_FAILURE;
  buffer.resize(length);
  if (buffer.back() != L'\\') buffer += L'\\';
  *path = buffer + at.name;
  return 0;
}

// Makes a symbolic link by path where the process may not write reparse
// data itself (developer mode), then proves it exists as a link at `at`.
int CreateSymbolicLinkAt(const Place& at, const std::vector<char>& data, bool directory, Handle* made) {
  std::wstring text, path;
  bool relative = false;
  if (!LinkText(data, &text, &relative)) return ERROR_PRIVILEGE_NOT_HELD;
  if (int code = Win32PathOf(at, &path)) return code;
  const DWORD flags = SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE | (directory ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0);
  if (!CreateSymbolicLinkW(path.c_str(), text.c_str(), flags)) return LastError();
  DWORD attributes = 0, tag = 0;
  const int code = OpenEntry(at, DELETE | FILE_WRITE_ATTRIBUTES, 0, false, made, &attributes, &tag);
  if (code == 0 && tag == kTagSymlink) return 0;
  // Not made here (the directory moved, or a system that only pretends).
  if (code == 0) made->reset(nullptr);
  return ERROR_PRIVILEGE_NOT_HELD;
}

// Copies the link open as `source` (with `attributes`) to a new entry made
// for `to` as `target` says, with the source's times. On success `*made` is
// its place and `*open` its handle.
int WriteLinkCopy(HANDLE source, DWORD attributes, const Place& to, CopyTarget target, Place* made, Handle* open,
                  std::uint64_t* bytesCopied) {
  std::vector<char> data(kReparseBufferSize);
  DWORD got = 0;
  if (!DeviceIoControl(source, kFsctlGetReparsePoint, nullptr, 0, data.data(), static_cast<DWORD>(data.size()), &got,
                       nullptr)) {
    return LastError();
  }
  data.resize(got);
  FILE_BASIC_INFO times;
  if (int code = GetBasic(source, &times)) return code;
  const bool directory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  int code = CreateCopyEntry(to, target, made, [&](const Place& at) {
    const ULONG options = (directory ? FILE_DIRECTORY_FILE : FILE_NON_DIRECTORY_FILE) | FILE_OPEN_REPARSE_POINT;
    if (int created = OpenAt(at, GENERIC_WRITE | DELETE | FILE_READ_ATTRIBUTES, 0, FILE_CREATE, options, open)) {
      return created;
    }
    DWORD unused = 0;
    if (DeviceIoControl(open->get(), kFsctlSetReparsePoint, data.data(), got, nullptr, 0, &unused, nullptr)) {
      return 0;
    }
    int failed = LastError();
    Dispose(open->get());
    open->reset(nullptr);
    if (failed == ERROR_PRIVILEGE_NOT_HELD) {
      failed = CreateSymbolicLinkAt(at, data, directory, open);
    }
    return failed;
  });
  if (code != 0) return code;
  times.ChangeTime.QuadPart = 0;
  times.FileAttributes = AttributeWord(attributes);
  if ((code = SetBasicAttributes(open->get(), times)) != 0) {
    Discard(open->get());
    open->reset(nullptr);
    return code;
  }
  *bytesCopied = got;
  return 0;
}

// Copies the content of `in` to `out` in 1 MiB blocks, reporting each to
// `progress` (if any) and stopping (ERROR_CANCELLED) when it asks. A failure
// to read `in` sets `*readFailed`.
int CopyContent(HANDLE in, HANDLE out, std::uint64_t* copied, CopyProgress* progress, bool* readFailed) {
  *copied = 0;
  constexpr DWORD kBlock = 1 << 20;
  std::unique_ptr<char[]> buffer(new (std::nothrow) char[kBlock]);
  if (!buffer) return ERROR_NOT_ENOUGH_MEMORY;
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(in, buffer.get(), kBlock, &got, nullptr)) {
      *readFailed = true;
      return LastError();
    }
    if (got == 0) return 0;
    DWORD done = 0;
    while (done < got) {
      DWORD put = 0;
      if (!WriteFile(out, buffer.get() + done, got - done, &put, nullptr)) return LastError();
      if (put == 0) return ERROR_WRITE_FAULT;
      done += put;
    }
    *copied += got;
    if (progress) {
      progress->Advance(got);
      if (progress->Cancelled()) return ERROR_CANCELLED;
    }
  }
}

// Writes a copy of the regular file or link at `from` for `to` as `target`
// says: content, attributes and times, flushed when it has content. On
// success `*made` names the new entry and `*open` holds it (for the rename);
// on failure nothing new is left and the error is returned, with
// `*readFailed` set when the source could not be opened or read (another
// program holding it open is the common case).
int WriteCopy(const Place& from, const Place& to, CopyTarget target, Place* made, Handle* open,
              std::uint64_t* bytesCopied, CopyProgress* progress, bool* readFailed) {
  *bytesCopied = 0;
  *readFailed = false;
  Handle in;
  DWORD attributes = 0, tag = 0;
  // Opened before anything else and examined through the handle: a device is
  // not a file system entry, so nothing is acted on by opening it.
  if (int code = OpenEntry(from, FILE_READ_DATA, 0, true, &in, &attributes, &tag)) {
    *readFailed = true;
    return code;
  }
  const EntryKind kind = KindOfEntry(attributes, tag);
  if (kind == EntryKind::Symlink) {
    return WriteLinkCopy(in.get(), attributes, to, target, made, open, bytesCopied);
  }
  if (kind == EntryKind::Directory) return kCodeDirectoryToCopy;
  if (kind != EntryKind::File) return ERROR_NOT_SUPPORTED;
  // The times and attributes given to the copy are those read before any
  // content: a file that changes meanwhile looks older than its source.
  FILE_BASIC_INFO basic;
  if (int code = GetBasic(in.get(), &basic)) {
    *readFailed = true;
    return code;
  }

  int code = CreateCopyEntry(to, target, made, [&](const Place& at) {
    return OpenAt(at, GENERIC_WRITE | DELETE | FILE_READ_ATTRIBUTES, 0, FILE_CREATE,
                  FILE_NON_DIRECTORY_FILE | FILE_SEQUENTIAL_ONLY, open);
  });
  if (code != 0) return code;
  std::uint64_t copied = 0;
  code = CopyContent(in.get(), open->get(), &copied, progress, readFailed);
  if (code == 0) {
    FILE_BASIC_INFO info = basic;
    info.ChangeTime.QuadPart = 0;
    info.FileAttributes = AttributeWord(basic.FileAttributes);
    code = SetBasicAttributes(open->get(), info);
  }
  // An empty file has no data to lose (see the header comment).
  if (code == 0 && copied > 0 && !FlushFileBuffers(open->get())) code = LastError();
  if (code != 0) {
    Discard(open->get());
    open->reset(nullptr);
    return code;
  }
  *bytesCopied = copied;
  return 0;
}

// The whole copy from `from` onto `to` (see the header comment).
int CopyAt(const Place& from, const Place& to, CopyMode mode, std::uint64_t* bytesCopied, CopyProgress* progress,
           bool* readFailed) {
  if (bytesCopied) *bytesCopied = 0;
  bool unused = false;
  if (!readFailed) readFailed = &unused;
  *readFailed = false;
  Place made;
  Handle open;
  std::uint64_t bytes = 0;
  if (mode == CopyMode::Unflushed) {
    // The old entry goes first, whatever happens next: it may be one name of
    // a file that other names share, so it is never opened for writing.
    const int code = DeleteAt(to);
    if (code != 0 && code != ERROR_FILE_NOT_FOUND) return code;
    if (int copy = WriteCopy(from, to, CopyTarget::Target, &made, &open, &bytes, progress, readFailed)) {
      return copy;
    }
  } else {
    if (int code = WriteCopy(from, to, CopyTarget::Temporary, &made, &open, &bytes, progress, readFailed)) {
      return code;
    }
    int code = RenameHandle(open.get(), to, mode == CopyMode::Replace);
    if (code != 0) {
      Discard(open.get());
      // As CopyFile says it: the target exists.
      return code == ERROR_ALREADY_EXISTS ? ERROR_FILE_EXISTS : code;
    }
  }
  if (bytesCopied) *bytesCopied = bytes;
  return 0;
}

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

// Flushes the volume that holds `h` (see the header comment).
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

  Status List(std::vector<DirEntry>* entries, const NameFilter& wanted) override {
    return WindowsError(ListHandle(handle_.get(), entries, wanted));
  }

  Status StatAt(const std::string& name, FileStatus* status, bool followLink) override {
    Place at;
    if (int code = Here(name, &at)) return WindowsError(code);
    return WindowsError(veldar::StatAt(at, followLink, status));
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

  // The lock names no file here: a named object of the session (see the
  // header comment) keeps other runs out without leaving anything behind.
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

// ---- Files for their opener only ----

class Win32File : public OsFile {
 public:
  explicit Win32File(HANDLE handle) : handle_(handle) {}

  Status Size(std::uint64_t* size) override {
    LARGE_INTEGER value;
    if (!GetFileSizeEx(handle_.get(), &value)) {
      *size = 0;
      return WindowsError(LastError());
    }
    *size = static_cast<std::uint64_t>(value.QuadPart);
    return Status();
  }

  Status Append(const std::string& data) override {
    // Only the opener writes: the end read here stays the end.
    std::uint64_t offset = 0;
    if (Status code = Size(&offset); !code.ok()) return code;
    std::size_t done = 0;
    while (done < data.size()) {
      const DWORD want = static_cast<DWORD>(std::min<std::size_t>(data.size() - done, 1 << 30));
      OVERLAPPED at{};
      at.Offset = static_cast<DWORD>(offset);
      at.OffsetHigh = static_cast<DWORD>(offset >> 32);
      DWORD put = 0;
      if (!WriteFile(handle_.get(), data.data() + done, want, &put, &at)) return WindowsError(LastError());
      if (put == 0) return WindowsError(ERROR_WRITE_FAULT);
      done += put;
      offset += put;
    }
    return Status();
  }

  Status ReadAt(std::uint64_t offset, std::size_t count, std::string* out) override {
    out->clear();
    std::uint64_t size = 0;
    if (Status code = Size(&size); !code.ok()) return code;
    if (offset >= size || count == 0) return Status();
    count = static_cast<std::size_t>(std::min<std::uint64_t>(count, size - offset));
    out->resize(count);
    std::size_t got = 0;
    while (got < count) {
      const DWORD want = static_cast<DWORD>(std::min<std::size_t>(count - got, 1 << 30));
      OVERLAPPED at{};
      at.Offset = static_cast<DWORD>(offset + got);
      at.OffsetHigh = static_cast<DWORD>((offset + got) >> 32);
      DWORD n = 0;
      if (!ReadFile(handle_.get(), out->data() + got, want, &n, &at)) {
        const int code = LastError();
        out->resize(got);
        return WindowsError(code == ERROR_HANDLE_EOF ? 0 : code);
      }
      if (n == 0) break;
      got += n;
    }
    out->resize(got);
    return Status();
  }

  Status Sync() override { return WindowsError(FlushFileBuffers(handle_.get()) ? 0 : LastError()); }

 private:
  Handle handle_;
};

// ---- The system ----

class Win32Os : public Os {
 public:
  Status Access(const std::string& path, int mode) override {
    if (mode != 0 && mode != 2 && mode != 4 && mode != 6) return WindowsError(ERROR_INVALID_PARAMETER);
    std::wstring longPath;
    if (int code = LongPath(path, &longPath)) return WindowsError(code);
    const DWORD attributes = GetFileAttributesW(longPath.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return WindowsError(LastError());
    if ((mode & 2) && (attributes & FILE_ATTRIBUTE_READONLY) && !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
      return WindowsError(ERROR_ACCESS_DENIED);
    }
    return Status();
  }

  Status OpenDir(const std::string& path, bool followLink, std::unique_ptr<OsDir>* dir) override {
    dir->reset();
    Place at;
    if (int code = PlaceOfPath(path, &at)) return WindowsError(code);
    return WindowsError(Win32Dir::Open(at, followLink, path, *this, dir));
  }

  Status RealPath(const std::string& path, std::string* resolved) override {
    std::wstring longPath;
    if (int code = LongPath(path, &longPath)) return WindowsError(code);
    Handle h(CreateFileW(longPath.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!h) return WindowsError(LastError());
    std::wstring buffer(32768, L'\0');
    const DWORD length = GetFinalPathNameByHandleW(h.get(), buffer.data(), static_cast<DWORD>(buffer.size()),
                                                   FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length == 0 && GetLastError() == ERROR_MORE_DATA) {
      // Wine gives no final path beyond MAX_PATH whatever the buffer: there
      // the path as normalised here stands for it (links on the way, which
      // Wine does not show, stay unresolved).
      buffer = longPath;
    } else if (length == 0 || length >= buffer.size()) {
      return WindowsError(length == 0 ? LastError() : ERROR_GEN_FAILURE);
    } else {
      buffer.resize(length);
    }
    if (buffer.starts_with(L"\\\\?\\UNC\\") && buffer.size() - 6 < MAX_PATH) {
      buffer = L"\\" + buffer.substr(7);
    } else if (buffer.starts_with(L"\\\\?\\") && buffer.size() > 6 && buffer[5] == L':' &&
               buffer.size() - 4 < MAX_PATH) {
      buffer = buffer.substr(4);
    }
    *resolved = WideToUtf8(buffer);
    return Status();
  }

  Status FreeSpace(const std::string& path, std::uint64_t* bytes) override {
    std::wstring longPath;
    if (int code = LongPath(path, &longPath)) return WindowsError(code);
    if (longPath.back() != L'\\') longPath += L'\\';
    ULARGE_INTEGER available, total;
    if (!GetDiskFreeSpaceExW(longPath.c_str(), &available, &total, nullptr)) return WindowsError(LastError());
    if (total.QuadPart == 0) return WindowsError(ERROR_NOT_SUPPORTED);  // a size it does not know
    *bytes = available.QuadPart;
    return Status();
  }

  Status OpenExclusive(const std::string& path, std::unique_ptr<OsFile>* file) override {
    file->reset();
    std::wstring longPath;
    if (int code = LongPath(path, &longPath)) return WindowsError(code);
    Handle h(CreateFileW(longPath.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!h) return WindowsError(LastError());
    DWORD attributes = 0, tag = 0;
    if (int code = AttributesOf(h.get(), &attributes, &tag)) return WindowsError(code);
    if (KindOfEntry(attributes, tag) != EntryKind::File) return WindowsError(ERROR_NOT_SUPPORTED);
    *file = std::make_unique<Win32File>(h.release());
    return Status();
  }

  Status OpenScratchFile(std::unique_ptr<OsFile>* file) override {
    file->reset();
    std::wstring directory(MAX_PATH + 2, L'\0');
    const DWORD length = GetTempPathW(static_cast<DWORD>(directory.size()), directory.data());
    if (length == 0 || length >= directory.size()) {
      return WindowsError(length == 0 ? LastError() : ERROR_GEN_FAILURE);
    }
    directory.resize(length);
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0;; ++attempt) {
      wchar_t name[80];
      std::swprintf(name, 80, L"VELDAR2-scratch-%lu-%u-%llx.tmp", static_cast<unsigned long>(GetCurrentProcessId()),
                    counter.fetch_add(1), static_cast<unsigned long long>(GetTickCount64()));
      Handle h(CreateFileW((directory + name).c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
      if (h) {
        *file = std::make_unique<Win32File>(h.release());
        return Status();
      }
      const int code = LastError();
      if (code != ERROR_FILE_EXISTS || attempt >= 100) return WindowsError(code);
    }
  }

  Status CreateDirTree(const std::string& path) override {
    if (path.empty()) return WindowsError(ERROR_PATH_NOT_FOUND);
    for (const std::string& prefix : PathRules::Windows().Ancestry(path)) {
      Place at;
      int code = PlaceOfPath(prefix, &at);
      if (code == 0) code = CreateDirAt(at);
      if (code == 0) continue;
      // An existing directory (or link to one) is fine, whatever the
      // creation said about it (183, or 5 on a share's root).
      FileStatus status;
      if (StatAt(at, true, &status) == 0 && status.kind == EntryKind::Directory) continue;
      return WindowsError(code);
    }
    return Status();
  }

  // The directory of the running program, ending in the separator.
  std::string ProgramDir() {
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
      const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
      if (length == 0) return ".\\";
      if (length < buffer.size()) {
        buffer.resize(length);
        break;
      }
      if (buffer.size() > 32768) return ".\\";
      buffer.resize(buffer.size() * 2);
    }
    const auto slash = buffer.rfind(L'\\');
    if (slash == std::wstring::npos) return ".\\";
    return WideToUtf8(std::wstring_view(buffer).substr(0, slash + 1));
  }

  std::string LogDir() override {
    const std::string program = ProgramDir();
    if (CanCreateIn(program)) return program;
    const std::optional<std::string> local = GetEnv("LOCALAPPDATA");
    if (!local || local->empty()) return program;
    const std::string dir = PathRules::Windows().Join(*local, "VELDAR2") + "\\";
    if (!CreateDirTree(dir).ok()) return program;
    return dir;
  }

  // The single-instance check looks for the dialog's window here.
  std::string PrivateRuntimeDir() override { return std::string(); }

  std::optional<std::string> GetEnv(const std::string& name) override {
    std::wstring wideName;
    if (name.empty() || name.find('\0') != std::string::npos || !Utf8ToWide(name, &wideName)) {
      return std::nullopt;
    }
    std::wstring value(256, L'\0');
    for (;;) {
      SetLastError(0);
      const DWORD length = GetEnvironmentVariableW(wideName.c_str(), value.data(), static_cast<DWORD>(value.size()));
      if (length == 0) {
        if (GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
        return std::string();
      }
      if (length < value.size()) {
        value.resize(length);
        return WideToUtf8(value);
      }
      value.resize(length);
    }
  }

  int ProcessId() override { return static_cast<int>(GetCurrentProcessId()); }

  bool IsAbandonedTemporary(std::string_view name) override {
    const long pid = TemporaryWriter(name);
    if (pid <= 0) return false;
    Handle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid)));
    if (!process) return GetLastError() == ERROR_INVALID_PARAMETER;  // no such process
    DWORD exitCode = 0;
    return GetExitCodeProcess(process.get(), &exitCode) && exitCode != STILL_ACTIVE;
  }

  bool MayChangeOwner() override { return false; }
  std::uint32_t UserId() override { return 0; }

  std::int64_t Now() override { return static_cast<std::int64_t>(time(nullptr)); }

  void SleepMs(int milliseconds) override {
    if (milliseconds > 0) Sleep(static_cast<DWORD>(milliseconds));
  }

  std::string ErrorText(const Status& status) override { return SystemErrorText(status.code()); }

  Status Error(int code) const override { return WindowsError(code); }
  Status Error(ErrorKind kind) const override { return WindowsError(CodeOfKind(kind)); }

  const PathRules& Paths() const override { return PathRules::Windows(); }

 private:
  // True when a file can be created in `directory` (a probe, gone on close).
  static bool CanCreateIn(const std::string& directory) {
    std::wstring longPath;
    if (LongPath(directory, &longPath) != 0) return false;
    if (longPath.back() != L'\\') longPath += L'\\';
    wchar_t name[80];
    std::swprintf(name, 80, L"VELDAR2-probe-%lu-%llx.tmp", static_cast<unsigned long>(GetCurrentProcessId()),
                  static_cast<unsigned long long>(GetTickCount64()));
    Handle h(CreateFileW((longPath + name).c_str(), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                         FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
    return static_cast<bool>(h);
  }
};

}  // namespace

std::unique_ptr<Os> MakeSystemOs() { return std::make_unique<Win32Os>(); }

}  // namespace veldar
