#pragma once
// The operating system as the engine, the log and the application see it.
//
// Everything VELDAR2 asks of the system goes through `Os`: one implementation
// per platform (`PosixOs` in os_posix*.cpp, `Win32Os` in os_win32*.cpp), and
// the tests' doubles of it in testing/ (testing/os_operations.h lists the
// operations that can fail). The interface is shaped by what the engine needs
// and no more.
//
// Conventions for every operation:
//  - Paths are narrow byte strings: passed through unchanged on POSIX, UTF-8
//    on Windows (converted to UTF-16 at every call, so any name round-trips).
//    How they are spelled (separator, root, joining) is `Paths()`.
//  - An operation that can fail returns a `Status` (status.h): success, or
//    the platform's own code (errno on POSIX: a missing file is 2, an
//    existing entry 17; GetLastError on Windows: 2, 183) with its portable
//    kind. The codes go into log lines and messages as they are; decisions
//    are taken on the kind, and the contracts below are written in kinds.
//    Output arguments are only meaningful on success.
//  - Nothing throws.
//  - Threads: an `Os` may be called from several threads at once (the mirror
//    lists a directory's source and target side by side); an `OsDir` or
//    `OsFile` object from one thread at a time.
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

#include "platform/path_rules.h"
#include "platform/status.h"

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
  // The platform's full attribute word (st_mode; FILE_ATTRIBUTE_*), as read
  // by a status call: `EntryChange::attributes` writes it back whole.
  std::uint32_t native = 0;
};

// The status of one entry, as fstatat/statx reports it.
struct FileStatus {
  EntryKind kind = EntryKind::File;
  std::int64_t mtimeSec = 0;  // last-write time, seconds since the epoch
  std::uint32_t mtimeNsec = 0;
  std::int64_t birthSec = 0;  // creation time; the last-write time where the
                              // file system keeps no birth time
  std::uint32_t birthNsec = 0;
  std::uint64_t size = 0;  // a link's size is the length of its text
  // For a link: whether it was made as a link to a directory. Windows keeps
  // this in the link itself (a directory link is copied and removed as a
  // directory); POSIX links have no such kind, and it stays false.
  bool linkToDirectory = false;
  std::uint64_t allocated = 0;    // bytes the entry takes on the disk (less than
                                  // `size` for a file with holes)
  std::uint32_t links = 1;        // names the entry has (hard links)
  std::uint32_t permissions = 0;  // the permission bits, 07777
  std::uint32_t owner = 0;        // user and group ids
  std::uint32_t group = 0;
  // Together they name one file: two paths with the same pair reach the same
  // entry (a bind mount, a link, another spelling).
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  // The mount the entry is reached through: a bind mount of a directory of
  // the same file system differs from its parent here, not in `device`. 0
  // where the system does not say.
  std::uint64_t mountId = 0;
  FileAttributes attributes;

  bool SameEntryAs(const FileStatus& other) const { return device == other.device && inode == other.inode; }
  // False when this entry is reached through another mount than `other`.
  bool SameMountAs(const FileStatus& other) const {
    return device == other.device && (mountId == 0 || other.mountId == 0 || mountId == other.mountId);
  }
};

struct DirEntry {
  std::string name;  // without its directory
  FileStatus status;
};

// An open file that only its opener may use (see `OpenExclusive`).
class OsFile {
 public:
  virtual ~OsFile() = default;
  // Size in bytes.
  virtual Status Size(std::uint64_t* size) = 0;
  // Appends all of `data` at the end of the file.
  virtual Status Append(const std::string& data) = 0;
  // Reads up to `count` bytes from `offset` into `out` (replacing it); fewer
  // only at the end of the file.
  virtual Status ReadAt(std::uint64_t offset, std::size_t count, std::string* out) = 0;
  // Flushes the file's data to the disk.
  virtual Status Sync() = 0;
};

