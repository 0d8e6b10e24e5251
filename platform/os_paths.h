#pragma once
// The operations of `OsDir` on paths: each opens the path's parent directory
// (following links on the way, as for any path the user names) and acts on
// the last name in it, never following a link found there. For the few
// places that work on a path by itself (a single-file backup, the restore
// directory, the log file); a tree is walked through open directories.
//
// Each fails as its `OsDir` operation does, or as opening the parent does.
// A path without a parent (a root, a bare name that is no entry) fails
// (kInvalid), except where the operation says otherwise.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/os.h"

namespace veldar {

// Opens the directory holding `path` and gives the name of `path` in it.
Status OpenParent(Os& os, const std::string& path, std::unique_ptr<OsDir>* parent, std::string* name);

// `OsDir::CopyFile` from `from` to `to`; the two may lie in different directories.
Status CopyFile(Os& os, const std::string& from, const std::string& to, CopyMode mode,
                std::uint64_t* bytesCopied = nullptr, CopyProgress* progress = nullptr);
Status DeleteFile(Os& os, const std::string& path);
Status RemoveDir(Os& os, const std::string& path);
// Makes the directory readable by its owner only (0700, whatever the umask).
Status CreateDir(Os& os, const std::string& path);
Status MoveNoReplace(Os& os, const std::string& from, const std::string& to);
// `OsDir::ChangeEntry`; a parent that cannot be opened fails the first part.
Status ChangeEntry(Os& os, const std::string& path, const EntryChange& change, EntryPart* failed = nullptr);
// The status of `path`; a final link is followed only with `followLink`. A
// root is its own directory's status.
Status Stat(Os& os, const std::string& path, bool followLink, FileStatus* status);
// The entries of the directory `path` (`OsDir::List`); a final link is
// followed only with `followLink`.
Status ListDir(Os& os, const std::string& path, bool followLink, std::vector<DirEntry>* entries,
               const NameFilter& wanted = {});

// Not on a path, for the walks over open directories: opens the directory
// `name` of `parent` (never following a link) only while it is still the
// entry `listed` describes, and gives its status in `*status`. Another entry
// on the name since it was listed fails with kChanged; otherwise it fails
// as `OsDir::OpenDir` or `OsDir::Stat` does. `*dir` is empty on failure.
Status OpenListedDir(Os& os, OsDir& parent, const std::string& name, const FileStatus& listed,
                     std::unique_ptr<OsDir>* dir, FileStatus* status);

}  // namespace veldar
