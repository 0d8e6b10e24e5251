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
//
// The layer is split by concern: this file holds paths and the opening of
// entries; os_win32_entries.cpp the status of entries and their changes
// through handles; os_win32_copy.cpp the copies; os_win32_dir.cpp the open
// directory and its volume; os_win32_process.cpp the files for their opener
// only and the process's side (`Win32Os`); os_win32_internal.h what they
// share.

#include "platform/os_win32_internal.h"

namespace veldar {
namespace win32_internal {

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

// NtCreateFile at `at`: synchronous, case-insensitive as Win32 is.
int OpenAt(const Place& at, ACCESS_MASK access, ULONG share, ULONG disposition, ULONG options, Handle* out,
           ULONG attributes) {
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

}  // namespace win32_internal
}  // namespace veldar
