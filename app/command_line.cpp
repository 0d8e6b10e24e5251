#include "app/command_line.h"

#include <cctype>
#include <cstdint>

#include "engine/exclude.h"
#include "engine/generation_path.h"
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
    if (std::toupper(static_cast<unsigned char>(text[i])) != std::toupper(static_cast<unsigned char>(prefix[i])))
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

// The options of a BatchRequest, written with the Windows option character
// as the string table holds the others.
constexpr const char kOptDryRun[] = "/DRYRUN";
constexpr const char kOptList[] = "/LIST";
constexpr const char kOptJson[] = "/JSON";
constexpr const char kOptVerbose[] = "/VERBOSE";
constexpr const char kOptRestore[] = "/RESTORE";
constexpr const char kOptVerify[] = "/VERIFY";
constexpr const char kOptExclude[] = "/X";
constexpr const char kOptOnly[] = "/ONLY";

std::string OptionName(const char* name, char optionChar) {
  std::string text = name;
  text[0] = optionChar;
  return text;
}

bool EqualsNoCase(const std::string& text, const std::string& name) {
  return text.size() == name.size() && StartsWithNoCase(text, name);
}

// The generation number of -RESTORE<n>: 1 or more, digits only (leading
// zeros allowed); 0 for anything else, an empty or too large number too.
int RestoreNumber(const std::string& digits) {
  if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos) return 0;
  const std::size_t first = digits.find_first_not_of('0');
  if (first == std::string::npos || digits.size() - first > 9) return 0;
  return std::stoi(digits.substr(first));
}

bool IsExcludeOption(const std::string& argument, char optionChar) {
  return StartsWithNoCase(argument, OptionName(kOptExclude, optionChar));
}

// The value of an -X or -ONLY argument (whose name is `length` long) as the
// parser will read it: without the quotes of -X"a b". Empty when it has
// none, or when a double quote in it would make the parser read something
// else.
std::string OptionValue(const std::string& argument, std::size_t length) {
  std::string value = argument.substr(length);
  if (value.size() >= 2 && value.front() == '"' && value.back() == '"') value = value.substr(1, value.size() - 2);
  return value.find('"') == std::string::npos ? value : std::string();
}

}  // namespace

std::size_t ValueOptionLength(std::string_view word, char optionChar) {
  for (const char* name : {kOptOnly, kOptExclude}) {
    const std::string option = OptionName(name, optionChar);
    if (StartsWithNoCase(std::string(word.substr(0, option.size())), option)) return option.size();
  }
  return 0;
}

std::string RequestOptionRefusal(const std::string& argument, char optionChar, Language language) {
  const std::string restore = OptionName(kOptRestore, optionChar);
  if (StartsWithNoCase(argument, restore) && RestoreNumber(argument.substr(restore.size())) == 0) {
    return FormatText(Translate(language, "%1 のあとには世代の番号を書きます（%2 が最新の世代）: %3"),
                      {restore, restore + "1", argument});
  }
  const std::string verify = OptionName(kOptVerify, optionChar);
  if (StartsWithNoCase(argument, verify) && argument.size() > verify.size() &&
      RestoreNumber(argument.substr(verify.size())) == 0) {
    return FormatText(Translate(language, "%1 のあとには世代の番号を書きます（%2 が最新の世代）: %3"),
                      {verify, verify + "1", argument});
  }
  const std::size_t length = ValueOptionLength(argument, optionChar);
  if (length == 0) return std::string();
  const bool exclude = IsExcludeOption(argument, optionChar);
  const std::string value = OptionValue(argument, length);
  if (value.empty()) {
    return FormatText(
        Translate(language, exclude
                                ? "%1 のあとには除外するパターンを書きます（ダブルクォートは全体を囲むときだけ）: %2"
                                : "%1 のあとには元からの相対パスを書きます（ダブルクォートは全体を囲むときだけ）: %2"),
        {argument.substr(0, length), argument});
  }
  std::string error;
  if (exclude) {
    ExcludeSet::Parse({value}, false, &error, language);
  } else {
    std::vector<std::string> names;
    SplitGenerationPath(value, &names, &error, language);
  }
  return error;
}

