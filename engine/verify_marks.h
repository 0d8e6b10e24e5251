#pragma once
// The generations whose last verify found something wrong, kept in the
// user's own settings so that the restore list can mark them. A verify only
// reads the backup directory: what it concludes is never written there.
//
// A generation is known here by its identity, not its name: the size and
// last-write time of its manifest, which stay with the generation when a
// rotation renames it and change when a new copy takes its name (and its
// creation time, where the file system keeps one). A mark
// whose identity no generation of the backup directory has any more (the
// generation was rotated out, or replaced) is dropped at the next verify.
// A generation without a manifest has no identity and is never marked.
//
// The settings keep one value per backup directory, under a key made from
// the directory's path (a checksum of it, so that any path makes a key the
// store takes): the identities of its marked generations, separated by
// blanks.

#include <set>
#include <string>

#include "engine/file_entry.h"
#include "engine/settings_store.h"
#include "platform/os.h"

namespace veldar {

// The identity of `generation` in the open backup directory `backup`:
// the size, last-write time and creation time of its manifest (a file
// generation's: the one beside it), joined by
// '.'. Empty when it has none, or the manifest cannot be examined.
std::string GenerationIdentity(OsDir& backup, const CFileEntry& generation);

class VerifyMarks {
 public:
  // Reads the marks of the backup directory `backupDir` (as typed; a
  // trailing separator does not make another directory) from `settings`.
  VerifyMarks(SettingsStore& settings, const PathRules& paths, const std::string& backupDir);

  // Whether the generation of that identity failed its last verify.
  bool Marked(const std::string& identity) const { return !identity.empty() && marked_.count(identity) != 0; }
  // Records a verify of the generation of that identity: `holds`, its mark
  // goes; otherwise it is marked. An empty identity changes nothing.
  void Record(const std::string& identity, bool holds);
  // Drops the marks of identities not in `present`.
  void KeepOnly(const std::set<std::string>& present);
  // Writes the marks back when they changed; a failed write is not
  // reported (the marks are a help, not a record).
  void Save();

 private:
  SettingsStore& settings_;
  std::string key_;
  std::set<std::string> marked_;
  bool changed_ = false;
};

}  // namespace veldar
