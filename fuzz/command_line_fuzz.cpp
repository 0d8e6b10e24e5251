// Fuzzes the batch start's command line.
//
// The input as a raw parameter text (with "-" and with "/" as the option
// character): the parser returns 0 and changes nothing for the empty text, 1
// otherwise, and leaves every flag at 0 or 1.
//
// The input split at NUL bytes as the argument vector the shell hands over.
// RefuseArguments refuses exactly the vectors a reference reading refuses: an
// argument before the first "--" that begins with "-" and is no known option,
// or a path holding a '"'. Every other vector, rebuilt by BuildParameterText,
// reads back as its words said: paths arrive byte for byte (the first
// non-empty one is the source, the last one after it the backup directory;
// with -RESTORE and three paths the second is the backup directory and the
// third the restore directory; -LIST without paths keeps the stored source),
// options set their flags, the last "-M" its count, read from the next
// argument when "-M" stands alone, the last -RESTORE its number, and every -X
// its pattern, blanks included.

#include <cstdint>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "engine/exclude.h"
#include "fuzz/fuzz_support.h"

namespace {

using namespace veldar;
using veldar::fuzz::FreshEngine;
using veldar::fuzz::IsFlag;
using veldar::fuzz::ReferenceLeadingInt;

const char* const kStoredSource = "stored source";
const char* const kStoredDir = "stored backup dir";
constexpr int kStoredCount = 12345;

bool StartsWithNoCase(const std::string& text, const std::string& prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    char a = text[i], b = prefix[i];
    if (a >= 'a' && a <= 'z') a = static_cast<char>(a - 'a' + 'A');
    if (a != b) return false;
  }
  return true;
}

void CheckRawText(const std::string& text, char optionChar) {
  FreshEngine fresh;
  CVELDAR2Engine& engine = fresh.engine;
  engine.sourcePath = "stored source";
  engine.backupDir = kStoredDir;
  engine.generationCount = kStoredCount;
  engine.noDelete = engine.noForce = engine.noTime = 1;

  BatchRequest request;
  const int result = ParseParameterText(text, optionChar, engine, nullptr, &request);
  if (text.empty()) {
    FUZZ_CHECK(result == 0);
    FUZZ_CHECK(engine.sourcePath == "stored source");
    FUZZ_CHECK(engine.noDelete == 1 && engine.noForce == 1 && engine.noTime == 1);
    return;
  }
  FUZZ_CHECK(result == 1);
  FUZZ_CHECK(IsFlag(engine.noDelete) && IsFlag(engine.noForce) && IsFlag(engine.noTime) && IsFlag(engine.noMessage));
  FUZZ_CHECK(request.restoreNumber >= 0);
  FUZZ_CHECK(request.restoreDir.empty() || request.restoreNumber > 0);
  for (const std::string& pattern : request.excludes) FUZZ_CHECK(!pattern.empty());
}

struct Expected {
  std::string source;
  std::string backupDir = kStoredDir;
  int count = kStoredCount;
  int noForce = 0, noDelete = 0, noMessage = 0, noTime = 0, link = 0;
  BatchRequest request;
};

bool HoldsWhite(const std::string& text) {
  for (char c : text) {
    if (c == ' ' || (c >= '\t' && c <= '\r')) return true;
  }
  return false;
}

bool StartsWithNumber(const std::string& text) {
  const std::size_t digit = !text.empty() && (text[0] == '+' || text[0] == '-') ? 1 : 0;
  return digit < text.size() && text[digit] >= '0' && text[digit] <= '9';
}

bool EqualsNoCase(const std::string& text, const std::string& name) {
  return text.size() == name.size() && StartsWithNoCase(text, name);
}

// -RESTORE's number: digits only, 1 to 999999999 (leading zeros aside); else 0.
int ReferenceRestoreNumber(const std::string& argument) {
  const std::string digits = argument.substr(8);
  if (digits.empty()) return 0;
  long long value = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return 0;
    value = value * 10 + (c - '0');
    if (value > 999999999) return 0;
  }
  return static_cast<int>(value);
}

// -X's pattern without the quotes that wholly enclose it; empty where a
// double quote stands anywhere else.
std::string ReferencePattern(const std::string& argument) {
  std::string pattern = argument.substr(2);
  if (pattern.size() >= 2 && pattern.front() == '"' && pattern.back() == '"')
    pattern = pattern.substr(1, pattern.size() - 2);
  return pattern.find('"') == std::string::npos ? pattern : std::string();
}

bool IsKnown(const std::string& argument, const std::string* next) {
  for (const char* name : {"-DRYRUN", "-LIST", "-JSON", "-VERBOSE"}) {
    if (EqualsNoCase(argument, name)) return true;
  }
  if (StartsWithNoCase(argument, "-RESTORE")) return ReferenceRestoreNumber(argument) > 0;
  if (StartsWithNoCase(argument, "-X")) {
    const std::string pattern = ReferencePattern(argument);
    return !pattern.empty() && ExcludeSet::Parse({pattern}, false).has_value();
  }
  if (argument.find(' ') != std::string::npos) return false;
  for (const char* name : {"-NOFORCE", "-NODEL", "-NOMSG", "-NOTIME", "-LINK"}) {
    if (StartsWithNoCase(argument, name)) return true;
  }
  if (!StartsWithNoCase(argument, "-M")) return false;
  if (argument.size() > 2) return StartsWithNumber(argument.substr(2));
  return next && StartsWithNumber(*next) && !HoldsWhite(*next);
}

