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
#include <string_view>
#include <vector>

#include "engine/engine.h"
#include "res/language.h"

namespace veldar {

// What a batch start asks for beyond the job the engine holds: which kind of
// run, and how it reports. The options are words after the option character,
// in any letter case, each written whole (no letters after it).
struct BatchRequest {
  enum class Mode { kBackup, kList, kRestore, kVerify };

  bool dryRun = false;    // -DRYRUN: read what a real run reads, change nothing, print what it would do
  bool list = false;      // -LIST: print the generations of the source, newest first
  int restoreNumber = 0;  // -RESTORE<n>: restore generation n (1 = the newest); 0: no restore
  // -VERIFY[<n>]: check generation n (1 = the newest; 0: every one) against
  // its manifest; -1: no check.
  int verifyNumber = -1;
  bool json = false;     // -JSON: the list as JSON, one object per line
  bool verbose = false;  // -VERBOSE: the run's summary on standard output even off a terminal
  // -X<pattern>, repeatable: exclude patterns as written (the quotes of
  // -X"a b" removed), in order. Not checked here: the run compiles them with
  // ExcludeSet::Parse, which names a malformed one.
  std::vector<std::string> excludes;
  // -ONLY<path>, repeatable: with -RESTORE, the files and folders of the
  // generation to restore; with -LIST, the one whose versions to list. As
  // written (the quotes of -ONLY"a b" removed), relative to the source.
  std::vector<std::string> only;
  // With -RESTORE and exactly three paths: the third, the directory restored into.
  std::string restoreDir;

  // -RESTORE wins over -VERIFY, which wins over -LIST; CheckBatchRequest
  // refuses any two together.
  Mode mode() const {
    return restoreNumber > 0 ? Mode::kRestore : verifyNumber >= 0 ? Mode::kVerify : list ? Mode::kList : Mode::kBackup;
  }
  // A dry run, a list or a check: nothing is written, so no open dialog stops it.
  bool ChangesNothing() const { return dryRun || mode() == Mode::kList || mode() == Mode::kVerify; }
};

// Reads `text` into the engine and `request`: source path, backup directory,
// generation count and the four switches into the engine, the options of
// BatchRequest into `request` (options begin with `optionChar`). Returns 0
// and changes nothing for an empty text; otherwise 1, whatever the text held.
// `paths`, when given, receives the path arguments in the order the parser
// took them: the source first, then every one it took as the backup
// directory (the last one stands; the ones between are not used).
//
// The paths are read as for a backup (the first is the source, the last the
// backup directory, a missing one is the stored one), except:
// - with -RESTORE and exactly three paths: source, backup directory, and the
//   directory restored into (`request->restoreDir`); with any other number
//   `restoreDir` stays empty and CheckBatchRequest refuses the request;
// - with -LIST or -VERIFY and no path: the stored source stays, as the
//   stored backup directory does (the engine holds what the settings loaded).
// An option of BatchRequest written wrongly ("-RESTORE0", "-X") is unknown:
// it sets nothing and is dropped up to its blank. -X reads its pattern up to
// the next blank, or when a double quote follows the X, up to the next double
// quote (-X"System Volume Information/"); -ONLY reads its path the same way.
// REQUIRES: `request` is not null.
[[nodiscard]] int ParseParameterText(const std::string& text, char optionChar, CVELDAR2Engine& engine,
                                     std::vector<std::string>* paths, BatchRequest* request);

// The same for a caller that knows nothing of BatchRequest: a text that asks
// for a dry run, a list or a restore leaves the source path empty, so that
// the run's pre-check refuses it instead of making a backup.
[[nodiscard]] int ParseParameterText(const std::string& text, char optionChar, CVELDAR2Engine& engine,
                                     std::vector<std::string>* paths = nullptr);

// Why `request` cannot be carried out as asked, `pathCount` paths having
// been given (as ParseParameterText counts them); empty when it can.
// Refused: two of -LIST, -RESTORE and -VERIFY; -JSON without -LIST or
// -VERIFY; -ONLY or -X with -VERIFY; -X with -LIST or
// -RESTORE (a list and a restore leave nothing out); -ONLY without -LIST or
// -RESTORE, or more than one with -LIST; -RESTORE without exactly three
// paths. The message names the options with `optionChar`, in
// `language`.
std::string CheckBatchRequest(const BatchRequest& request, std::size_t pathCount, char optionChar,
                              Language language = Language::kJapanese);

// Why the program's arguments, as the shell split them, cannot be handed to
// the parser; empty when they can. "--" ends the options: every argument
// after it is a path. Refused, first one first:
// - an argument before "--" that begins with `optionChar` and is no option
//   the parser knows. Known (letter case ignored, never holding a blank but
//   in -X's pattern): a switch name followed by anything; the count option
//   followed by an optional sign and a digit; the count option alone when
//   the next argument is a number the parser reads past the blank ("-M 3");
//   -DRYRUN, -LIST, -JSON and -VERBOSE exactly; -RESTORE followed by a number
//   of 1 or more and nothing else; -VERIFY alone or followed by such a number; -X followed by a pattern that
//   ExcludeSet::Parse accepts, and -ONLY by a path that SplitGenerationPath
//   accepts, either holding no double quote unless it is wholly quoted
//   (-X"a b"). A path meant by an unknown one would otherwise be dropped, or
//   read as a count of 0. -RESTORE, -X and -ONLY written wrongly are told as
//   such (with the pattern's or the path's fault);
// - a path holding a double quote: the text has no way to carry one.
// The message names the argument (for an unknown option, with the ways to
// write such a path), in `language`.
std::string RefuseArguments(const std::vector<std::string>& arguments, char optionChar,
                            Language language = Language::kJapanese);

// Why `argument`, which names -RESTORE, -X or -ONLY, does not say what they
// need (no number of 1 or more; no pattern or path, a stray double quote, or
// the pattern's or the path's fault), in `language`; empty when it does, or
// names none of them.
std::string RequestOptionRefusal(const std::string& argument, char optionChar, Language language = Language::kJapanese);

// The parameter text for `arguments` (see above); the first "--" is left out.
// A path is quoted when it is empty, holds white space, or (after "--")
// begins with `optionChar`; options are passed as they are, but for -X and
// -ONLY with a blank in their value, which is quoted after the option's name.
std::string BuildParameterText(const std::vector<std::string>& arguments, char optionChar);

// The length of the option's name when `word` begins with one that a value
// follows directly (-X<pattern>, -ONLY<path>), in any letter case; else 0.
std::size_t ValueOptionLength(std::string_view word, char optionChar);

// The leading decimal integer of `text` as the runtime's atoi reads it: leading
// white space skipped, an optional sign, digits up to the first non-digit; 0
// without digits. Clamped to the 32-bit range.
[[nodiscard]] int LeadingInt(const std::string& text);

}  // namespace veldar