namespace {

// Whether `argument` is one of the options of a BatchRequest, written as
// they need.
bool IsRequestOption(const std::string& argument, char optionChar) {
  for (const char* name : {kOptDryRun, kOptList, kOptJson, kOptVerbose}) {
    if (EqualsNoCase(argument, OptionName(name, optionChar))) return true;
  }
  const bool named = StartsWithNoCase(argument, OptionName(kOptRestore, optionChar)) ||
                     StartsWithNoCase(argument, OptionName(kOptVerify, optionChar)) ||
                     ValueOptionLength(argument, optionChar) != 0;
  return named && RequestOptionRefusal(argument, optionChar, Language::kJapanese).empty();
}

// Reads the BatchRequest option at the start of `*rest` into `request` and
// moves `*rest` past it; false (nothing changed) when it begins with none.
bool ReadRequestOption(std::string* rest, char optionChar, BatchRequest& request) {
  const std::string word = rest->substr(0, rest->find(' '));
  const struct {
    const char* name;
    bool* flag;
  } flags[] = {{kOptDryRun, &request.dryRun},
               {kOptList, &request.list},
               {kOptJson, &request.json},
               {kOptVerbose, &request.verbose}};
  for (const auto& option : flags) {
    if (EqualsNoCase(word, OptionName(option.name, optionChar))) {
      *option.flag = true;
      *rest = SkipToNextBlank(*rest);
      return true;
    }
  }
  const std::string restore = OptionName(kOptRestore, optionChar);
  if (StartsWithNoCase(word, restore)) {
    const int number = RestoreNumber(word.substr(restore.size()));
    if (number == 0) return false;
    request.restoreNumber = number;
    *rest = SkipToNextBlank(*rest);
    return true;
  }
  const std::string verify = OptionName(kOptVerify, optionChar);
  if (StartsWithNoCase(word, verify)) {
    const int number = word.size() == verify.size() ? 0 : RestoreNumber(word.substr(verify.size()));
    if (number == 0 && word.size() != verify.size()) return false;
    request.verifyNumber = number;
    *rest = SkipToNextBlank(*rest);
    return true;
  }
  const std::size_t length = ValueOptionLength(word, optionChar);
  if (length == 0 || word.size() == length) return false;
  std::vector<std::string>& values = IsExcludeOption(word, optionChar) ? request.excludes : request.only;
  if ((*rest)[length] == '"') {
    // Quoted: the value runs to the next double quote, blanks and all, as
    // a quoted path does.
    const std::string quoted = rest->substr(length + 1);
    const auto close = quoted.find('"');
    if (const std::string value = quoted.substr(0, close); !value.empty()) values.push_back(value);
    *rest = close == std::string::npos ? std::string() : TrimLeft(quoted.substr(close + 1));
  } else {
    values.push_back(word.substr(length));
    *rest = SkipToNextBlank(*rest);
  }
  return true;
}

// `next` is the argument after this one, or null. A blank inside an option
// would end it in the rebuilt text and make the rest another argument (but
// for -X's pattern, which the rebuilt text quotes).
bool IsKnownOption(const std::string& argument, const std::string* next, char optionChar) {
  if (IsRequestOption(argument, optionChar)) return true;
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
                       std::vector<std::string>* paths, BatchRequest* request) {
  if (text.empty()) return 0;
  std::string rest = text;
  const std::string storedSource = engine.sourcePath;
  std::vector<std::string> taken;
  *request = BatchRequest();
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
      AssignPath(engine, quoted.substr(0, close), &taken);
      rest = close == std::string::npos ? std::string() : TrimLeft(quoted.substr(close + 1));
    } else if (rest[0] == optionChar) {
      if (StartsWithNoCase(rest, countOption)) {
        const std::string value = rest.substr(countOption.size());
        engine.generationCount = LeadingInt(value);
        rest = SkipToNextBlank(value);
        continue;
      }
      if (ReadRequestOption(&rest, optionChar, *request)) continue;
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
      AssignPath(engine, rest.substr(0, blank), &taken);
      rest = SkipToNextBlank(rest);
    }
  }
  if (request->restoreNumber > 0 && taken.size() == 3) {
    engine.backupDir = taken[1];
    request->restoreDir = taken[2];
  }
  if ((request->list || request->verifyNumber >= 0) && taken.empty()) engine.sourcePath = storedSource;
  if (paths) paths->insert(paths->end(), taken.begin(), taken.end());
  return 1;
}