// What the copies of a run report as they go, and how they are stopped. The
// copying thread calls `Advance` with the bytes written since its last call,
// in pieces of a few megabytes, and stops a copy once `Cancelled()` is true:
// the copy then fails with kCancelled and, as any failed copy, leaves no new
// entry behind. The run that owns it hands it to each copy it makes
// (`OsDir::CopyFile`, `OsDir::StageCopy`).
//
// A copy that wants its bytes as well (to checksum them) says so with
// `WantsContent`: the copy then reads and writes the content itself, never
// with a copy inside the kernel that it would not see, and hands every byte
// to `Content` in order, with its offset (a hole as zeros). A copy that
// starts again starts again at offset 0. A platform that cannot do so hands
// nothing: the listener then finds fewer bytes than the file holds.
class CopyProgress {
 public:
  virtual ~CopyProgress() = default;
  virtual void Advance(std::uint64_t bytes) = 0;
  virtual bool Cancelled() const = 0;
  virtual bool WantsContent() const { return false; }
  virtual void Content(std::uint64_t /*offset*/, const char* /*data*/, std::size_t /*size*/) {}
};

// How `CopyFile` treats an existing target.
enum class CopyMode {
  Replace,
  FailIfExists,
  // For a directory that nobody takes for a copy until the caller has flushed
  // it and given it its name (a generation being built): the copy is written
  // straight under the target's name and not flushed. An existing entry of
  // that name (a file or a link) is removed first, never written into, so a
  // file that other names share keeps its content. A failure removes what was
  // written; the old entry stays removed.
  Unflushed,
};

// A change to an entry's metadata (`OsDir::ChangeEntry`): each part is
// applied only when given.
struct EntryChange {
  struct Owner {
    std::uint32_t owner = 0;
    std::uint32_t group = 0;
  };
  // The owner and group (user and group ids). Only a process that
  // `Os::MayChangeOwner` can give one; Windows keeps none and succeeds.
  std::optional<Owner> owner{};
  // The permission bits (07777). Windows keeps none and succeeds.
  std::optional<std::uint32_t> permissions{};
  // The attributes read earlier, written back whole (their `native` word),
  // or the read-only state alone, every other attribute (and on POSIX every
  // other permission bit) left as it is. At most one of the two.
  std::optional<FileAttributes> attributes{};
  std::optional<bool> readOnly{};
  // The last-write and last-access times (and the creation time where the
  // platform allows), in whole seconds. A creation time set to the present
  // second keeps the present moment's fraction of it (Windows), so files
  // stamped within one second still rank by when they were stamped, as
  // birth times do on Linux.
  std::optional<std::int64_t> times{};
};

// The part of an `EntryChange` that failed, in the order they are applied.
enum class EntryPart : std::uint8_t { kNone, kOwner, kPermissions, kAttributes, kTimes };

// The first part `change` asks for (kNone for an empty change).
EntryPart FirstPart(const EntryChange& change);

using NameFilter = std::function<bool(std::string_view name)>;

// What a file system keeps of what is written to it, and what it refuses, as
// `OsDir::ProbeMedium` finds it out. The defaults are a file system that
// keeps everything (ext4, XFS). The engine plans by it: what the medium
// cannot hold is left out and said, times are compared at its resolution.
struct MediumTraits {
  // The file system's kind as the system names it ("ext4", "fuse.sshfs",
  // "NTFS"), for the log; empty where it does not say.
  std::string kind;
  // A rename can be told never to replace, and two entries can be swapped in
  // one step (renameat2's flags; Windows has neither). Where not, a rename
  // must check first that its new name is free.
  bool renameNoReplace = true;
  bool exchange = true;
  bool hardLinks = true;
  bool symlinks = true;
  // As `OsDir::TimeResolutionNs`: by how much a last-write time set here may
  // come back different (FAT 2 s, exFAT through FUSE and SFTP 1 s, NTFS 100 ns).
  std::int64_t timeResolutionNs = 0;
  // Whether copies here carry permissions and owners on this system at all:
  // false on Windows, where a copy inherits its directory's access rules
  // whatever the medium, so that their absence tells nothing of the medium.
  bool copiesAccess = true;
  // Permission bits set on a file here are kept (read back as set); an owner
  // given to it is kept (root only can give one: for others, a new file
  // shows the user who made it).
  bool keepsPermissions = true;
  bool keepsOwner = true;
  // The permission bits and owner a new file shows here where the mount
  // decides them (0777 on exFAT through FUSE, the uid= of a FAT mount).
  std::uint32_t shownPermissions = 0600;
  std::uint32_t shownOwner = 0;
  // Names that differ only in letter case reach one entry.
  bool foldsCase = false;
  // Every directory here folds case as the probe's did: folding is the whole
  // file system's (FUSE drivers, network clients, FAT). False where one
  // directory may fold on its own (ext4 and f2fs with casefold, NTFS
  // directories made case-sensitive): each is then asked.
  bool foldsCaseThroughout = false;
  // The characters no name here may hold (besides the separator and NUL),
  // whether control characters (1-31) are refused too, and whether a name
  // may not end in a dot or a blank (or loses it).
  std::string refusedCharacters;
  bool refusesControlCharacters = false;
  bool refusesTrailingDotOrBlank = false;
  // The largest file, in bytes (FAT32: 4 GiB - 1).
  std::uint64_t largestFile = UINT64_MAX;
  // A directory renamed keeps what it holds, readable at once (fusefat's
  // write mode loses it: the renamed directory comes back empty; an rclone
  // mount that caches what is written cannot read a file in it until it has
  // uploaded the file).
  bool renameKeepsContents = true;
  // A last-write time set on a file while it is written is still its time
  // once the file is closed and renamed, as a copy is made (smbnetfs gives
  // it the time of the closing, fusefat that of the renaming).
  bool copyKeepsTime = true;
  // The file system says how large it is (a share through smbnetfs and FAT
  // through fusefat report no blocks at all: free space unknown).
  bool freeSpaceKnown = true;
};

