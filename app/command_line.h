#pragma once
// The command line of a batch start: parameter text in, job fields out.
//
// On Windows the parser reads the raw parameter text. On POSIX the shell has
// already split and unquoted the arguments, so `BuildParameterText` rebuilds a
// text the parser reads the same way: the arguments joined with single blanks,
// each one that does not begin with the option character wrapped in double
// quotes.

#include <string>
#include <vector>

#include "engine/engine.h"

namespace veldar {

// Reads `text` into the engine: source path, backup directory, generation
// count and the four switches (options begin with `optionChar`). Returns 0 and
// changes nothing for an empty text; otherwise 1, whatever the text held.
int ParseParameterText(const std::string& text, char optionChar, CVELDAR2Engine& engine);

std::string BuildParameterText(const std::vector<std::string>& arguments, char optionChar);

// True when `argument` begins with one of the options the parser knows
// (letter case ignored; what follows the name up to the blank is ignored).
bool IsKnownOption(const std::string& argument, char optionChar);

// The leading decimal integer of `text` as the runtime's atoi reads it: leading
// white space skipped, an optional sign, digits up to the first non-digit; 0
// without digits. Clamped to the 32-bit range.
int LeadingInt(const std::string& text);

}  // namespace veldar