int ParseParameterText(const std::string& text, char optionChar, CVELDAR2Engine& engine,
                       std::vector<std::string>* paths) {
  BatchRequest request;
  const int result = ParseParameterText(text, optionChar, engine, paths, &request);
  if (request.dryRun || request.mode() != BatchRequest::Mode::kBackup || !request.only.empty()) {
    engine.sourcePath.clear();
  }
  return result;
}

std::string CheckBatchRequest(const BatchRequest& request, std::size_t pathCount, char optionChar, Language language) {
  const auto name = [optionChar](const char* option) { return OptionName(option, optionChar); };
  const auto say = [language](const char* japanese, std::initializer_list<std::string> arguments) {
    return FormatText(Translate(language, japanese), arguments);
  };
  if (request.list && request.restoreNumber > 0)
    return say("%1 と %2 は一緒に使えません", {name(kOptList), name(kOptRestore)});
  if (request.verifyNumber >= 0 && (request.list || request.restoreNumber > 0)) {
    return say("%1 と %2 は一緒に使えません", {name(kOptVerify), request.list ? name(kOptList) : name(kOptRestore)});
  }
  if (request.verifyNumber >= 0 && (!request.only.empty() || !request.excludes.empty() || request.dryRun)) {
    return say("%1 と %2 は一緒に使えません", {name(kOptVerify), !request.only.empty() ? name(kOptOnly)
                                                                 : request.dryRun      ? name(kOptDryRun)
                                                                                       : name(kOptExclude)});
  }
  if (request.json && !request.list && request.verifyNumber < 0)
    return say("%1 は %2 か %3 と一緒に使います", {name(kOptJson), name(kOptList), name(kOptVerify)});
  if (!request.excludes.empty() && request.mode() != BatchRequest::Mode::kBackup) {
    return say("%1 はバックアップにだけ使えます（%2 と %3 は何も除外しません）",
               {name(kOptExclude), name(kOptList), name(kOptRestore)});
  }
  if (!request.only.empty() && request.mode() == BatchRequest::Mode::kBackup) {
    return say("%1 は %2 か %3 と一緒に使います", {name(kOptOnly), name(kOptRestore), name(kOptList)});
  }
  if (request.only.size() > 1 && request.mode() == BatchRequest::Mode::kList) {
    return say("%1 と一緒に書ける %2 は 1 つだけです", {name(kOptList), name(kOptOnly)});
  }
  if (request.restoreNumber > 0 && pathCount != 3) {
    return say("%1 にはパスを 3 つ書きます（元、バックアップディレクトリ、復元するディレクトリ）。%2 個あります",
               {name(kOptRestore), std::to_string(pathCount)});
  }
  return std::string();
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
      if (std::string refusal = RequestOptionRefusal(argument, optionChar, language); !refusal.empty()) return refusal;
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
    const bool quote = !(options && startsLikeOption) && (argument.empty() || HoldsWhite(argument) || startsLikeOption);
    // The value of -X or -ONLY would end at a blank: quoted after the
    // option's name, as the parser reads it.
    const std::size_t length = options ? ValueOptionLength(argument, optionChar) : 0;
    const bool quoteValue =
        length != 0 && argument.find(' ') != std::string::npos && argument.size() > length && argument[length] != '"';
    if (quote) text += '"';
    text += quoteValue ? argument.substr(0, length) + '"' + argument.substr(length) + '"' : argument;
    if (quote) text += '"';
  }
  return text;
}

}  // namespace veldar