// A directory held open. Its operations name entries relative to it, so no
// path above it is ever resolved again: once opened, a directory swapped for
// a link, renamed or moved cannot send them anywhere else. This is how the
// engine walks the trees it copies and deletes; path forms of the same
// operations are helpers over it (os_paths.h).
//
// Names are single components: one with a separator, or "." or "..", fails
// (kInvalid). No operation follows a link found at `name`. Objects come from
// `Os::OpenDir` or `OsDir::OpenDir`; operations that take a second directory
// need one from the same `Os`. Different objects may be used from different
// threads at once; one object from one thread at a time.
class OsDir {
 public:
  virtual ~OsDir() = default;
  // The path the directory was opened by (its parent's path, separator,
  // name): for messages and log lines only, never resolved again.
  virtual const std::string& Path() const = 0;
  // Status of the directory itself.
  virtual Status Stat(FileStatus* status) = 0;
  // `Stat` as the file system itself answers now, past the attributes the
  // kernel keeps for a FUSE or network mount (which may still show what was
  // true before a rename).
  virtual Status FreshStat(FileStatus* status) = 0;
  // The entries ("." and ".." left out), in the order the system returns
  // them, each with its status; with `wanted`, only the names it accepts
  // (and only they cost a status call). An entry that vanishes meanwhile is
  // left out. On failure `entries` holds what was read before it. May be
  // called again.
  virtual Status List(std::vector<DirEntry>* entries, const NameFilter& wanted = {}) = 0;
  // Status of the entry `name`; a link there is reported as a link, or with
  // `followLink` as what it points to.
  virtual Status StatAt(const std::string& name, FileStatus* status, bool followLink = false) = 0;
  // Reads the text of the link `name`, what it points to as it was written,
  // never resolved or followed. On success stores it in `*text`. On failure
  // returns non-OK: kNotFound when there is no entry `name`, kInvalid when
  // the entry is not a link. A link's text decides whether two links are the
  // same where their sizes cannot (Windows reports every link's size as 0;
  // a link made again with a text of the same length keeps its size). On
  // Windows it is the substitute name of a symbolic link or junction (the
  // path the system follows), UTF-8; of any other kind of link, its reparse
  // data as it is.
  virtual Status ReadLinkAt(const std::string& name, std::string* text) = 0;
  // Opens the subdirectory `name`. A link there fails (kNotDirectory), and so
  // does anything but a directory.
  virtual Status OpenDir(const std::string& name, std::unique_ptr<OsDir>* dir) = 0;
  // Opens the regular file `name` for reading (`OsFile::ReadAt`, `Size`). A
  // link at `name` is never followed: it fails, and so does anything but a
  // regular file.
  virtual Status OpenForReading(const std::string& name, std::unique_ptr<OsFile>* file) = 0;
  // Makes the new empty file `name`, readable by its owner only, open for
  // reading and appending. An existing entry fails (kExists) and stays.
  virtual Status CreateNewFile(const std::string& name, std::unique_ptr<OsFile>* file) = 0;
  // Creates the subdirectory `name` readable by its owner only (0700,
  // whatever the umask): it is opened up to its source's permissions once its
  // contents are in place. An existing entry fails (kExists).
  virtual Status CreateDir(const std::string& name) = 0;
  // Removes the file or link `name` (never what a link points to). A
  // directory fails.
  virtual Status DeleteFile(const std::string& name) = 0;
  // Removes the empty directory `name`; a link, or a directory with entries
  // (kNotEmpty), fails.
  virtual Status RemoveDir(const std::string& name) = 0;
  // Renames `from` here to `to` in `toDir`, failing (kExists) if `to`
  // exists: never replaces. Where the file system has no rename that
  // refuses to replace (FUSE media, the Linux NFS client) a file is linked
  // and unlinked, and a directory, which cannot be linked, fails
  // (kUnsupported) without a change: see `MoveIfFree`.
  virtual Status MoveNoReplace(const std::string& from, OsDir& toDir, const std::string& to) = 0;
  // Renames `from` here to `to` in `toDir` on a file system where
  // `MoveNoReplace` cannot (kUnsupported): looks `to` up, failing (kExists)
  // when it names another entry than `from`, and then renames with the
  // system's plain rename. What another process makes on `to` between the
  // look-up and the rename (an empty directory; a file, if `from` is one) is
  // replaced: only for names that nothing but the caller makes, such as the
  // program's own names in a backup directory whose run lock it holds.
  virtual Status MoveIfFree(const std::string& from, OsDir& toDir, const std::string& to) = 0;
  // Swaps the entries `a` and `b` of this directory in one step: each name
  // then reaches what the other did, and no moment exists at which either
  // name is missing. Both must exist. Where the file system or the system
  // cannot (kUnsupported), nothing changes.
  virtual Status Exchange(const std::string& a, const std::string& b) = 0;
  // Copies the regular file or link `name` to `to` in `toDir`: content (or
  // link text), permission bits, last-write time and, where the caller may,
  // owner and group. The copy is made under a temporary name beside `to`,
  // flushed to disk and only then renamed onto `to`, so `to` never names a
  // partial copy; on failure the temporary file is removed and `to` is as it
  // was. With FailIfExists an existing `to` fails the copy (kExists) and is
  // left untouched. Anything but a regular file or a link fails without
  // being opened. `bytesCopied`, if given, receives the number of bytes
  // written. On failure `*readFailed`, if given, tells whether it was the
  // source that failed: it could not be opened or read (access denied, held
  // by another program, a read error), as opposed to anything on the copy's
  // side. `progress`, if given, hears the bytes as they are written, and a
  // stop it asks for fails the copy (kCancelled).
  virtual Status CopyFile(const std::string& name, OsDir& toDir, const std::string& to, CopyMode mode,
                          std::uint64_t* bytesCopied = nullptr, bool* readFailed = nullptr,
                          CopyProgress* progress = nullptr) = 0;
  // The first half of a copy: writes the copy of `name` to a new temporary
  // name beside `to` in `toDir` (`*temporary`, a name in `toDir`), as
  // `CopyFile` does, but neither flushes it nor renames it. The caller makes
  // a batch of them durable at once (`SyncFileSystem`) and then names each
  // with `PlaceCopy`, or deletes it. On failure nothing is left behind.
  // `*readFailed` and `progress` as for `CopyFile`.
  virtual Status StageCopy(const std::string& name, OsDir& toDir, const std::string& to, std::string* temporary,
                           std::uint64_t* bytesCopied = nullptr, bool* readFailed = nullptr,
                           CopyProgress* progress = nullptr) = 0;
  // The second half: renames the temporary entry `temporary` here to `to`
  // here, replacing (Replace) or never replacing (FailIfExists) an existing
  // entry. On failure `temporary` stays, for the caller to delete.
  virtual Status PlaceCopy(const std::string& temporary, const std::string& to, CopyMode mode) = 0;
  // Makes `to` in `toDir` a clone of the regular file `name` here: a file of
  // its own (changing one never changes the other) that shares the data
  // blocks, with the content, permission bits, last-write time and (where the
  // caller may) owner of `name`. Only where the file system can clone (XFS,
  // btrfs...); elsewhere it fails (kUnsupported) without a trace. `to` must
  // not exist (kExists). It fails (kChanged) without creating `to` when
  // `name` is no longer the file `expected` describes (device, inode, size,
  // last-write time). Not flushed, like `CopyMode::Unflushed`.
  virtual Status CloneFile(const std::string& name, OsDir& toDir, const std::string& to,
                           const FileStatus& expected) = 0;
  // Makes `to` in `toDir` another name of the regular file `name` here (a
  // hard link): both names then reach one file. `to` must not exist. Fails
  // (kChanged, removing `to` again) when the file linked is not the one
  // `expected` describes; where the file system has no hard links, or the
  // file has too many, with the system's code. Not flushed.
  virtual Status LinkFile(const std::string& name, OsDir& toDir, const std::string& to, const FileStatus& expected) = 0;
  // Changes the parts of `name`'s metadata that `change` names (the
  // directory itself where `name` is empty: owner and permissions only), in
  // the order that never widens access on the way: owner (which clears the
  // set-id bits), permissions, attributes, times. A link's own owner and
  // times are changed, never its target's; a link has no permissions or
  // attributes and is left as it is for those parts. The first part that
  // fails ends the change: it returns the failure and `*failed`, if given,
  // names the part (for a failure before any part was tried, such as a bad
  // name, the first part asked for); the parts before it stay done. On
  // success `*failed` is `EntryPart::kNone`.
  virtual Status ChangeEntry(const std::string& name, const EntryChange& change, EntryPart* failed = nullptr) = 0;
  // Flushes everything written to the file system that holds this directory
  // (syncfs): the data and entries of every file and directory on it.
  virtual Status SyncFileSystem() = 0;
  // Flushes the directory's own entries (fsync on the directory): names
  // created, renamed or removed in it survive a power cut once this returns.
  virtual Status Sync() = 0;
  // True where files can be cloned here (`CloneFile`): found out by trying
  // it where the file system's kind can clone, since the same kind may be
  // made without the feature (XFS with reflink=0). A clone may still fail,
  // and is then copied.
  virtual bool CanClone() = 0;
  // The largest amount, in nanoseconds, by which a last-write time set on a
  // file here may come back earlier than it was set, because the file system
  // keeps times coarser than the system's (2 seconds on FAT, 0 on ext4).
  virtual std::int64_t TimeResolutionNs() = 0;
  // False where the file system keeps no permissions or owners of its own
  // (FAT, exFAT, NTFS, SMB: the mount decides them): there is nothing to
  // copy or to set.
  virtual bool KeepsPermissions() = 0;
  // Finds out what the file system holding this directory keeps and refuses
  // (MediumTraits): by its kind, and on POSIX by trying, inside a directory
  // of the program's own temporary naming made here and removed again with
  // all in it (no link is followed, nothing else is touched). On success
  // `*traits` holds what was found. Where nothing can be made here (a
  // directory this user may not write), `*traits` holds what the kind
  // alone tells, and the failure is returned. Windows answers from the
  // volume's flags and file system name, making nothing.
  virtual Status ProbeMedium(MediumTraits* traits) = 0;
  // Takes the exclusive run lock of this directory without waiting; another
  // holder makes it fail (kLocked). The lock ends with the object. Locks are
  // advisory: they keep out other VELDAR2 runs, nothing else.
  //
  // Only a process that may write the directory can hold its lock: on POSIX
  // it is `name`, a file inside the directory (made 0600, opened without
  // following a link), removed when the lock ends. The file the lock makes
  // is trusted as the file it made, whatever owner the medium reports (FAT
  // mounted for another user, FUSE media report the mount's). An entry found
  // on the name is trusted only as a regular file with one name, of this
  // user's or of the directory's owner's; anything else (another user's
  // file, a link, a file with other names, an empty directory) is replaced.
  // One that cannot be removed (a directory with entries, another user's
  // entry in a sticky directory) fails the lock with kExists, and stays as
  // it is. A lock that fails leaves no file of its own making. Where this
  // user may not write the directory the lock fails with kAccessDenied (or
  // kReadOnlyFileSystem).
  // Windows locks the directory's identity with a named object of the
  // session instead and makes no file.
  virtual Status Lock(const std::string& name) = 0;
  // Tells whether `Lock(name)` would find the lock held, without making,
  // locking for long or removing anything: success when no other holder has
  // it, kLocked when one does, kExists where an entry that `Lock` cannot
  // remove holds the name (a directory with entries). On POSIX a lock file
  // is opened read-only, without following a link, and locked shared for
  // the moment of the test.
  virtual Status TestLock(const std::string& name) = 0;
};

