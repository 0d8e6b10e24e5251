#pragma once
// The operating system as the engine, the log and the application see it.
//
// Everything VELDAR2 asks of the system goes through `Os`: one implementation
// per platform (`PosixOs` in os_posix.cpp, a Win32 one later) and a
// fault-injecting double for tests (`FaultOs`). The interface is shaped by
// what the engine needs and no more.
//
// Conventions for every operation:
//  - Paths are narrow byte strings, passed through unchanged.
//  - An operation that can fail returns a system error code: 0 on success,
//    otherwise the platform's code (errno on POSIX: a missing file is 2, an
//    existing entry 17). Output arguments are only meaningful on success.
//  - Nothing throws.
//
// How the Windows facilities map onto POSIX is written down once, in
// os_posix.cpp's header comment.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace veldar {

// What a directory entry is. Links are reported as links and never followed;
// `Special` covers FIFOs, sockets and device files, which are never opened.
enum class EntryKind : std::uint8_t { File, Directory, Symlink, Special };

// The attribute bits the engine reasons about, in the Windows sense.
struct FileAttributes {
  bool directory = false;
  bool readOnly = false;  // POSIX: the owner's write bit is clear
  bool system = false;    // POSIX: never set
  bool hidden = false;    // POSIX: never set
  std::uint32_t native = 0;  // the platform's full attribute word (st_mode)
};

// The status of one entry, as fstatat/statx reports it without following a
// final link.
struct FileStatus {
  EntryKind kind = EntryKind::File;
  std::int64_t mtimeSec = 0;  // last-write time, seconds since the epoch
  std::uint32_t mtimeNsec = 0;
  std::int64_t birthSec = 0;  // creation time; the last-write time where the
                              // file system keeps no birth time
  std::uint32_t birthNsec = 0;
  std::uint64_t size = 0;
  FileAttributes attributes;
};

struct DirEntry {
  std::string name;  // without its directory
  FileStatus status;
};

// An open file that only its opener may use (see `OpenExclusive`).
class OsFile {
 public:
  virtual ~OsFile() = default;
  // Size in bytes; 0 and an error code on failure.
  virtual int Size(std::uint64_t* size) = 0;
  // Appends all of `data` at the end of the file.
  virtual int Append(const std::string& data) = 0;
  // Reads up to `count` bytes from `offset` into `out` (replacing it); fewer
  // only at the end of the file.
  virtual int ReadAt(std::uint64_t offset, std::size_t count, std::string* out) = 0;
  // Flushes the file's data to the disk.
  virtual int Sync() = 0;
};

// How `CopyFile` treats an existing target.
enum class CopyMode { Replace, FailIfExists };

class Os {
 public:
  virtual ~Os() = default;

  // ---- Files and directories ----

  // Copies the regular file or symbolic link at `from` to `to`: content (or
  // link text), permission bits, last-write time and, where the caller may,
  // owner and group. The copy is made under a temporary name beside `to`,
  // flushed to disk and only then renamed onto `to`, so `to` never names a
  // partial copy; on failure the temporary file is removed and `to` is as it
  // was. With FailIfExists an existing `to` fails the copy (EEXIST) and is
  // left untouched. Anything but a regular file or a link fails without being
  // opened. `bytesCopied`, if given, receives the number of bytes written.
  virtual int CopyFile(const std::string& from, const std::string& to, CopyMode mode,
                       std::uint64_t* bytesCopied = nullptr) = 0;
  // Removes a file or a link (never what a link points to). A directory fails.
  virtual int DeleteFile(const std::string& path) = 0;
  // Removes an empty directory; a link to a directory fails.
  virtual int RemoveDir(const std::string& path) = 0;
  // Creates one directory with default permissions; an existing entry fails.
  virtual int CreateDir(const std::string& path) = 0;
  // Renames `from` to `to`, failing (EEXIST) if `to` exists. Never replaces.
  virtual int MoveNoReplace(const std::string& from, const std::string& to) = 0;

  // Status of `path`; a final link is followed only with `followLink`.
  virtual int Stat(const std::string& path, bool followLink, FileStatus* status) = 0;
  // Clears the read-only state of `path` ("normal" attributes).
  virtual int SetAttributesNormal(const std::string& path) = 0;
  // Writes back attributes read earlier with `Stat`.
  virtual int SetAttributes(const std::string& path, const FileAttributes& attributes) = 0;
  // Sets the last-write and last-access times (and the creation time where the
  // platform allows) of an existing file to `seconds`. A final link is not
  // followed.
  virtual int SetTimes(const std::string& path, std::int64_t seconds) = 0;
  // Tests access as the runtime's _access does: mode 4 read, 2 write, 0 exists.
  virtual int Access(const std::string& path, int mode) = 0;

  // Lists the entries of the directory `path` ("." and ".." left out), in the
  // order the system returns them, each with its status. A final link is
  // followed only with `followLink`. With `wanted`, only the names it accepts
  // are listed (and only they cost a status call). On failure `entries` holds
  // what was read before the failure.
  using NameFilter = std::function<bool(std::string_view name)>;
  virtual int ListDir(const std::string& path, bool followLink, std::vector<DirEntry>* entries,
                      const NameFilter& wanted = {}) = 0;

  // Bytes free for an unprivileged writer on the file system holding `path`.
  virtual int FreeSpace(const std::string& path, std::uint64_t* bytes) = 0;

  // Opens `path` for reading and appending, creating it (readable by its owner
  // only) if missing and never truncating it, and takes an exclusive lock on
  // it without waiting: while one opener holds it, every other open fails
  // (EWOULDBLOCK). The lock ends when the object is destroyed.
  virtual int OpenExclusive(const std::string& path, std::unique_ptr<OsFile>* file) = 0;
  // Creates `path` and any missing parents, each readable by its owner only
  // when newly made. An existing directory is success.
  virtual int CreateDirTree(const std::string& path) = 0;

  // ---- Process and environment ----

  // The directory of the running executable, ending in the separator.
  virtual std::string ProgramDir() = 0;
  // The per-user directory for the activity log, ending in the separator
  // (POSIX: $XDG_STATE_HOME/VELDAR2/; Windows: the program's directory).
  virtual std::string LogDir() = 0;
  virtual std::optional<std::string> GetEnv(const std::string& name) = 0;
  virtual int ProcessId() = 0;
  // The current calendar time in whole seconds.
  virtual std::int64_t Now() = 0;
  // `seconds` as local time in strftime's `format`; empty if it cannot be converted.
  virtual std::string FormatLocalTime(std::int64_t seconds, const char* format) = 0;
  virtual void SleepMs(int milliseconds) = 0;
  // The system's text for an error code (strerror).
  virtual std::string ErrorText(int code) = 0;
  // True for the codes that mean "no such file or directory".
  virtual bool IsNotFound(int code) const = 0;
  // True for the code that _access gives for a denied access (EACCES).
  virtual bool IsAccessDenied(int code) const = 0;

  // ---- Path conventions ----

  // The path separator ('/' on POSIX, '\\' on Windows).
  virtual char Separator() const = 0;
  // The character that starts a command-line option ('-' on POSIX, '/' on Windows).
  virtual char OptionChar() const = 0;
};

// The system's own implementation for this platform.
std::unique_ptr<Os> MakeSystemOs();

}  // namespace veldar