void CheckArguments(const std::vector<std::string>& arguments) {
  bool refused = false;
  bool options = true;
  for (std::size_t i = 0; i < arguments.size() && !refused; ++i) {
    const std::string& argument = arguments[i];
    if (options && argument == "--") {
      options = false;
    } else if (options && !argument.empty() && argument[0] == '-') {
      refused = !IsKnown(argument, i + 1 < arguments.size() ? &arguments[i + 1] : nullptr);
    } else {
      refused = argument.find('"') != std::string::npos;
    }
  }
  FUZZ_CHECK(RefuseArguments(arguments, '-').empty() == !refused);
  if (refused) return;

  Expected expected;
  std::vector<std::string> paths;
  options = true;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (options && argument == "--") {
      options = false;
    } else if (!options || argument.empty() || argument[0] != '-') {
      (expected.source.empty() ? expected.source : expected.backupDir) = argument;
      if (!expected.source.empty()) paths.push_back(argument);
    } else if (EqualsNoCase(argument, "-DRYRUN")) {
      expected.request.dryRun = true;
    } else if (EqualsNoCase(argument, "-LIST")) {
      expected.request.list = true;
    } else if (EqualsNoCase(argument, "-JSON")) {
      expected.request.json = true;
    } else if (EqualsNoCase(argument, "-VERBOSE")) {
      expected.request.verbose = true;
    } else if (StartsWithNoCase(argument, "-RESTORE")) {
      expected.request.restoreNumber = ReferenceRestoreNumber(argument);
    } else if (StartsWithNoCase(argument, "-X")) {
      expected.request.excludes.push_back(ReferencePattern(argument));
    } else if (StartsWithNoCase(argument, "-M")) {
      // Alone, it is known only with a number in the next argument.
      expected.count = ReferenceLeadingInt(argument.size() > 2 ? argument.substr(2) : arguments[i + 1]);
    } else if (StartsWithNoCase(argument, "-NOFORCE")) {
      expected.noForce = 1;
    } else if (StartsWithNoCase(argument, "-NODEL")) {
      expected.noDelete = 1;
    } else if (StartsWithNoCase(argument, "-NOMSG")) {
      expected.noMessage = 1;
    } else if (StartsWithNoCase(argument, "-NOTIME")) {
      expected.noTime = 1;
    } else if (StartsWithNoCase(argument, "-LINK")) {
      expected.link = 1;
    }
  }
  if (expected.request.restoreNumber > 0 && paths.size() == 3) {
    expected.backupDir = paths[1];
    expected.request.restoreDir = paths[2];
  }
  if (expected.request.list && paths.empty()) expected.source = kStoredSource;

  FreshEngine fresh;
  CVELDAR2Engine& engine = fresh.engine;
  engine.sourcePath = kStoredSource;
  engine.backupDir = kStoredDir;
  engine.generationCount = kStoredCount;
  engine.noDelete = engine.noForce = engine.noTime = 1;  // as stored: the parser clears them

  const std::string text = BuildParameterText(arguments, '-');
  // Only "--" alone makes no text, and start-up then shows the dialog.
  if (text.empty()) {
    FUZZ_CHECK(arguments.size() == 1 && arguments[0] == "--");
    return;
  }
  BatchRequest request;
  FUZZ_CHECK(ParseParameterText(text, '-', engine, nullptr, &request) == 1);
  FUZZ_CHECK(engine.sourcePath == expected.source);
  FUZZ_CHECK(engine.linkUnchanged == expected.link);
  FUZZ_CHECK(request.dryRun == expected.request.dryRun && request.list == expected.request.list &&
             request.json == expected.request.json && request.verbose == expected.request.verbose);
  FUZZ_CHECK(request.restoreNumber == expected.request.restoreNumber);
  FUZZ_CHECK(request.restoreDir == expected.request.restoreDir);
  FUZZ_CHECK(request.excludes == expected.request.excludes);
  FUZZ_CHECK(engine.backupDir == expected.backupDir);
  FUZZ_CHECK(engine.generationCount == expected.count);
  FUZZ_CHECK(engine.noForce == expected.noForce);
  FUZZ_CHECK(engine.noDelete == expected.noDelete);
  FUZZ_CHECK(engine.noMessage == expected.noMessage);
  FUZZ_CHECK(engine.noTime == expected.noTime);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text = veldar::fuzz::AsText(data, size);
  CheckRawText(text, '-');
  CheckRawText(text, '/');
  CheckArguments(veldar::fuzz::SplitAt(text, '\0'));
  return 0;
}
