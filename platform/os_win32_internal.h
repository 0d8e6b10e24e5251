#pragma once
// What the Win32 layer's files share (os_win32.cpp, os_win32_entries.cpp,
// os_win32_copy.cpp, os_win32_dir.cpp, os_win32_process.cpp): what MinGW's
// headers lack, the one conversion of the system's codes, handles that close
// themselves, and the operations one file makes for another. For those
// files only; nothing else includes it.

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
namespace win32_internal {

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

// ---- The codes chosen here (see os_win32.cpp's header comment) ----

constexpr int kCodeLinkNotDirectory = 681;  // ERROR_STOPPED_ON_SYMLINK
constexpr int kCodeChanged = 1006;          // ERROR_FILE_INVALID
constexpr int kCodeDirectoryToCopy = 336;   // ERROR_DIRECTORY_NOT_SUPPORTED
constexpr int kCodeInvalidName = ERROR_INVALID_NAME;

// GetLastError as a result code; never 0, so a call that failed is never
// taken for a success even if it forgot to set the code.
// The portable kind of a Win32 error code.
inline ErrorKind KindOfWin32Error(int code) {
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
inline Status WindowsError(int code) { return Status::Make(code, KindOfWin32Error(code)); }

// A Win32 error code of `kind`, for a failure found by the program itself.
inline int CodeOfKind(ErrorKind kind) {
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

inline int LastError() {
  const DWORD code = GetLastError();
  return code != 0 ? static_cast<int>(code) : ERROR_GEN_FAILURE;
}

inline int NtError(NTSTATUS status) {
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

// Where an entry is: a name relative to an open directory, or (root null) a
// full NT path.
struct Place {
  HANDLE root = nullptr;
  std::wstring name;
};

constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

inline bool IsLinkTag(DWORD tag) {
  return tag == kTagSymlink || tag == kTagMountPoint || (tag & kNameSurrogateBit) != 0;
}

inline bool IsLink(DWORD attributes, DWORD tag) {
  return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && IsLinkTag(tag);
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

// Where `WriteCopy` writes a copy.
enum class CopyTarget {
  Temporary,  // a fresh temporary name beside the target
  Target,     // the target's own name, which must be free
};

constexpr DWORD kSettableAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                      FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_OFFLINE |
                                      FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

// ---- Made in os_win32.cpp ----

// The long Win32 form ("\\?\C:\x", "\\?\UNC\s\h\x") of the UTF-8 `path`; 0
// or the error (see os_win32.cpp's header comment).
int LongPath(const std::string& path, std::wstring* out);
int PlaceOfPath(const std::string& path, Place* place);
// `name` in the directory of `place`.
Place Beside(const Place& place, const std::wstring& name);
// The last component of `place`.
std::wstring LeafOf(const Place& place);
// A name relative to an open directory is one component: a separator would
// reach past it, "." and ".." name no entry of it, ':' a stream.
int CheckName(const std::string& name, std::wstring* wide);
// NtCreateFile at `at`: synchronous, case-insensitive as Win32 is.
int OpenAt(const Place& at, ACCESS_MASK access, ULONG share, ULONG disposition, ULONG options, Handle* out,
           ULONG attributes = FILE_ATTRIBUTE_NORMAL);
// Attributes and reparse tag of an open entry.
int AttributesOf(HANDLE h, DWORD* attributes, DWORD* tag);
bool IsWine();
// Under Wine (only: it costs a path lookup), whether the path of the open
// directory `root` (opened by `openedBy`) still reaches it: 0, or
// ERROR_INVALID_HANDLE (6) when Wine would delete, rename or link relative
// to it by a path that now reaches another directory or none (see the header
// comment). Windows works on the handle itself.
int CheckRootForWine(HANDLE root, const std::string& openedBy);
// Opens the entry at `at` itself, never following a link there. With
// `throughFilter`, a reparse point that is not a link (deduplicated,
// compressed, cloud) is opened again the ordinary way, so that its content is
// the file's; it must still be the same file. `*attributes` and `*tag`
// describe the entry.
int OpenEntry(const Place& at, ACCESS_MASK access, ULONG options, bool throughFilter, Handle* out, DWORD* attributes,
              DWORD* tag);
// Opens the directory at `at` for listing and for opening entries relative to
// it. A link there is followed only with `followLink`; otherwise it fails
// (681), and a file fails with 267.
int OpenDirectory(const Place& at, bool followLink, Handle* out);

// ---- Made in os_win32_entries.cpp ----

std::int64_t FileTimeOf(std::int64_t seconds, std::uint32_t nanoseconds = 0);
// Volume serial number and file id of an open entry.
int IdentityOf(HANDLE h, std::uint64_t* volume, std::uint64_t* id);
EntryKind KindOfEntry(DWORD attributes, DWORD tag);
int StatusOfHandle(HANDLE h, FileStatus* status);
int StatAt(const Place& at, bool followLink, FileStatus* status);
// Lists the directory open as `dir` from its start (see os_win32.cpp's header comment):
// records with file ids, or, where the file system has no such listing,
// records without them and a status call per entry.
int ListHandle(HANDLE dir, std::vector<DirEntry>* entries, const NameFilter& wanted);
// SetBasic for an attribute word that may hold read-only with others. Wine
// keeps hidden and system in an extended attribute, which a user other than
// root cannot write once the file is read-only: under Wine the others are
// set first.
int SetBasicAttributes(HANDLE h, const FILE_BASIC_INFO& info);
int GetBasic(HANDLE h, FILE_BASIC_INFO* info);
// The attribute word for FileBasicInfo: 0 there means "unchanged".
DWORD AttributeWord(DWORD attributes);
// Marks the open entry `h` for deletion: at once with POSIX semantics where
// the system allows, else when its last handle closes.
int Dispose(HANDLE h);
// Deletes an entry this code made and still holds open (a failed copy): read-
// only or not.
void Discard(HANDLE h);
// Renames (`link` false) or links the open entry `h` to `to`.
int RenameHandle(HANDLE h, const Place& to, bool replace, bool link = false);
int DeleteAt(const Place& at);
int RemoveDirAt(const Place& at);
int CreateDirAt(const Place& at);
int MoveAt(const Place& from, const Place& to);
int SetReadOnlyAt(const Place& at, bool readOnly);
int SetAttributesAt(const Place& at, const FileAttributes& attributes);

// ---- Made in os_win32_copy.cpp ----

// The text of the link open as `link` (see `OsDir::ReadLinkAt`): the
// substitute name of a symbolic link or junction, else the reparse data
// after its header.
int LinkTextOf(HANDLE link, std::string* text);
// Writes a copy of the regular file or link at `from` for `to` as `target`
// says: content, attributes and times, flushed when it has content. On
// success `*made` names the new entry and `*open` holds it (for the rename);
// on failure nothing new is left and the error is returned, with
// `*readFailed` set when the source could not be opened or read (another
// program holding it open is the common case).
int WriteCopy(const Place& from, const Place& to, CopyTarget target, Place* made, Handle* open,
              std::uint64_t* bytesCopied, CopyProgress* progress, bool* readFailed);
// The whole copy from `from` onto `to` (see os_win32.cpp's header comment).
int CopyAt(const Place& from, const Place& to, CopyMode mode, std::uint64_t* bytesCopied, CopyProgress* progress,
           bool* readFailed);

// ---- Made in os_win32_dir.cpp ----

// Opens the directory at `at` (following a final link only with
// `followLink`) as an `OsDir` named `path`.
int OpenWin32Dir(const Place& at, bool followLink, const std::string& path, const Os& os, std::unique_ptr<OsDir>* dir);

// ---- Templates of os_win32_entries.cpp ----

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

// An open file of the caller's (`OsFile`) over `handle`, which it closes
// (made in os_win32_process.cpp).
std::unique_ptr<OsFile> MakeWin32File(HANDLE handle);

}  // namespace win32_internal
}  // namespace veldar
