// The Win32 layer's copies: temporary names beside a target, and the copy of
// a file's content, attributes and times (or of a link) and its placing.

#include "platform/os_win32_internal.h"

namespace veldar {
namespace win32_internal {

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
// `progress` (if any; the bytes themselves where it wants them) and stopping
// (ERROR_CANCELLED) when it asks. A failure to read `in` sets `*readFailed`.
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
    // Handed on as read: a manifest is checksummed from them.
    if (progress && progress->WantsContent()) progress->Content(*copied, buffer.get(), got);
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
  // An empty file has no data to lose (see os_win32.cpp's header comment).
  if (code == 0 && copied > 0 && !FlushFileBuffers(open->get())) code = LastError();
  if (code != 0) {
    Discard(open->get());
    open->reset(nullptr);
    return code;
  }
  *bytesCopied = copied;
  return 0;
}

// The whole copy from `from` onto `to` (see os_win32.cpp's header comment).
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

}  // namespace win32_internal
}  // namespace veldar
