#pragma once
// What -LIST prints: the generations of a source in its backup directory,
// newest first, as a table for people or (-JSON) as JSON for scripts.
// FindGenerationRows reads the rows from the disk without changing anything
// there; the texts are pure functions of the rows, with the time written by a
// function passed in (IsoLocalTime in the program), so that tests need no
// time zone.
//
// The JSON is one object per line (JSON Lines), one line per row, so that a
// script reads it a line at a time (`jq`, a shell loop) and an empty list is
// no output at all:
//
//   {"number":1,"name":"docs_3","completed":"2024-05-01T02:00:13+02:00",
//    "completed_unix":1714521613,"files":1234,"bytes":5678901234,
//    "own_bytes":40960,"state":"complete"}
//
// (on one line). "number" is what -RESTORE takes (null for a working
// directory), "completed" and "completed_unix" are null where the time is
// unknown, "bytes" the files' sizes, "own_bytes" what the generation alone
// takes on the disk, "state" is "complete", "incomplete" or "interrupted" (a
// working directory an interrupted run left). Names are bytes: one that is
// not valid UTF-8 is written with U+FFFD for each stray byte in "name", and
// exactly, as hexadecimal bytes, in an added "name_hex".
//
// With -ONLY<path>, -LIST lists the versions of one file or folder instead
// (ListEntryVersions): one row per generation that holds it, newest first,
// and whether it is the same as in the next newer generation.

#include <cstdint>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "engine/settings_store.h"
#include "platform/os.h"
#include "res/language.h"

