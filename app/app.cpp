#include "app/app.h"

#include "app/command_line.h"
#include "app/settings.h"

namespace veldar {

CVELDAR2App::CVELDAR2App(Os& os, UserMessages& messages, SettingsStore& settings)
    : engine(os, messages, settings), os_(os), settings_(settings) {}

void CVELDAR2App::LoadSettings() { veldar::LoadSettings(settings_, engine); }

int CVELDAR2App::ParseParameters() {
  return ParseParameterText(commandLine, os_.OptionChar(), engine);
}

int CVELDAR2App::InitInstance(const std::vector<std::string>& arguments, std::ostream& out,
                              std::ostream& err) {
  // Help and version answer at once: nothing is read, logged or run. After
  // "--" every argument is a path, whatever it is called.
  for (const std::string& argument : arguments) {
    if (argument == "--") break;
    if (argument == "--help" || argument == "-h" || (os_.OptionChar() == '/' && argument == "/?")) {
      out << UsageText(os_.OptionChar());
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
  if (const std::string refusal = RefuseArguments(arguments, os_.OptionChar()); !refusal.empty()) {
    err << "veldar2: " << refusal << "\n";
    return kExitFailure;
  }
  commandLine = BuildParameterText(arguments, os_.OptionChar());

  if (findRunningInstance && !findRunningInstance())
    return commandLine.empty() ? kExitSuccess : kExitOtherInstance;

  LoadSettings();
  engine.noMessage = 0;  // never stored; only the option sets it
  // A failure line that the log cannot take is not lost: it goes to standard
  // error, for the batch run and for the dialog's runs alike.
  engine.activityLog.onUnloggedFailure = [&err](const std::string& text) {
    err << "veldar2: " << text << "\n";
  };
  int status = kExitFailure;
  if (ParseParameters()) {
    status = RunBatch(err);
  } else if (showMainDialog) {
    status = showMainDialog(engine);
  } else {
    out << UsageText(os_.OptionChar());
  }
  engine.activityLog.onUnloggedFailure = nullptr;  // `err` is the caller's
  return status;
}

int CVELDAR2App::RunBatch(std::ostream& err) {
  engine.failureCount = 0;
  engine.vanishedCount = 0;
  engine.OpenLog();
  engine.WriteLog("Start with parameter");
  const int result = engine.Backup();
  engine.CloseLog();
  if (result && engine.failureCount == 0 && engine.vanishedCount == 0) return kExitSuccess;
  if (!result && engine.backupDirBusy) {
    err << "veldar2: another run is using the backup directory " << engine.backupDir
        << "; nothing was done\n";
    return kExitOtherInstance;
  }

  // The summary sends the user to the log only when the log holds the run.
  std::string where = "see " + engine.activityLog.path();
  if (!engine.activityLog.HoldsRun()) {
    where = engine.logSizeLimit <= 0 ? "the log size limit is 0: no log is kept"
                                     : "not in the log: " + engine.activityLog.path() +
                                           " could not be opened or written";
  }
  if (!result) {
    err << "veldar2: the backup failed or was refused (" << where << ")\n";
    return kExitFailure;
  }
  if (engine.failureCount > 0) {
    err << "veldar2: the backup finished, but " << engine.failureCount << " operation(s) failed ("
        << where << ")\n";
  } else {
    err << "veldar2: the backup finished, but " << engine.vanishedCount
        << " entr(y/ies) vanished from the source while it was copied and are not in the copy ("
        << where << ")\n";
  }
  return kExitPartialFailure;
}

std::string UsageText(char o) {
  const std::string O(1, o);
  return "使い方: veldar2 [" + O + "M世代数] [" + O + "NOFORCE] [" + O + "NODEL] [" + O + "NOMSG] [" + O +
         "NOTIME] [" + O + "LINK] [--] 元 先\n"
         "Usage: veldar2 [" + O + "Mcount] [" + O + "NOFORCE] [" + O + "NODEL] [" + O + "NOMSG] [" + O +
         "NOTIME] [" + O + "LINK] [--] SOURCE BACKUPDIR\n"
         "\n"
         "  SOURCE       バックアップするファイル・ディレクトリ / file or directory to back up\n"
         "  BACKUPDIR    バックアップディレクトリ / directory that holds the generations\n"
         "  " + O + "Mn          保存する世代数 / number of generations to keep (e.g. " + O + "M5)\n"
         "  " + O + "NOFORCE     上書きしない / never overwrite existing copies\n"
         "  " + O + "NODEL       ファイル・フォルダを消さない / keep files that vanished from the source\n"
         "  " + O + "NOMSG       エラーをログに記録して続行 / log failures instead of showing them, and go on\n"
         "  " + O + "NOTIME      時間比較をしない / copy files without comparing their times (and share none)\n"
         "  " + O + "LINK        変更のないファイルは前の世代とハードリンクで共有 / files unchanged since the\n"
         "               newest generation are hard-linked to it where they cannot be cloned\n"
         "  --           以降の引数はすべてパス / every argument after it is a path\n"
         "  --help       この説明 / this text\n"
         "  --version    バージョン / version\n"
         "\n"
         "パラメタなしで起動するとダイアログを表示します。/ Without parameters the dialog opens.\n"
         "終了コード / exit status: 0 成功 success, 1 一部失敗 some operations failed (" + O +
         "NOMSG), 2 失敗 failed or refused (an unknown option too), 3 既に起動中 another instance's "
         "window is open.\n";
}

}  // namespace veldar
