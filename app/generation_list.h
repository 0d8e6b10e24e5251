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
//    "completed_unix":1714521613,"files":1234,"bytes":5678901234,"state":"complete"}
//
// (on one line). "number" is what -RESTORE takes (null for a working
// directory), "completed" and "completed_unix" are null where the time is
// unknown, "state" is "complete", "incomplete" or "interrupted" (a working
// directory an interrupted run left). Names are bytes: one that is not valid
// UTF-8 is written with U+FFFD for each stray byte in "name", and exactly,
// as hexadecimal bytes, in an added "name_hex".

#include <cstdint>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

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
  int number = 0;        // the number -RESTORE and the restore dialog give it (1 = newest); 0: none
  std::string name;      // as in the backup directory
  std::optional<std::int64_t> completed;  // seconds since 1970 (UTC); none when unknown
  std::uint64_t files = 0;
  std::uint64_t bytes = 0;
  State state = State::kComplete;
};

// The rows of the source `sourcePath` in the backup directory `backupDir`:
// its generations as the backup run and the restore dialog find them
// (generations.h), newest first and numbered from 1 as -RESTORE and the
// restore dialog number them, each completed at its creation time (the time
// the restore dialog shows). A directory generation's files and bytes are
// counted through its tree: regular files and links are files, the bytes are
// the regular files' sizes, and a directory on another mount is not entered.
// A file generation is 1 file of its size. For a directory source, the
// working directory an interrupted run left comes first (kWorking, number 0,
// completed at its last-write time), counted the same way.
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
int FindGenerationRows(Os& os, const std::string& sourcePath, const std::string& backupDir,
                       std::vector<GenerationListRow>* rows, std::string* error);

// -LIST: writes the rows of FindGenerationRows to `out`, as the table in
// `language` with local ISO 8601 times or (`json`) as JSON Lines. Returns
// kExitSuccess when they were written, none or some. kExitFailure, with
// "veldar2: " and why on `err` in `language`, when a path is empty or the
// backup directory could not be read; nothing is written to `out` then.
int ListGenerations(Os& os, const std::string& sourcePath, const std::string& backupDir, bool json,
                    Language language, std::ostream& out, std::ostream& err);

// Writes seconds since 1970 as a time for people.
using TimeText = std::function<std::string(std::int64_t seconds)>;

// The table, a heading line then one line per row in the order given, in
// `language`: number, completion time, files, size, state, and the name last
// (so that no name, however wide, pushes the columns apart). Bytes that are
// no UTF-8 and control characters in a name are written \xNN. No rows: one
// line saying there are no generations.
std::string GenerationListText(const std::vector<GenerationListRow>& rows, const TimeText& time,
                               Language language);

// The JSON Lines above, one line (with its "\n") per row in the order given.
std::string GenerationListJson(const std::vector<GenerationListRow>& rows, const TimeText& time);

// ISO 8601 in local time with the offset from UTC: "2024-05-01T02:00:13+02:00".
// A time the system cannot convert is written as its number of seconds.
std::string IsoLocalTime(std::int64_t seconds);

}  // namespace veldar
