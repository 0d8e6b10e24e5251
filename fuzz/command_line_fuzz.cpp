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
// non-empty one is the source, the last one after it the backup directory),
// options set their flags, and the last "-M" its count, read from the next
// argument when "-M" stands alone.

#include <cstdint>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "fuzz/fuzz_support.h"

namespace {

using namespace veldar;
using veldar::fuzz::FreshEngine;
using veldar::fuzz::IsFlag;
using veldar::fuzz::ReferenceLeadingInt;

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

  const int result = ParseParameterText(text, optionChar, engine);
  if (text.empty()) {
    FUZZ_CHECK(result == 0);
    FUZZ_CHECK(engine.sourcePath == "stored source");
    FUZZ_CHECK(engine.noDelete == 1 && engine.noForce == 1 && engine.noTime == 1);
    return;
  }
  FUZZ_CHECK(result == 1);
  FUZZ_CHECK(IsFlag(engine.noDelete) && IsFlag(engine.noForce) && IsFlag(engine.noTime) &&
             IsFlag(engine.noMessage));
}

struct Expected {
  std::string source;
  std::string backupDir = kStoredDir;
  int count = kStoredCount;
  int noForce = 0, noDelete = 0, noMessage = 0, noTime = 0;
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

bool IsKnown(const std::string& argument, const std::string* next) {
  if (argument.find(' ') != std::string::npos) return false;
  for (const char* name : {"-NOFORCE", "-NODEL", "-NOMSG", "-NOTIME"}) {
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
  options = true;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (options && argument == "--") {
      options = false;
    } else if (!options || argument.empty() || argument[0] != '-') {
      (expected.source.empty() ? expected.source : expected.backupDir) = argument;
    } else if (StartsWithNoCase(argument, "-M")) {
      // Alone, it is known only with a number in the next argument.
      expected.count =
          ReferenceLeadingInt(argument.size() > 2 ? argument.substr(2) : arguments[i + 1]);
    } else if (StartsWithNoCase(argument, "-NOFORCE")) {
      expected.noForce = 1;
    } else if (StartsWithNoCase(argument, "-NODEL")) {
      expected.noDelete = 1;
    } else if (StartsWithNoCase(argument, "-NOMSG")) {
      expected.noMessage = 1;
    } else if (StartsWithNoCase(argument, "-NOTIME")) {
      expected.noTime = 1;
    }
  }

  FreshEngine fresh;
  CVELDAR2Engine& engine = fresh.engine;
  engine.backupDir = kStoredDir;
  engine.generationCount = kStoredCount;
  engine.noDelete = engine.noForce = engine.noTime = 1;  // as stored: the parser clears them

  const std::string text = BuildParameterText(arguments, '-');
  // Only "--" alone makes no text, and start-up then shows the dialog.
  if (text.empty()) {
    FUZZ_CHECK(arguments.size() == 1 && arguments[0] == "--");
    return;
  }
  FUZZ_CHECK(ParseParameterText(text, '-', engine) == 1);
  FUZZ_CHECK(engine.sourcePath == expected.source);
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