class Os {
 public:
  virtual ~Os() = default;

  // ---- The paths the user names ----

  // Opens the directory `path` (see `OsDir`). A final link is followed only
  // with `followLink`: the directories the user names may be links, those
  // below them never are.
  virtual Status OpenDir(const std::string& path, bool followLink, std::unique_ptr<OsDir>* dir) = 0;
  // Tests access as the runtime's _access does: mode 4 read, 2 write, 0 exists.
  virtual Status Access(const std::string& path, int mode) = 0;
  // The absolute path of `path` with every link, "." and ".." resolved.
  virtual Status RealPath(const std::string& path, std::string* resolved) = 0;
  // Bytes free for an unprivileged writer on the file system holding `path`.
  // Fails (kUnsupported) where the file system does not tell its size (it
  // reports no blocks at all: SMB through smbnetfs, FAT through fusefat).
  virtual Status FreeSpace(const std::string& path, std::uint64_t* bytes) = 0;
  // Creates `path` and any missing parents, each readable by its owner only
  // when newly made. An existing directory is success.
  virtual Status CreateDirTree(const std::string& path) = 0;
  // Opens `path` for reading and appending, creating it (readable by its
  // owner only) if missing and never truncating it, and takes an exclusive
  // lock on it without waiting: while one opener holds it, every other open
  // fails (kLocked). The lock ends when the object is destroyed. While it is
  // open, its opener may rename it and delete it by path (Windows: it is
  // opened with FILE_SHARE_DELETE); a deleted file's name may stay taken
  // until it is closed.
  virtual Status OpenExclusive(const std::string& path, std::unique_ptr<OsFile>* file) = 0;
  // Opens a new file without a name (on POSIX in $TMPDIR, else /tmp), for
  // reading and appending, readable by nobody else; it is gone once closed.
  // For data too large to hold in memory.
  virtual Status OpenScratchFile(std::unique_ptr<OsFile>* file) = 0;