namespace veldar {

struct GenerationListRow {
  enum class State {
    kComplete,    // a generation a run finished
    kIncomplete,  // a generation whose tree could not be read whole: its
                  // files and bytes are what was counted, fewer than it holds
    kWorking,     // the working directory of a run that was interrupted
  };
  int number = 0;                         // the number -RESTORE and the restore dialog give it (1 = newest); 0: none
  std::string name;                       // as in the backup directory
  std::optional<std::int64_t> completed;  // seconds since 1970 (UTC); none when unknown
  std::uint64_t files = 0;
  std::uint64_t bytes = 0;
  State state = State::kComplete;
  // What the generation alone takes on the disk: the blocks allocated to its
  // files, links and directories, a file that other names share (a hard link
  // into another generation) counted once, with the oldest generation
  // holding it.
  std::uint64_t ownBytes = 0;
};

// The rows of the source `sourcePath` in the backup directory `backupDir`:
// its generations as the backup run and the restore dialog find them
// (generations.h), newest first and numbered from 1 as -RESTORE and the
// restore dialog number them (by creation time). Each is completed when the
// run that made it named it, as near as the disk tells: a file generation at
// its last-write time (the run stamps it when it names it), a directory
// generation at the newest last-write time of its directories (the copy's
// last entry made, which the naming follows in the same run; directory times
// are never copied from the source, and no later run touches a generation
// it did not make). A directory generation's files and bytes are counted
// through its tree: regular files and links are files, the bytes are the
// regular files' sizes, and a directory on another mount is not entered.
// A file generation is 1 file of its size. For a directory source, the
// working directory an interrupted run left comes first (kWorking, number 0,
// completed when it was last written), counted the same way.
//
// Which generations are the source's: directory generations for a directory,
// file generations for anything else. A source that cannot be examined (gone:
// the user lists to restore it) is a directory when the backup directory
// holds directory generations of its name or no file generations of it.
//
// Read only: the backup directory is opened once, following a link only at
// `backupDir` itself; its run lock is not taken; everything below it is
// reached through open directories, never through a link; nothing is
// created, renamed or deleted.
//
// 1: `*rows` holds the rows; none when the backup directory holds nothing of
// the source. 0: the backup directory could not be opened or read; `*rows` is
// empty and `*error` says so, in the program's own language (TranslateMessage
// gives it in another), with the path and the system's reason.
[[nodiscard]] int FindGenerationRows(Os& os, const std::string& sourcePath, const std::string& backupDir,
                                     std::vector<GenerationListRow>* rows, std::string* error);

// -LIST: writes the rows of FindGenerationRows to `out`, as the table in
// `language` with local ISO 8601 times or (`json`) as JSON Lines. Returns
// kExitSuccess when they were written, none or some. kExitFailure, with
// "veldar2: " and why on `err` in `language`, when a path is empty or the
// backup directory could not be read; nothing is written to `out` then.
[[nodiscard]] int ListGenerations(Os& os, const std::string& sourcePath, const std::string& backupDir, bool json,
                                  Language language, std::ostream& out, std::ostream& err);

// -VERIFY[<n>]: checks generation `number` (1 = newest; 0: every one, newest
// first) of `sourcePath` in `backupDir` against its manifest (verify.h),
// read only and without the run lock. Writes per generation a line with
// its number, name and result, and a line per file found wrong ("damaged",
// "missing", "changed", "unknown", "unreadable" and the path below the
// generation), in `language`; with `json`, one JSON object per generation:
//
//   {"number":1,"name":"docs_3","result":"damaged","files":12,"bytes":3456,
//    "findings":[{"kind":"damaged","path":"a/b.txt"}]}
//
// "result" is "holds", "damaged" (something found), "no_manifest" (made by
// an earlier version), "manifest_damaged" or "stopped" (a folder that could
// not be read, or a stop asked for). A file generation is checked against
// the manifest beside it. `progress` (may be null) hears the bytes read. With
// `marks` (the user's settings; may be null), each generation checked is
// marked there when it does not hold and unmarked when it does, for the
// restore list (verify_marks.h); a stop asked for changes no mark.
// kExitSuccess: every generation checked holds; kExitPartialFailure: one
// does not, or has no manifest; kExitFailure: nothing could be checked (no
// paths, the backup directory unreadable, no such generation), said on `err`.
[[nodiscard]] int VerifyGenerations(Os& os, const std::string& sourcePath, const std::string& backupDir, int number,
                                    bool json, Language language, CopyProgress* progress, std::ostream& out,
                                    std::ostream& err, SettingsStore* marks = nullptr);

// One version of a file or folder: a generation that holds it, and what it
// is there.
struct EntryVersionRow {
  // How the entry compares with the same path in the next newer generation.
  enum class Sameness {
    kNewest,     // there is no newer generation
    kShared,     // the very same file (one file under both names: -LINK)
    kEqual,      // of equal size and last-write time (a folder: its files'
                 // count, sizes in all and newest last-write time)
    kDifferent,  // anything else (another kind, size or time)
    kAbsent,     // the newer generation does not hold it
  };
  int number = 0;          // the generation's, as -RESTORE takes it (1 = newest)
  std::string generation;  // the generation's name
  EntryKind kind = EntryKind::File;
  std::uint64_t bytes = 0;    // a file's size, a folder's files' sizes in all
  std::int64_t modified = 0;  // a file's last-write time, the newest of a folder's files
  Sameness sameness = Sameness::kNewest;
};

// The versions of the entry `path` (relative to the source, names separated
// by '/': generation_path.h) in the directory generations of `sourcePath`,
// newest first: a row for each generation that holds it. Read only, as
// FindGenerationRows: every name on the way is opened through its parent
// without following a link, and a folder's tree is walked as there.
// 1: `*rows` holds the rows (none where no generation holds it). 0, `*error`
// saying why with the path named: the path is malformed, the source's
// generations are file generations (which hold no paths), or the backup
// directory could not be read.
[[nodiscard]] int FindEntryVersions(Os& os, const std::string& sourcePath, const std::string& backupDir,
                                    const std::string& path, std::vector<EntryVersionRow>* rows, std::string* error);

// -LIST -ONLY<path>: the rows of FindEntryVersions written as
// ListGenerations writes the list, in a table of number, last-write time,
// size, sameness and the generation's name, or (`json`) as JSON Lines:
//
//   {"number":2,"name":"docs_4","kind":"file","modified":"2026-05-01T02:00:13+02:00",
//    "modified_unix":1777593613,"bytes":1234,"same_as_newer":"shared"}
//
// "kind" is "file", "link" or "directory"; "same_as_newer" is "shared",
// "equal", "different", "absent" or null (the newest generation).
[[nodiscard]] int ListEntryVersions(Os& os, const std::string& sourcePath, const std::string& backupDir,
                                    const std::string& path, bool json, Language language, std::ostream& out,
                                    std::ostream& err);

// Writes seconds since 1970 as a time for people.
using TimeText = std::function<std::string(std::int64_t seconds)>;

// The table, a heading line then one line per row in the order given, in
// `language`: number, completion time, files, size, own size, state, and the name last
// (so that no name, however wide, pushes the columns apart). Bytes that are
// no UTF-8 and control characters in a name are written \xNN. No rows: one
// line saying there are no generations.
std::string GenerationListText(const std::vector<GenerationListRow>& rows, const TimeText& time, Language language);

// The JSON Lines above, one line (with its "\n") per row in the order given.
std::string GenerationListJson(const std::vector<GenerationListRow>& rows, const TimeText& time);

// The table and the JSON Lines of ListEntryVersions, in the order given.
std::string EntryVersionText(const std::vector<EntryVersionRow>& rows, const TimeText& time, Language language);
std::string EntryVersionJson(const std::vector<EntryVersionRow>& rows, const TimeText& time);

// ISO 8601 in local time with the offset from UTC: "2024-05-01T02:00:13+02:00".
// A time the system cannot convert is written as its number of seconds.
std::string IsoLocalTime(std::int64_t seconds);

}  // namespace veldar
