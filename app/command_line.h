#pragma once
// The command line of a batch start: parameter text in, job fields out.
//
// On Windows the parser reads the raw parameter text. On POSIX the shell has
// already split and unquoted the arguments, so `BuildParameterText` rebuilds a
// text the parser reads as the same words: the arguments joined with single
// blanks, a path wrapped in double quotes only where the parser would
// otherwise split or trim it, or take it for an option. Before that,
// `RefuseArguments` turns away what the text cannot carry faithfully.

#include <string>
#include <vector>

#include "engine/engine.h"
#include "res/language.h"

namespace veldar {

// Reads `text` into the engine: source path, backup directory, generation
// count and the four switches (options begin with `optionChar`). Returns 0 and
// changes nothing for an empty text; otherwise 1, whatever the text held.
// `paths`, when given, receives the path arguments in the order the parser
// took them: the source first, then every one it took as the backup
// directory (the last one stands; the ones between are not used).
int ParseParameterText(const std::string& text, char optionChar, CVELDAR2Engine& engine,
                       std::vector<std::string>* paths = nullptr);

// Why the program's arguments, as the shell split them, cannot be handed to
// the parser; empty when they can. "--" ends the options: every argument
// after it is a path. Refused, first one first:
// - an argument before "--" that begins with `optionChar` and is no option
//   the parser knows. Known (letter case ignored, never holding a blank): a
//   switch name followed by anything; the count option followed by an
//   optional sign and a digit; the count option alone when the next argument
//   is a number the parser reads past the blank ("-M 3"). A path meant by an
//   unknown one would otherwise be dropped, or read as a count of 0;
// - a path holding a double quote: the text has no way to carry one.
// The message names the argument (for an unknown option, with the ways to
// write such a path), in `language`.
std::string RefuseArguments(const std::vector<std::string>& arguments, char optionChar,
                            Language language = Language::kJapanese);

// The parameter text for `arguments` (see above); the first "--" is left out.
// A path is quoted when it is empty, holds white space, or (after "--")
// begins with `optionChar`; options are passed as they are.
std::string BuildParameterText(const std::vector<std::string>& arguments, char optionChar);

// The leading decimal integer of `text` as the runtime's atoi reads it: leading
// white space skipped, an optional sign, digits up to the first non-digit; 0
// without digits. Clamped to the 32-bit range.
int LeadingInt(const std::string& text);

}  // namespace veldar
