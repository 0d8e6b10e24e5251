#include "app/app.h"

#include "engine/backup.h"

#include <cctype>
#include <mutex>
#include <optional>

#include "app/command_line.h"
#include "app/generation_list.h"
#include "app/progress_line.h"
#include "app/settings.h"
#include "engine/medium.h"
#include "engine/restore.h"
#include "platform/os_paths.h"
#include "res/translation.h"

namespace veldar {

namespace {

struct TextWord {
  std::string text;
  bool quoted;
};

// The words of a parameter text as the parser meets them: a double quote
// opens a word that runs to the next one (or the end), anything else runs
// to the next blank (a space: a tab does not end a word), but for an option
// whose value is quoted (/X"a b", /ONLY"a b"), which runs to its closing quote.
// White space between words is left out.
std::vector<TextWord> SplitIntoWords(const std::string& text, char optionChar) {
  std::vector<TextWord> words;
  std::size_t i = 0;
  while (i < text.size()) {
    if (std::isspace(static_cast<unsigned char>(text[i]))) {
      ++i;
    } else if (text[i] == '"') {
      const std::size_t close = text.find('"', i + 1);
      const std::size_t end = close == std::string::npos ? text.size() : close;
      words.push_back({text.substr(i + 1, end - i - 1), true});
      i = close == std::string::npos ? text.size() : close + 1;
    } else {
      std::size_t end = i;
      const std::size_t length = ValueOptionLength(std::string_view(text).substr(i), optionChar);
      if (length != 0 && i + length < text.size() && text[i + length] == '"') {
        const std::size_t close = text.find('"', i + length + 1);
        end = close == std::string::npos ? text.size() : close + 1;
      }
      while (end < text.size() && text[end] != ' ') ++end;
      words.push_back({text.substr(i, end - i), false});
      i = end;
    }
  }
  return words;
}

}  // namespace

CVELDAR2App::CVELDAR2App(Os& os, UserMessages& messages, SettingsStore& settings)
    : engine(os, messages, settings), os_(os), messages_(messages), settings_(settings) {}

void CVELDAR2App::LoadSettings() { veldar::LoadSettings(settings_, engine); }

int CVELDAR2App::ParseParameters() {
  paths_.clear();
  request = BatchRequest();
  return ParseParameterText(commandLine, optionChar, engine, &paths_, &request);
}

int CVELDAR2App::InitInstance(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err) {
  // Help and version answer at once: nothing is read, logged or run. After
  // "--" every argument is a path, whatever it is called.
  for (const std::string& argument : arguments) {
    if (argument == "--") break;
    if (argument == "--help" || argument == "-h" || (optionChar == '/' && argument == "/?")) {
      out << UsageText(optionChar, language);
      return kExitSuccess;
    }
    if (argument == "--version") {
      out << "VELDAR2 " << VELDAR2_VERSION << "\n";
      return kExitSuccess;
    }
  }

  // Arguments the parameter text cannot carry as they were meant are refused
  // before anything is read or logged: passed on, a path taken for an unknown
  // option would be dropped, or read as a count of 0 that mirrors the source
  // straight over the backup directory.
  if (const std::string refusal = RefuseArguments(arguments, optionChar, language); !refusal.empty())
    return RefuseParameters(refusal, err);
  commandLine = BuildParameterText(arguments, optionChar);
  return Start(out, err);
}

int CVELDAR2App::InitInstanceFromText(const std::string& parameterText, std::ostream& out, std::ostream& err) {
  const std::vector<TextWord> words = SplitIntoWords(parameterText, optionChar);
  for (const TextWord& word : words) {
    if (word.quoted) continue;
    if (word.text == "--help" || word.text == "-h" || (optionChar == '/' && word.text == "/?")) {
      out << UsageText(optionChar, language);
      return kExitSuccess;
    }
    if (word.text == "--version") {
      out << "VELDAR2 " << VELDAR2_VERSION << "\n";
      return kExitSuccess;
    }
  }
  for (std::size_t i = 0; i < words.size(); ++i) {
    const TextWord& word = words[i];
    if (word.quoted || word.text.empty() || word.text[0] != optionChar) continue;
    // The count option reads its number past a blank ("/M 3"), but not past
    // a quote; the next word counts only as such a number.
    std::vector<std::string> option{word.text};
    if (i + 1 < words.size() && !words[i + 1].quoted && words[i + 1].text[0] != optionChar)
      option.push_back(words[i + 1].text);
    if (!RefuseArguments(option, optionChar).empty()) {
      // A malformed exclude or restore option is told as such (a backslash
      // in a pattern is the mistake a Windows user makes); any other word is
      // unknown, and a path is kept from being one by its quotes.
      std::string refusal = RequestOptionRefusal(word.text, optionChar, language);
      if (refusal.empty()) {
        refusal =
            FormatText(Translate(language, "不明なオプションです: %1（「%2」で始まるパスはダブルクォートで囲みます）"),
                       {word.text, std::string(1, optionChar)});
      }
      return RefuseParameters(refusal, err);
    }
  }
  commandLine = parameterText;
  return Start(out, err);
}

bool CVELDAR2App::ChangesNothing() {
  // Read apart from the engine, whose fields the settings fill first.
  CVELDAR2Engine scratch(os_, messages_, settings_);
  BatchRequest asked;
  return ParseParameterText(commandLine, optionChar, scratch, nullptr, &asked) != 0 && asked.ChangesNothing();
}

int CVELDAR2App::Start(std::ostream& out, std::ostream& err) {
  // A list or a dry run runs whatever window is open.
  if (findRunningInstance && !ChangesNothing() && !findRunningInstance()) {
    if (commandLine.empty()) return kExitSuccess;
    // Nothing is read, run or logged: a scheduled run would otherwise end
    // without a word.
    err << ConsoleLine(
        Translate(language, "Veldar のウィンドウが開いているため、何もしませんでした（閉じてからやり直してください）"));
    return kExitOtherInstance;
  }

  LoadSettings();
  engine.noMessage = 0;  // never stored; only the option sets it
  // A failure line that the log cannot take is not lost: it goes to standard
  // error, for the batch run and for the dialog's runs alike.
  engine.activityLog.onUnloggedFailure = [this, &err](const std::string& text) {
    // A message the log was to take instead of a box (a refusal) is told in
    // the user's language, on one line; an operation's line is the same in
    // every language, and its names are kept exactly (a line feed in one is
    // escaped, not taken for the end of a line of the message).
    const bool message = TranslateMessage(Language::kEnglish, text) != text;
    err << ConsoleLine(message ? MessageLine(text, language) : text);
  };
  int status = kExitFailure;
  if (ParseParameters()) {
    status = RunBatch(out, err);
  } else if (showMainDialog) {
    status = showMainDialog(engine);
  } else {
    out << UsageText(optionChar, language);
  }
  engine.activityLog.onUnloggedFailure = nullptr;  // `err` is the caller's
  return status;
}

void CVELDAR2App::ReportUnusedPaths(std::ostream& err) {
  if (paths_.size() <= 2) return;
  std::string unused;
  for (std::size_t i = 1; i + 1 < paths_.size(); ++i) {
    unused += (i > 1 ? ", \"" : "\"") + paths_[i] + "\"";
    if (engine.noMessage) engine.WriteLog("Path Parameter Not Used : " + paths_[i]);
  }
  err << ConsoleLine(
      FormatText(Translate(language,
                           "パスが %1 個あります。最初の \"%2\" をバックアップするファイル、最後の \"%3\" "
                           "を書き込むディレクトリとし、次のパスは使いません: %4"),
                 {std::to_string(paths_.size()), paths_.front(), paths_.back(), unused}));
}

int CVELDAR2App::RunBatch(std::ostream& out, std::ostream& err) {
  if (const std::string refusal = CheckBatchRequest(request, paths_.size(), optionChar, language); !refusal.empty()) {
    return RefuseParameters(refusal, err);
  }
  switch (request.mode()) {
    case BatchRequest::Mode::kList:
      if (!request.only.empty()) {
        return ListEntryVersions(os_, engine.sourcePath, engine.backupDir, request.only.front(), request.json, language,
                                 out, err);
      }
      return ListGenerations(os_, engine.sourcePath, engine.backupDir, request.json, language, out, err);
    case BatchRequest::Mode::kRestore:
      return RunRestoreBatch(out, err);
    case BatchRequest::Mode::kVerify: {
      int exit = kExitFailure;
      Watch(err, [&](const RunControl& control) {
        exit = VerifyGenerations(os_, engine.sourcePath, engine.backupDir, request.verifyNumber, request.json, language,
                                 control.progress, out, err, &engine.settings);
      });
      return exit;
    }
    case BatchRequest::Mode::kBackup:
      break;
  }
  // The command line's patterns add to the settings' for this run only.
  engine.excludePatterns.insert(engine.excludePatterns.end(), request.excludes.begin(), request.excludes.end());
  return RunBackupBatch(out, err);
}

DryRunOutput CVELDAR2App::DryRunPrinter(std::ostream& out) const {
  return [&out](const DryRunItem& item) {
    using Action = DryRunItem::Action;
    // One line per item: a word for what would be done, then the path
    // (relative to the copy named by the "into" line before it). The words
    // are the same in every language, for scripts to read.
    const char* word = "";
    switch (item.action) {
      case Action::kInto:
        word = "into";
        break;
      case Action::kCopy:
        word = "copy";
        break;
      case Action::kShare:
        word = "share";
        break;
      case Action::kAccess:
        word = "access";
        break;
      case Action::kCreate:
        word = "mkdir";
        break;
      case Action::kDelete:
        word = "delete";
        break;
      case Action::kExclude:
        word = "exclude";
        break;
      case Action::kPassOver:
        word = "skip";
        break;
      case Action::kOmit:
        word = "omit";
        break;
      case Action::kRecycle:
        word = "recycle";
        break;
      case Action::kDeleteGeneration:
        word = "retire";
        break;
    }
    std::string line = word;
    line.resize(8, ' ');
    line += item.path;
    if (item.directory && item.action != Action::kInto && item.action != Action::kRecycle &&
        item.action != Action::kDeleteGeneration) {
      line += '/';
    }
    out << EscapeLogText(line) << "\n";
  };
}

int CVELDAR2App::PrintDryRunTotals(const MirrorTotals& planned, std::ostream& out) {
  out << FormatText(
      Translate(language,
                "試行のため何も変更していません。コピー %1 個（%2 バイト）、共有 %3 個（%4 バイト）、"
                "作成するディレクトリ %5 個、削除 %6 個、必要な空き容量 %7 バイト"),
      {std::to_string(planned.filesToCopy), std::to_string(planned.bytesToCopy), std::to_string(planned.filesShared),
       std::to_string(planned.bytesShared), std::to_string(planned.directoriesToCreate),
       std::to_string(planned.entriesToDelete), std::to_string(planned.diskBytes)});
  // What no-force mode would leave older than the source, where there is any.
  if (planned.leftUndone > 0) {
    out << FormatText(Translate(language, "、上書きせず残すもの %1 個"), {std::to_string(planned.leftUndone)});
  }
  out << "\n";
  return kExitSuccess;
}

void CVELDAR2App::Finish(int status, const RunSummary& summary, const char* failed, std::ostream& out) {
  if (PrintsSummaryLine(standardOutputIsTerminal, request.verbose)) {
    out << SummaryTerminalLine(summary, language) << "\n";
  }
  if (status == kExitSuccess || !Unwatched()) return;
  // The paths as the terminal gets them: a notification shows them to people too.
  std::string body = EscapeLogText(engine.sourcePath) + " → " + EscapeLogText(engine.backupDir);
  if (engine.activityLog.HoldsRun())
    body += "\n" + FormatText(Translate(language, "ログ: %1"), {EscapeLogText(engine.activityLog.path())});
  notifier->NotifyFailure(Translate(language, failed), body);
}

bool CVELDAR2App::Unwatched() const { return notifier != nullptr && !standardOutputIsTerminal && progressColumns == 0; }

int CVELDAR2App::RefuseParameters(const std::string& refusal, std::ostream& err) {
  err << ConsoleLine(refusal);
  // Refused as the run's pre-check refuses a missing source, and told as
  // that refusal is where no terminal watches.
  if (Unwatched())
    notifier->NotifyFailure(Translate(language, "Veldar: パラメタの指定誤りのため、何もしませんでした"),
                            EscapeLogText(refusal));
  return kExitFailure;
}

int CVELDAR2App::RunRestoreBatch(std::ostream& out, std::ostream& err) {
  engine.restoreDir = request.restoreDir;
  // The generations as the restore dialog lists them, numbered the same way;
  // the source itself need not exist.
  if (!PrepareRestore(engine)) return kExitFailure;
  const int number = request.restoreNumber - 1;
  if (static_cast<std::size_t>(number) >= engine.generations.size()) {
    err << ConsoleLine(FormatText(
        Translate(language, "世代 %1 はありません（%2 の世代は %3 個です）"),
        {std::to_string(request.restoreNumber), engine.backupDir, std::to_string(engine.generations.size())}));
    return kExitFailure;
  }
  if (request.dryRun) {
    MirrorTotals planned;
    const RestoreResult result =
        DryRunRestore(engine, number, DryRunPrinter(out), &planned, RunControl(), request.only);
    if (result.ok) return PrintDryRunTotals(planned, out);
    // The restore's message is for its caller to show.
    err << ConsoleLine(MessageLine(result.message, language));
    return kExitFailure;
  }
  RestoreResult result;
  Watch(err, [&](const RunControl& control) { result = RunRestore(engine, number, control, request.only); });
  int exit = kExitSuccess;
  if (!result.ok) {
    // The restore's own message says what failed and why.
    err << ConsoleLine(MessageLine(result.message, language));
    exit = result.busy ? kExitOtherInstance : kExitFailure;
  } else if (result.damaged > 0) {
    err << ConsoleLine(FormatText(
        Translate(language, "世代の中で壊れていたファイルが %1 個あり、そのまま復元しました（ログに書きました）"),
        {std::to_string(result.damaged)}));
    exit = kExitPartialFailure;
  }
  Finish(exit, result.summary, "Veldar: レストアに失敗しました", out);
  return exit;
}

bool CVELDAR2App::Watch(std::ostream& err, const std::function<void(const RunControl&)>& run, bool dryRun) {
  bool reportShown = false;
  {
    // The run's report as it goes: a message is told with the failure it is about.
    Report report;
    RunControl control;
    control.progress = &batchProgress;
    control.onReport = [&report](const Report& now) { report = now; };
    // The progress line, the failure lines the log cannot take and the
    // messages no box can show share standard error: one at a time.
    std::mutex errMutex;
    // A line written while the progress line is drawn starts by blanking it.
    const std::string clearLine = progressColumns > 0 && !dryRun
                                      ? "\r" + std::string(static_cast<std::size_t>(progressColumns - 1), ' ') + "\r"
                                      : "";
    auto unlogged = std::move(engine.activityLog.onUnloggedFailure);
    engine.activityLog.onUnloggedFailure = [&](const std::string& text) {
      std::lock_guard<std::mutex> lock(errMutex);
      err << clearLine;
      // The line of the run's report (a refusal the log could not take, the
      // failure the run stopped on) is told as the summary would tell it.
      if (!report.text.empty() && text == report.text) {
        err << ConsoleLine(DescribeReport(report, language, os_));
        reportShown = true;
      } else if (unlogged) {
        unlogged(text);
      }
    };
    if (standardErrorMessages) {
      standardErrorMessages->streamMutex = &errMutex;
      standardErrorMessages->clearLine = clearLine;
      // The message that reports a failure names its path and the system's
      // reason; the summary then need not say it again.
      standardErrorMessages->describe = [&](const std::string& text) {
        if (text != report.text) return MessageLine(text, language);
        reportShown = true;
        return DescribeReport(report, language, os_);
      };
    }
    std::optional<ProgressLineWriter> line;
    if (progressColumns > 0 && !dryRun) line.emplace(err, batchProgress, progressColumns, errMutex, language);
    if (onBatchRun) onBatchRun(true);
    run(control);
    if (onBatchRun) onBatchRun(false);
    if (line) line->Stop();
    if (standardErrorMessages) {
      standardErrorMessages->describe = nullptr;
      standardErrorMessages->streamMutex = nullptr;
      standardErrorMessages->clearLine.clear();
    }
    engine.activityLog.onUnloggedFailure = std::move(unlogged);
  }
  return reportShown;
}

int CVELDAR2App::RunBackupBatch(std::ostream& out, std::ostream& err) {
  if (request.dryRun) {
    // Reads what the real run would read; no log is opened and nothing written.
    ReportUnusedPaths(err);
    MirrorTotals planned;
    BackupOutcome result;
    const bool told = Watch(
        err, [&](const RunControl& control) { result = DryRunBackup(engine, DryRunPrinter(out), &planned, control); },
        /*dryRun=*/true);
    TellMedium(result, /*dryRun=*/true, err);
    if (result.ok) return PrintDryRunTotals(planned, out);
    // Why it was refused, told as the real run tells it: a dry run opens no
    // log, so its failure lines went to `err`, as did its messages where no
    // box shows them.
    if (!told && !result.report.text.empty()) {
      err << "veldar2: " << DescribeReport(result.report, language, os_) << "\n";
    }
    return result.busy || result.unlocked ? kExitOtherInstance : kExitFailure;
  }
  engine.OpenLog();
  engine.WriteLog("Start with parameter");
  ReportUnusedPaths(err);
  outcome = BackupOutcome();
  reportShown_ = Watch(err, [&](const RunControl& control) { outcome = RunBackup(engine, control); });
  engine.CloseLog();
  TellMedium(outcome, /*dryRun=*/false, err);
  const int status = TellBackupEnd(err);
  Finish(status, outcome.summary, "Veldar: バックアップに失敗しました", out);
  return status;
}

void CVELDAR2App::TellMedium(const BackupOutcome& result, bool dryRun, std::ostream& err) {
  const auto say = [&](const char* japanese, std::initializer_list<std::string> arguments) {
    return FormatText(Translate(language, japanese), arguments);
  };
  if (result.medium && result.firstRun) {
    const std::vector<MediumLimit> limits = MediumLimits(*result.medium);
    if (!limits.empty()) {
      err << ConsoleLine(say("書き込むディレクトリ %1 の媒体が保てないもの: %2",
                             {engine.backupDir, DescribeLimits(limits, language)}));
    }
  }
  if (result.medium && result.exposed > 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", result.medium->shownPermissions & 07777);
    err << ConsoleLine(
        say("元では他人が読めなかったファイル %1 個が、書き込むディレクトリの媒体では、その媒体を読める人なら"
            "誰でも読めます（すべてのファイルを権限 %2 にする媒体です。自分だけが読めるようにマウントするには "
            "uid= と umask=077 を使います）",
            {std::to_string(result.exposed), mode}));
  }
  if (dryRun) return;
  for (const LeftOut& entry : result.leftOut) {
    std::string why = Translate(language, entry.reason);
    if (!entry.other.empty()) why += ": " + entry.other;
    err << ConsoleLine(say("コピーしていません: %1（%2）", {entry.path, why}));
  }
  if (result.leftOutCount > static_cast<int>(result.leftOut.size())) {
    err << ConsoleLine(say(
        "ほかに %1 個のファイルやフォルダを、書き込むディレクトリの媒体が保てないためコピーしていません（ログ: %2）",
        {std::to_string(result.leftOutCount - static_cast<int>(result.leftOut.size())), engine.activityLog.path()}));
  }
}

int CVELDAR2App::TellBackupEnd(std::ostream& err) {
  if (outcome.ok && outcome.failures == 0 && outcome.vanished == 0 && !outcome.cancelled) return kExitSuccess;
  const auto say = [&](const char* japanese, std::initializer_list<std::string> arguments) {
    return FormatText(Translate(language, japanese), arguments);
  };
  if (!outcome.ok && outcome.busy) {
    err << ConsoleLine(
        say("ほかの実行が書き込むディレクトリ %1 を使っているため、何もしませんでした", {engine.backupDir}));
    return kExitOtherInstance;
  }
  // A lock that cannot be taken keeps the run out as another run's would;
  // the reason is the run's report.
  if (!outcome.ok && outcome.unlocked) {
    if (!reportShown_) err << "veldar2: " << DescribeReport(outcome.report, language, os_) << "\n";
    return kExitOtherInstance;
  }

  // What stopped the run (or the last operation that failed), where no line
  // has said it yet; after several failures, the last few first, each with
  // its reason. A stopped run says that it was stopped, and nothing more.
  if (!reportShown_ && !outcome.cancelled && !outcome.report.text.empty()) {
    if (outcome.recent.size() > 1) {
      for (const Report& failure : outcome.recent) {
        if (failure.text != outcome.report.text) err << ConsoleLine(DescribeReport(failure, language, os_));
      }
    }
    err << ConsoleLine(DescribeReport(outcome.report, language, os_));
  }

  // The summary sends the user to the log only when the log holds why: the
  // run's failure lines, its refusal written there instead of shown, or the
  // line of a stop.
  std::string where;
  if (!engine.activityLog.HoldsRun()) {
    where = engine.logSizeLimit <= 0
                ? say("ログサイズが 0 のため、ログは残りません", {})
                : say("ログにはありません: %1 を開くか書き込むことができませんでした", {engine.activityLog.path()});
  } else if (engine.noMessage || outcome.failures > 0 || outcome.vanished > 0 || outcome.cancelled) {
    where = say("ログ: %1", {engine.activityLog.path()});
  }
  const auto summary = [&](const std::string& text) {
    err << ConsoleLine(text + (where.empty() ? "" : " (" + where + ")"));
  };
  // A stopped run did not do all it was started for, whenever the stop came:
  // a script that goes on only after a backup goes no further.
  if (outcome.cancelled && outcome.ok) {
    summary(say("バックアップを中止しました。新しい世代はできています。古いコピーの削除は次の実行が行います", {}));
    return kExitFailure;
  }
  if (outcome.cancelled) {
    summary(say("バックアップを中止しました。世代は置き換えていません。次の実行が続きから行います", {}));
    return kExitFailure;
  }
  if (!outcome.ok) {
    summary(say("バックアップできませんでした", {}));
    return kExitFailure;
  }
  if (outcome.failures > 0) {
    summary(say("バックアップは終わりましたが、%1 個の操作に失敗しました", {std::to_string(outcome.failures)}));
  } else {
    summary(say("バックアップは終わりましたが、コピーの途中でなくなった %1 個のファイルやフォルダは含まれていません",
                {std::to_string(outcome.vanished)}));
  }
  return kExitPartialFailure;
}

std::string DescribeReport(const Report& report, Language language, Os& os) {
  std::string text = report.text;
  // A failure line's code is told as the system's reason instead.
  if (!report.status.ok() && report.codeAt < text.size()) text.resize(report.codeAt);
  const std::string translated = TranslateMessage(language, text);
  // The path follows the message's first line (which names the field it
  // is about); the other lines follow it.
  const std::size_t firstEnd = translated.find('\n');
  std::string line = translated.substr(0, firstEnd);
  const bool named = !report.path.empty() && text.find(report.path) == std::string::npos;
  if (named) {
    if (!line.empty() && line.back() != ' ') line += ' ';
    line += report.path;
  }
  if (firstEnd != std::string::npos) {
    const std::string rest = JoinedLines(translated.substr(firstEnd + 1));
    if (named && !rest.empty()) {
      line += ": " + rest;
    } else {
      JoinMessageLine(line, rest);
    }
  }
  if (!report.status.ok()) {
    line += ": ";
    line += TranslateReason(language, os.ErrorText(report.status));
  }
  return line;
}

std::string ProgramParameterText(const std::string& commandLine) {
  std::size_t i = 0;
  bool quoted = false;
  for (; i < commandLine.size(); ++i) {
    const char c = commandLine[i];
    if (c == '"')
      quoted = !quoted;
    else if (!quoted && (c == ' ' || c == '\t'))
      break;
  }
  while (i < commandLine.size() && (commandLine[i] == ' ' || commandLine[i] == '\t')) ++i;
  return commandLine.substr(i);
}

std::string UsageText(char o, Language language) {
  const std::string O(1, o);
  // With '/' options (Windows) the text goes to the parser whole: "--" means
  // nothing there, and a path is kept from being an option by its quotes.
  const bool slash = o == '/';
  const std::string end = slash ? "" : " [--]";
  const std::string backup = "[" + O + "Mcount] [" + O + "NOFORCE] [" + O + "NODEL] [" + O + "NOMSG] [" + O +
                             "NOTIME] [" + O + "LINK] [" + O + "Xpattern]... [" + O + "DRYRUN] [" + O + "VERBOSE]" +
                             end;
  const std::string list = O + "LIST [" + O + "JSON] [" + O + "ONLYpath]" + end + " [SOURCE [BACKUPDIR]]\n";
  const std::string restore =
      O + "RESTOREn [" + O + "ONLYpath]... [" + O + "DRYRUN]" + end + " SOURCE BACKUPDIR RESTOREDIR\n";
  const std::string verify = O + "VERIFY[n] [" + O + "JSON]" + end + " [SOURCE [BACKUPDIR]]\n";
  // One example of each: a shell would expand "*" unquoted; cmd.exe does not.
  const std::string src = slash ? "C:\\data" : "~/docs", dst = slash ? "D:\\backup" : "/mnt/backup";
  const std::string pattern = slash ? "/X*.tmp" : "'-X*.tmp'";
  const std::string examples = "  veldar2 " + O + "DRYRUN " + O + "M3 " + src + " " + dst +
                               "\n"
                               "  veldar2 " +
                               O + "LIST " + src + " " + dst +
                               "\n"
                               "  veldar2 " +
                               O + "RESTORE2 " + src + " " + dst + " " + (slash ? "C:\\restored" : "/tmp/restored") +
                               "\n"
                               "  veldar2 " +
                               O + "LIST " + O + "ONLYreports/2026.xlsx " + src + " " + dst +
                               "\n"
                               "  veldar2 " +
                               O + "RESTORE3 " + O + "ONLYreports/2026.xlsx " + src + " " + dst + " " +
                               (slash ? "C:\\restored" : "/tmp/restored") +
                               "\n"
                               "  veldar2 " +
                               O + "M3 " + pattern + " " + O + "X/cache/ " + src + " " + dst +
                               "\n"
                               "  veldar2 " +
                               O + "M3 " + O + "VERBOSE " + src + " " + dst +
                               (slash ? " >> backup.txt" : " >> ~/backup.txt") + "\n";
  if (language == Language::kEnglish) {
    return "Usage: veldar2 " + backup +
           " SOURCE BACKUPDIR\n"
           "       veldar2 " +
           list + "       veldar2 " + restore + "       veldar2 " + verify +
           "\n"
           "  SOURCE       file or directory to back up\n"
           "  BACKUPDIR    directory that holds the generations\n"
           "  RESTOREDIR   directory to restore into: afterwards it holds exactly the generation\n"
           "  " +
           O + "Mn          number of generations to keep (e.g. " + O +
           "M5); without it, DEFALUTFILES of the\n"
           "               settings (stored when the dialog closes; 3 by default)\n"
           "  " +
           O +
           "NOFORCE     never overwrite existing copies\n"
           "  " +
           O +
           "NODEL       keep files that vanished from the source\n"
           "  " +
           O +
           "NOMSG       log failures instead of showing them, and go on\n"
           "  " +
           O +
           "NOTIME      copy files without comparing their times (and share none)\n"
           "  " +
           O +
           "LINK        files unchanged since the newest generation are hard-linked to it\n"
           "               (cloned only where a link cannot be made)\n"
           "  " +
           O +
           "Xpattern    leave out what the pattern matches, neither copied nor deleted from the\n"
           "               backup (repeatable; for this run only, besides EXCLUDE of the settings):\n"
           "               * and ? within a name, ** any names, name/ directories only, /name at the\n"
           "               source only\n"
           "  " +
           O +
           "DRYRUN      change nothing: print what the run would do, then its totals\n"
           "  " +
           O +
           "LIST        print the generations, newest first (without paths: the stored ones)\n"
           "  " +
           O + "JSON        with " + O +
           "LIST: one JSON object per generation and line\n"
           "  " +
           O +
           "RESTOREn    restore generation n (1 = the newest, as the restore dialog numbers them);\n"
           "               the source need not exist any more\n"
           "  " +
           O + "ONLYpath    with " + O +
           "RESTOREn: restore just this file or folder of the generation\n"
           "               (repeatable; relative to SOURCE, names separated by /), nothing else is touched;\n"
           "               with " +
           O +
           "LIST: its versions, one row per generation that holds it\n"
           "  " +
           O +
           "VERIFY[n]   check generation n (without n: every one) against the checksums written\n"
           "               with it: damaged, missing, changed and unknown files are named; with " +
           O +
           "JSON\n"
           "               one JSON object per generation; exit status 1 when one does not hold\n"
           "  " +
           O + "VERBOSE     print the summary line even when standard output is not a terminal\n" +
           (slash ? std::string("  \"...\"        a path with blanks, or beginning with /\n"
                                "  /?, --help   this text\n")
                  : std::string("  --           every argument after it is a path\n"
                                "  --help       this text\n")) +
           "  --version    version\n"
           "\n"
           "Examples (dry run, list, restore, excludes, summary):\n" +
           examples +
           "\n"
           "Without parameters the dialog opens" +
           std::string(slash ? "" : " (package veldar2-gui)") +
           ".\n"
           "Exit status: 0 success, 1 some operations failed (" +
           O +
           "NOMSG; a generation that does not hold), 2 failed, refused (an unknown option too) or stopped "
           "(Ctrl-C), 3 another instance's "
           "window is open, or another run holds the backup directory.\n";
  }
  return "使い方: veldar2 [" + O + "M世代数] [" + O + "NOFORCE] [" + O + "NODEL] [" + O + "NOMSG] [" + O + "NOTIME] [" +
         O + "LINK] [" + O + "Xパターン]... [" + O + "DRYRUN] [" + O + "VERBOSE]" + end +
         " 元 先\n"
         "        veldar2 " +
         O + "LIST [" + O + "JSON] [" + O + "ONLYパス]" + end +
         " [元 [先]]\n"
         "        veldar2 " +
         O + "RESTOREn [" + O + "ONLYパス]... [" + O + "DRYRUN]" + end +
         " 元 先 復元先\n"
         "        veldar2 " +
         O + "VERIFY[n] [" + O + "JSON]" + end +
         " [元 [先]]\n"
         "\n"
         "  元           バックアップするファイル・ディレクトリ\n"
         "  先           世代を置くバックアップディレクトリ\n"
         "  復元先       復元するディレクトリ（世代とまったく同じ内容になります）\n"
         "  " +
         O + "Mn          保存する世代数（例 " + O +
         "M5）。付けなければ設定の DEFALUTFILES（ダイアログを\n"
         "               閉じたときに保存。初期値 3）\n"
         "  " +
         O +
         "NOFORCE     上書きしない\n"
         "  " +
         O +
         "NODEL       元からなくなったファイル・フォルダを消さない\n"
         "  " +
         O +
         "NOMSG       エラーをログに記録して続行\n"
         "  " +
         O +
         "NOTIME      時間比較をしない（前の世代とも共有しない）\n"
         "  " +
         O +
         "LINK        変更のないファイルは最新の世代とハードリンクで共有（できないときは複製）\n"
         "  " +
         O +
         "Xパターン   パターンに合うものをコピーも削除もしない（繰り返し可。今回の実行だけ、設定の\n"
         "               EXCLUDE に加えて使う）: * ? 名前の中、** 任意の階層、名前/ ディレクトリだけ、\n"
         "               /名前 元の直下だけ\n"
         "  " +
         O +
         "DRYRUN      何も変えずに、実行する内容と合計を表示\n"
         "  " +
         O +
         "LIST        世代を新しい順に表示（パスなしは前回のパス）\n"
         "  " +
         O + "JSON        " + O +
         "LIST を 1 行 1 世代の JSON で\n"
         "  " +
         O +
         "RESTOREn    n 番目に新しい世代を復元（1 が最新。レストアダイアログと同じ番号）。元はなくても\n"
         "               かまいません\n"
         "  " +
         O + "ONLYパス    " + O +
         "RESTOREn と: 世代のこのファイル・フォルダだけを復元し、ほかには触れない\n"
         "               （繰り返し可。元からの相対パス、区切りは /）。" +
         O +
         "LIST と: その版を世代ごとに表示\n"
         "  " +
         O +
         "VERIFY[n]   n 番目の世代（n なしはすべて）を書いたときのチェックサムと照合し、壊れた・\n"
         "               ない・変えられた・知らないファイルを表示（" +
         O +
         "JSON で 1 行 1 世代）。\n"
         "               合わない世代があれば終了コード 1\n"
         "  " +
         O + "VERBOSE     端末でなくても最後に集計を表示\n" +
         (slash ? std::string("  \"...\"        空白を含むパス、/ で始まるパス\n"
                              "  /?, --help   この説明\n")
                : std::string("  --           以降の引数はすべてパス\n"
                              "  --help       この説明\n")) +
         "  --version    バージョン\n"
         "\n"
         "例（試行、一覧、復元、除外、集計）:\n" +
         examples +
         "\n"
         "パラメタなしで起動するとダイアログを表示します" +
         std::string(slash ? "" : "（veldar2-gui パッケージ）") +
         "。\n"
         "終了コード: 0 成功、1 一部の操作に失敗 (" +
         O +
         "NOMSG、合わない世代)、2 失敗・実行できない（不明なオプションも）・中止 (Ctrl-C)、3 Veldar "
         "のウィンドウが開いているか、"
         "ほかの実行がバックアップディレクトリを使っている。\n";
}

}  // namespace veldar
