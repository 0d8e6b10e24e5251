#include "res/string_table.h"

namespace veldar {

std::string LoadString(int id) {
  switch (id) {
    case IDS_ABOUTBOX:
      return "バージョン情報 VELDAR2(&A)...";
    case IDS_SECTION:
      return "SETTINGS";
    case IDS_KEY_GENERATIONS:
      return "DEFALUTFILES";
    case IDS_KEY_LASTFILE:
      return "LASTFILE";
    case IDS_KEY_LASTDIR:
      return "LASTDIR";
    case IDS_KEY_LASTOPT:
      return "LASTOPT";
    case IDS_KEY_LOGSIZE:
      return "LOGSIZE";
    case IDS_KEY_RESDIR:
      return "RESDIR";
    // Option names are held with the Windows option character; the parser
    // puts the platform's own in its place.
    case IDS_OPT_NOTIME:
      return "/NOTIME";
    case IDS_OPT_NOFORCE:
      return "/NOFORCE";
    case IDS_OPT_NODEL:
      return "/NODEL";
    case IDS_OPT_M:
      return "/M";
    case IDS_OPT_NOMSG:
      return "/NOMSG";
    case IDS_OPT_LINK:
      return "/LINK";
    case IDS_KEY_LINK:
      return "LINK";
    // The generations that failed their last verify, per backup directory.
    case IDS_SECTION_VERIFY:
      return "VERIFY";
    case IDS_DEFAULT_GENERATIONS:
      return "3";
    case IDS_DEFAULT_LOGSIZE:
      return "500";
    case IDS_LOG_NAME:
      return "VELDAR2.LOG";
    case IDS_TMPLOG_NAME:
      return "VELDAR2.TMP";
    case IDS_COMPANY:
      return "Orvanta";
    case IDS_PARAM_ERROR:
      return "パラメタの指定誤りです。";
    case IDS_NO_RESTORE_DIR:
      return "復元するディレクトリを入力してください。";
    case IDS_BACKUP_DONE:
      return "バックアップ完了しました。";
    case IDS_RESTORE_DONE:
      return "レストア完了しました。";
    case IDS_KEY_LOGOPT:
      return "LOGOPT";
    case IDS_RESTORE_FAILED:
      return "レストアに失敗しました。";
    case IDS_RESTORE_REFUSED:
      return "レストアできません。";
    case IDS_BACKUP_PARTIAL:
      return "バックアップは終わりましたが、失敗した操作があります。詳しくはログを見てください。";
    // For a run whose lines are not in the log: the user is not sent there.
    case IDS_BACKUP_PARTIAL_UNLOGGED:
      return "バックアップは終わりましたが、失敗した操作があります。今回の処理はログに記録されていません。";
    case IDS_NO_ROOM:
      return "書き込むディレクトリの空き容量が足りません。";
    // Entries that vanished from the source while it was being copied.
    case IDS_BACKUP_VANISHED:
      return "バックアップは終わりましたが、コピーの途中でなくなったファイルやフォルダは含まれていません。";
    case IDS_BACKUP_DIR_BUSY:
      return "ほかのバックアップかレストアがこの書き込むディレクトリを使っています。"
             "終わってからやり直してください。";
    default:
      return {};
  }
}

}  // namespace veldar