  // ---- Process and environment ----

  // The per-user directory for the activity log, ending in the separator
  // (POSIX: $XDG_STATE_HOME/VELDAR2/; Windows: the program's directory, or
  // %LOCALAPPDATA%\VELDAR2\ where that cannot be written).
  virtual std::string LogDir() = 0;
  // A directory in which no other user can make a name, the same for every
  // process of this user whatever its environment, for what one session of
  // the program shares with the next start (the single-instance socket);
  // empty when there is none. POSIX: ".local/state/VELDAR2" in the home
  // directory the password database gives the effective user (not $HOME),
  // made 0700 where missing; used only when it is a directory of that
  // user's, not a link, that group and others cannot write. Windows has no
  // use for it (the single-instance check looks for the dialog's window)
  // and gives none.
  virtual std::string PrivateRuntimeDir() = 0;
  virtual std::optional<std::string> GetEnv(const std::string& name) = 0;
  virtual int ProcessId() = 0;
  // True when `name` is a temporary file of `CopyFile`'s own naming whose
  // writing process no longer exists: a leftover of a run that was killed,
  // which nobody will ever finish or remove but the next run.
  virtual bool IsAbandonedTemporary(std::string_view name) = 0;
  // True when this process may give files any owner and group (root).
  virtual bool MayChangeOwner() = 0;
  // The user this process acts as, as `FileStatus::owner` names owners: what
  // it makes is this user's. Windows reports no owners (0) and gives 0.
  virtual std::uint32_t UserId() = 0;
  // The current calendar time in whole seconds.
  virtual std::int64_t Now() = 0;
  virtual void SleepMs(int milliseconds) = 0;

  // ---- Failures ----

  // The status of the platform's code `code`, as this platform's one
  // conversion function makes it (0: success).
  virtual Status Error(int code) const = 0;
  // A failure of `kind` with a code of this platform's, for a failure the
  // caller finds itself (an entry that is not what it was).
  virtual Status Error(ErrorKind kind) const = 0;
  // The system's text for a failure's code, as the log keeps it
  // (`SystemErrorText`: strerror in the C locale; FormatMessage).
  virtual std::string ErrorText(const Status& status) = 0;

  // How paths are spelled here.
  virtual const PathRules& Paths() const = 0;
  char Separator() const { return Paths().Separator(); }
};

// The system's own implementation for this platform.
std::unique_ptr<Os> MakeSystemOs();

}  // namespace veldar
