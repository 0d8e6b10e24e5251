#pragma once
// The operations of `Os` and `OsDir` that can fail, as one list: the doubles
// forward each of them (forwarding_os.h), and tests name them by `OsOp` to
// fail them or to read them in a record of calls. A name here is the
// interface's name of the operation; every entry is checked below against
// the interface's declaration, so the list cannot drift from it, and a new
// operation of the interface that is missing here leaves the forwarding
// double abstract.
//
// Each entry is X(Name, Parameters, Arguments, Effect): the parameters as the
// interface declares them (without defaults), the same names as arguments,
// and whether the operation changes the file system (`Changes`, flushes
// included: a caller must be able to report a failed flush) or not
// (`Reads`; a probe of the medium removes what it makes).
//
// `Os::OpenDir` opens by path what `OsDir::OpenDir` opens by name: it is
// the same operation, listed once (with the directory's operations) and
// forwarded by hand.

#include <cstdint>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "platform/os.h"

// The operations of `Os` itself, each on the path it is given.
#define VELDAR_OS_OPERATIONS(X)                                                                   \
  X(Access, (const std::string& path, int mode), (path, mode), Reads)                             \
  X(RealPath, (const std::string& path, std::string* resolved), (path, resolved), Reads)          \
  X(FreeSpace, (const std::string& path, std::uint64_t* bytes), (path, bytes), Reads)             \
  X(CreateDirTree, (const std::string& path), (path), Changes)                                    \
  X(OpenExclusive, (const std::string& path, std::unique_ptr<OsFile>* file), (path, file), Reads) \
  X(OpenScratchFile, (std::unique_ptr<OsFile> * file), (file), Reads)

// The operations of an open directory, on the entry its first name names (on
// the directory itself where it takes none) and, where it takes a second
// name, on that one (in the other directory where it takes one).
#define VELDAR_OS_DIR_OPERATIONS(X)                                                                                    \
  X(Stat, (FileStatus * status), (status), Reads)                                                                      \
  X(FreshStat, (FileStatus * status), (status), Reads)                                                                 \
  X(List, (std::vector<DirEntry> * entries, const NameFilter& wanted), (entries, wanted), Reads)                       \
  X(StatAt, (const std::string& name, FileStatus* status, bool followLink), (name, status, followLink), Reads)         \
  X(ReadLinkAt, (const std::string& name, std::string* text), (name, text), Reads)                                     \
  X(OpenDir, (const std::string& name, std::unique_ptr<OsDir>* dir), (name, dir), Reads)                               \
  X(OpenForReading, (const std::string& name, std::unique_ptr<OsFile>* file), (name, file), Reads)                     \
  X(CreateNewFile, (const std::string& name, std::unique_ptr<OsFile>* file), (name, file), Changes)                    \
  X(CreateDir, (const std::string& name), (name), Changes)                                                             \
  X(DeleteFile, (const std::string& name), (name), Changes)                                                            \
  X(RemoveDir, (const std::string& name), (name), Changes)                                                             \
  X(MoveNoReplace, (const std::string& from, OsDir& toDir, const std::string& to), (from, toDir, to), Changes)         \
  X(MoveIfFree, (const std::string& from, OsDir& toDir, const std::string& to), (from, toDir, to), Changes)            \
  X(Exchange, (const std::string& a, const std::string& b), (a, b), Changes)                                           \
  X(CopyFile,                                                                                                          \
    (const std::string& name, OsDir& toDir, const std::string& to, CopyMode mode, std::uint64_t* bytesCopied,          \
     bool* readFailed, CopyProgress* progress),                                                                        \
    (name, toDir, to, mode, bytesCopied, readFailed, progress), Changes)                                               \
  X(StageCopy,                                                                                                         \
    (const std::string& name, OsDir& toDir, const std::string& to, std::string* temporary, std::uint64_t* bytesCopied, \
     bool* readFailed, CopyProgress* progress),                                                                        \
    (name, toDir, to, temporary, bytesCopied, readFailed, progress), Changes)                                          \
  X(PlaceCopy, (const std::string& temporary, const std::string& to, CopyMode mode), (temporary, to, mode), Changes)   \
  X(CloneFile, (const std::string& name, OsDir& toDir, const std::string& to, const FileStatus& expected),             \
    (name, toDir, to, expected), Changes)                                                                              \
  X(LinkFile, (const std::string& name, OsDir& toDir, const std::string& to, const FileStatus& expected),              \
    (name, toDir, to, expected), Changes)                                                                              \
  X(ChangeEntry, (const std::string& name, const EntryChange& change, EntryPart* failed), (name, change, failed),      \
    Changes)                                                                                                           \
  X(SyncFileSystem, (), (), Changes)                                                                                   \
  X(Sync, (), (), Changes)                                                                                             \
  X(ProbeMedium, (MediumTraits * traits), (traits), Reads)                                                             \
  X(Lock, (const std::string& name), (name), Reads)                                                                    \
  X(TestLock, (const std::string& name), (name), Reads)

// An entry's arguments written out, after a comma where there are any.
#define VELDAR_COMMA_ARGUMENTS(...) __VA_OPT__(, ) __VA_ARGS__

namespace veldar {

enum class OsOp {
#define VELDAR_OS_OP_ENUM(Name, Parameters, Arguments, Effect) Name,
  VELDAR_OS_DIR_OPERATIONS(VELDAR_OS_OP_ENUM) VELDAR_OS_OPERATIONS(VELDAR_OS_OP_ENUM)
#undef VELDAR_OS_OP_ENUM
};

// The operation's name, as the interface spells it.
const char* OsOpName(OsOp op);

// The operations that change the file system, flushes included.
bool ChangesFileSystem(OsOp op);

namespace os_operations_check {
#define VELDAR_OS_OP_CHECK(Class, Name, Parameters)                                                                  \
  static_assert(                                                                                                     \
      std::is_same_v<decltype(static_cast<Status(Class::*) Parameters>(&Class::Name)), Status(Class::*) Parameters>, \
      #Class "::" #Name " is not as the list of operations says");
#define VELDAR_OS_OP_CHECK_OS(Name, Parameters, Arguments, Effect) VELDAR_OS_OP_CHECK(Os, Name, Parameters)
#define VELDAR_OS_OP_CHECK_DIR(Name, Parameters, Arguments, Effect) VELDAR_OS_OP_CHECK(OsDir, Name, Parameters)
VELDAR_OS_OPERATIONS(VELDAR_OS_OP_CHECK_OS)
VELDAR_OS_DIR_OPERATIONS(VELDAR_OS_OP_CHECK_DIR)
VELDAR_OS_OP_CHECK(Os, OpenDir, (const std::string& path, bool followLink, std::unique_ptr<OsDir>* dir))
#undef VELDAR_OS_OP_CHECK_DIR
#undef VELDAR_OS_OP_CHECK_OS
#undef VELDAR_OS_OP_CHECK
}  // namespace os_operations_check

}  // namespace veldar
