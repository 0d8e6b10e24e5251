// The Win32 layer's files for their opener only, and the process's side
// (`Win32Os`): paths the user names, the environment, the log directory,
// the clock.

#include "platform/os_win32_internal.h"

namespace veldar {
namespace win32_internal {

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
    return WindowsError(OpenWin32Dir(at, followLink, path, *this, dir));
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

std::unique_ptr<OsFile> MakeWin32File(HANDLE handle) { return std::make_unique<Win32File>(handle); }

}  // namespace win32_internal

std::unique_ptr<Os> MakeSystemOs() { return std::make_unique<win32_internal::Win32Os>(); }

}  // namespace veldar
