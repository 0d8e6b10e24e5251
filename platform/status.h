#pragma once
// Status: what an operation of the OS layer came to.
//
// Success, or a failure with two faces: the platform's own code (errno on
// POSIX, GetLastError on Windows), which goes into log lines and messages as
// it is ("ERR = 28"), and its portable kind, which every decision is taken
// on. A failure is made by its platform's one conversion function
// (`PosixError`, `WindowsError`, reached through `Os::Error`), so that a code
// and its kind always agree; a result the caller ignores is a compiler
// warning.

#include <cstdint>

namespace veldar {

// What a failure means, whatever the platform: the engine decides by this,
// and writes the native code.
enum class ErrorKind : std::uint8_t {
  kNone,          // success
  kNotFound,      // no such entry, or a directory on its way is missing
  kExists,        // the name is taken
  kAccessDenied,  // the system or the file's permissions refuse it
  kNotDirectory,  // a directory was expected: a file, or a link, is there
  kNotEmpty,      // a directory to remove still has entries
  kNoSpace,       // the disk or the quota is full
  kReadOnlyFileSystem,
  kIo,           // the device failed
  kGone,         // the medium is no longer there: unplugged, unmounted, its
                 // driver or its server gone (what was open on it is lost)
  kLocked,       // another holder has the lock (`Lock`, `OpenExclusive`)
  kChanged,      // the entry is no longer the one the caller saw (a clone's or
                 // link's source replaced since it was listed)
  kUnsupported,  // the system, the file system or this process cannot do it
                 // here (a link where links cannot be made, a clone)
  kCancelled,    // a copy stopped because its `CopyProgress` asked it to
  kInvalid,      // the call's arguments are wrong (a name with a separator)
  kOther,
};

class [[nodiscard]] Status {
 public:
  // Success.
  Status() = default;

  bool ok() const { return kind_ == ErrorKind::kNone; }
  ErrorKind kind() const { return kind_; }
  bool Is(ErrorKind kind) const { return kind_ == kind; }
  // The platform's code; 0 for success.
  int code() const { return code_; }

  // A failure as the platform's conversion function makes it. REQUIRES:
  // `kind` is what the platform's code means (use `Os::Error`).
  static Status Make(int code, ErrorKind kind) { return Status(code, kind); }

  friend bool operator==(const Status& a, const Status& b) { return a.code_ == b.code_ && a.kind_ == b.kind_; }

 private:
  Status(int code, ErrorKind kind)
      : code_(code),
        kind_(code == 0                  ? ErrorKind::kNone
              : kind == ErrorKind::kNone ? ErrorKind::kOther
                                         : kind) {}

  int code_ = 0;
  ErrorKind kind_ = ErrorKind::kNone;
};

}  // namespace veldar
