#pragma once
// What -LIST prints: the generations of a source in its backup directory,
// newest first, as a table for people or (-JSON) as JSON for scripts. Pure
// functions of the rows the caller found; the time is written by a function
// passed in (IsoLocalTime in the program), so that tests need no time zone.
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
#include <string>
#include <vector>

#include "res/language.h"

namespace veldar {

struct GenerationListRow {
  enum class State {
    kComplete,    // a generation a run finished
    kIncomplete,  // a generation that does not hold the whole source
    kWorking,     // the working directory of a run that was interrupted
  };
  int number = 0;        // the number -RESTORE and the restore dialog give it (1 = newest); 0: none
  std::string name;      // as in the backup directory
  std::optional<std::int64_t> completed;  // seconds since 1970 (UTC); none when unknown
  std::uint64_t files = 0;
  std::uint64_t bytes = 0;
  State state = State::kComplete;
};

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
