#include "app/command_line.h"

#include <cctype>
#include <cstdint>

#include "res/string_table.h"
#include "res/translation.h"

namespace veldar {
namespace {

bool IsWhite(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

std::string TrimLeft(const std::string& text) {
  std::size_t start = 0;
  while (start < text.size() && IsWhite(text[start])) ++start;
  return text.substr(start);
}

// From `text`: the part from its first blank on, trimmed; empty without a blank.
std::string SkipToNextBlank(const std::string& text) {
  auto blank = text.find(' ');
  return blank == std::string::npos ? std::string() : TrimLeft(text.substr(blank));
}

bool StartsWithNoCase(const std::string& text, const std::string& prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (std::toupper(static_cast<unsigned char>(text[i])) !=
        std::toupper(static_cast<unsigned char>(prefix[i])))
      return false;
  }
  return true;
}

// An option name from the string table with the platform's option character.
std::string OptionName(int id, char optionChar) {
  std::string name = LoadString(id);
  if (!name.empty()) name[0] = optionChar;
  return name;
}

void AssignPath(CVELDAR2Engine& engine, const std::string& argument, std::vector<std::string>* paths) {
  const bool source = engine.sourcePath.empty();
  if (source)
    engine.sourcePath = argument;
  else
    engine.backupDir = argument;
  // An empty source is no path: the next one is still taken as the source.
  if (paths && !(source && argument.empty())) paths->push_back(argument);
}

constexpr const char kEndOfOptions[] = "--";

bool HoldsWhite(const std::string& text) {
  for (char c : text) {
    if (IsWhite(c)) return true;
  }
  return false;
}

// An optional sign, then a digit: what the count option's number begins with.
bool StartsWithNumber(const std::string& text) {
  std::size_t i = 0;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
  return i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]));
}

// `next` is the argument after this one, or null. A blank inside an option
// would end it in the rebuilt text and make the rest another argument.
bool IsKnownOption(const std::string& argument, const std::string* next, char optionChar) {
  if (argument.find(' ') != std::string::npos) return false;
  for (int id : {IDS_OPT_NOFORCE, IDS_OPT_NODEL, IDS_OPT_NOMSG, IDS_OPT_NOTIME, IDS_OPT_LINK}) {
    if (StartsWithNoCase(argument, OptionName(id, optionChar))) return true;
  }
  const std::string count = OptionName(IDS_OPT_M, optionChar);
  if (!StartsWithNoCase(argument, count)) return false;
  if (argument.size() > count.size()) return StartsWithNumber(argument.substr(count.size()));
  // The parser reads the number past the blank only when it is not quoted.
  return next && StartsWithNumber(*next) && !HoldsWhite(*next);
}

}  // namespace

int LeadingInt(const std::string& text) {
  std::size_t i = 0;
  while (i < text.size() && IsWhite(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  std::int64_t value = 0;
  for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
    if (value <= INT32_MAX) value = value * 10 + (text[i] - '0');
  }
  if (negative) value = -value;
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<int>(value);
}

int ParseParameterText(const std::string& text, char optionChar, CVELDAR2Engine& engine,
                       std::vector<std::string>* paths) {
  if (text.empty()) return 0;
  std::string rest = text;
  engine.sourcePath.clear();
  engine.noForce = 0;
  engine.noDelete = 0;
  engine.noTime = 0;

  const std::string countOption = OptionName(IDS_OPT_M, optionChar);
  struct Switch {
    std::string name;
    int* flag;
  };
  // Tested in this order, so several switches written in it go in one pass.
  const Switch switches[] = {
      {OptionName(IDS_OPT_NOFORCE, optionChar), &engine.noForce},
      {OptionName(IDS_OPT_NODEL, optionChar), &engine.noDelete},
      {OptionName(IDS_OPT_NOMSG, optionChar), &engine.noMessage},
      {OptionName(IDS_OPT_NOTIME, optionChar), &engine.noTime},
      // Not cleared above: the settings may have turned it on.
      {OptionName(IDS_OPT_LINK, optionChar), &engine.linkUnchanged},
  };

  while (!rest.empty()) {
    if (rest[0] == '"') {
      const std::string quoted = rest.substr(1);
      const auto close = quoted.find('"');
      AssignPath(engine, quoted.substr(0, close), paths);
      rest = close == std::string::npos ? std::string() : TrimLeft(quoted.substr(close + 1));
    } else if (rest[0] == optionChar) {
      if (StartsWithNoCase(rest, countOption)) {
        const std::string value = rest.substr(countOption.size());
        engine.generationCount = LeadingInt(value);
        rest = SkipToNextBlank(value);
        continue;
      }
      bool matched = false;
      for (const Switch& option : switches) {
        if (StartsWithNoCase(rest, option.name)) {
          *option.flag = 1;
          rest = SkipToNextBlank(rest.substr(option.name.size()));
          matched = true;
        }
      }
      // An unknown option sets nothing and is dropped up to its blank.
      if (!matched) rest = SkipToNextBlank(rest);
    } else {
      const auto blank = rest.find(' ');
      AssignPath(engine, rest.substr(0, blank), paths);
      rest = SkipToNextBlank(rest);
    }
  }
  return 1;
}

std::string RefuseArguments(const std::vector<std::string>& arguments, char optionChar, Language language) {
  bool options = true;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (options && argument == kEndOfOptions) {
      options = false;
      continue;
    }
    const bool option = options && !argument.empty() && argument[0] == optionChar;
    if (option) {
      const std::string* next = i + 1 < arguments.size() ? &arguments[i + 1] : nullptr;
      if (IsKnownOption(argument, next, optionChar)) continue;
      // "./" keeps a relative POSIX path from beginning with "-"; every
      // platform has "--".
      const char* pattern = optionChar == '-'
                                ? "不明なオプションです: %1（「%2」で始まるパスは ./%1 と書くか、-- のあとに書きます）"
                                : "不明なオプションです: %1（「%2」で始まるパスは -- のあとに書きます）";
      return FormatText(Translate(language, pattern), {argument, std::string(1, optionChar)});
    }
    if (argument.find('"') != std::string::npos)
      return FormatText(Translate(language, "ダブルクォート (\") を含むパスは渡せません: %1"), {argument});
  }
  return std::string();
}

std::string BuildParameterText(const std::vector<std::string>& arguments, char optionChar) {
  std::string text;
  bool options = true;
  bool first = true;
  for (const std::string& argument : arguments) {
    if (options && argument == kEndOfOptions) {
      options = false;
      continue;
    }
    if (!first) text += ' ';
    first = false;
    const bool startsLikeOption = !argument.empty() && argument[0] == optionChar;
    // Unquoted, a path would be cut at a blank, lose leading white space to
    // the trimming, vanish when empty, or be read as an option. Quoted only
    // then: the count option's number is read past a blank, but not past a
    // quote.
    const bool quote = !(options && startsLikeOption) &&
                       (argument.empty() || HoldsWhite(argument) || startsLikeOption);
    if (quote) text += '"';
    text += argument;
    if (quote) text += '"';
  }
  return text;
}

}  // namespace veldar
