#pragma once
// CFileEntry: one generation of the generation list, or one directory entry.
// Lists own their records by value.

#include <cstdint>
#include <string>
#include <vector>

#include "platform/os.h"

namespace veldar {

struct CFileEntry {
  // Listing: the entry's name within its directory (DeleteDirContents: its
  // full path). Generation list: the generation's name in the backup directory.
  std::string name;
  // Listing: the last-write time in whole seconds. Generation list: the
  // creation time.
  std::int64_t time = 0;
  // The sub-second part of `time`: an edit within the second of the last
  // copy is still an edit, and two runs within one second still rank in the
  // order they ran.
  std::uint32_t timeNsec = 0;
  bool isDirectory = false;      // a real directory, never a link to one
  std::int32_t generation = -1;  // generation list only: 0 for the newest
  // What the entry is (links and special files are told apart on POSIX).
  EntryKind kind = EntryKind::File;
  // Listing: everything the listing found out about the entry (size,
  // permissions, owner, identity).
  FileStatus status;
};

// The record of the generation list that bears generation number `number`,
// or null.
inline const CFileEntry* FindGeneration(const std::vector<CFileEntry>& list, int number) {
  for (const CFileEntry& entry : list) {
    if (entry.generation == number) return &entry;
  }
  return nullptr;
}

}  // namespace veldar
