#include "res/translation.h"

#include <algorithm>
#include <regex>
#include <unordered_map>
#include <vector>

#include "platform/system_reasons.h"

namespace veldar {
namespace {

struct Entry {
  const char* japanese;
  const char* english;
  // A phrase is translated inside the messages that hold it; any other text
  // only when it is the whole text (a word such as "検索" is not replaced in
  // a path).
  bool phrase;
};

// clang-format off
constexpr Entry kTable[] = {
    // ---- Dialogs: captions, controls, menus ----
    {"Veldar [ﾊﾞｰｼﾞｮﾝ情報]", "Veldar [About]", false},
    {"ﾛｸﾞ(&L)", "&Log", false},
    {"ﾛｸﾞを見る(&L)", "&View Log", false},
    {"ﾛｸﾞを消す(&D)", "&Delete Log", false},
    {"ﾛｸﾞｻｲｽﾞを変更する(&C)", "&Change Log Size...", false},
    {"ﾍﾙﾌﾟ(&H)", "&Help", false},
    {"ﾊﾞｰｼﾞｮﾝ情報(&A)", "&About Veldar", false},
    {"バージョン情報 VELDAR2(&A)...", "&About VELDAR2...", false},
    {"検索", "Browse...", false},
    {"ﾌｧｲﾙ・ﾎﾙﾀﾞを消さない (/NODEL)", "Keep files and folders gone from the source (/NODEL)", false},
    {"強制的に書きつぶさない (/NOFORCE)", "Never overwrite existing copies (/NOFORCE)", false},
    {"時間比較をしない (/NOTIME)", "Do not compare times (/NOTIME)", false},
    {"レストア", "Restore", false},
    {"バックアップ", "Back Up", false},
    {"ｷｬﾝｾﾙ", "Cancel", false},
    {"バックアップファイル・ディレクトリ（元）", "File or folder to back up (source)", false},
    {"バックアップディレクトリ（先）", "Backup folder (destination)", false},
    {"バックアップ世代数", "Generations to keep", false},
    {"レストアするディレクトリ・ファイル（元）", "Generation to restore (source)", false},
    {"復元するディレクトリ（先）", "Folder to restore into (destination)", false},
    {"ﾚｽﾄｱ", "Restore", false},
    {"ログサイズ", "Log size", false},
    {"成功ログを記録する。", "Log what was done", false},
    {"スキップログを記録する。", "Log what was skipped", false},
    {"キャンセル", "Cancel", false},
    {"バックアップ  Version 2.00", "Backup  Version 2.00", false},
    {"Qt 6 (LGPLv3) を使用しています。", "Uses Qt 6 (LGPLv3).", false},
    {"Windows 版 (MinGW-w64)", "Windows edition (MinGW-w64)", false},
    {"コピーしています...", "Copying...", false},
    {"閉じる", "Close", false},
    {"フォルダを開く", "Open Folder", false},
    {"［前回の確認で問題あり］", "[failed its last verify]", false},

    // ---- Pickers and the source's menu ----
    {"開く", "Open", false},
    {"すべてのファイル(*.*)", "All files (*.*)", false},
    {"バックアップするホルダ", "Folder to back up", false},
    {"バックアップ先のホルダ", "Folder to keep the backups in", false},
    {"復元するホルダ", "Folder to restore into", false},
    {"ファイルを選ぶ(&F)...", "Choose a &File...", false},
    {"ホルダを選ぶ(&D)...", "Choose a Fol&der...", false},

    // ---- The progress window and the terminal's progress line ----
    {" ファイル、", " files, ", true},
    {"調べています... ", "Scanning... ", true},
    {"中止しています...", "Stopping...", true},
    {"ディスクに書き込んでいます...", "Writing to the disk...", true},
    {"、残り ", ", left ", true},
    {"%1/%2 ファイル", "%1/%2 files", false},
    {"調べています... %1 ファイル", "scanning... %1 files", false},
    {"残り %1", "%1 left", false},

    // ---- Message boxes (and their lines on standard error) ----
    {"ファイルを開けません。", "Cannot open the file.", true},
    {"パラメタの指定誤りです。", "The parameters are wrong: ", true},
    {"復元するディレクトリを入力してください。", "Enter the folder to restore into.", true},
    {"レストアする世代を選んでください。", "Choose the generation to restore.", true},
    {"レストアできる世代がありません。", "There is no generation to restore.", true},
    {"バックアップ完了しました。", "The backup is complete.", true},
    {"レストア完了しました。", "The restore is complete.", true},
    {"レストアに失敗しました。", "The restore failed: ", true},
    {"レストアできません。", "Cannot restore: ", true},
    {"バックアップは終わりましたが、失敗した操作があります。詳しくはログを見てください。",
     "The backup finished, but some operations failed. See the log for details.", true},
    {"バックアップは終わりましたが、失敗した操作があります。今回の処理はログに記録されていません。",
     "The backup finished, but some operations failed. This run is not in the log.", true},
    {"書き込むディレクトリの空き容量が足りません。", "There is not enough free space in the folder written to.", true},
    {"バックアップは終わりましたが、コピーの途中でなくなったファイルやフォルダは含まれていません。",
     "The backup finished, but files or folders that vanished while it was copied are not in it.", true},
    {"ほかのバックアップかレストアがこの書き込むディレクトリを使っています。終わってからやり直してください。",
     "Another backup or restore is using the folder written to. Try again when it has finished.", true},
    {"書き込むディレクトリをロックできません。", "Cannot lock the folder written to: ", true},
    {"書き込むディレクトリのロックファイルの名前を、ロックファイルでないものが使っています。",
     "Something that is not a lock file holds the lock file's name in the folder written to.", true},
    {"中身のあるディレクトリです。", "It is a folder with entries.", true},
    {"ほかのユーザーのものです。", "It is another user's.", true},
    {"取り除けないものです。", "It cannot be removed.", true},
    {"取り除いてからやり直してください。", " Remove it and try again.", true},
    {"バックアップを中止しました。新しい世代はできています。", "The backup was stopped. The new generation is complete.",
     true},
    {"[バックアップするファイル]", "[file or folder to back up]", true},
    {"[書き込むディレクトリ]", "[folder written to]", true},
    {"[世代数]", "[generations]", true},
    {"[世代]", "[generation]", true},
    {"[復元するディレクトリ]", "[folder to restore into]", true},
    {"[復元するファイル]", "[file to restore]", true},
    {"ルートディレクトリはバックアップできません。", "The root folder cannot be backed up.", true},
    {"バックアップするディレクトリが空です。", "The folder to back up is empty.", true},
    {"バックアップするディレクトリが、その世代のディレクトリの中にあります。",
     "The folder to back up is inside one of its own generations.", true},
    {"バックアップするディレクトリと同じか、その中にあるディレクトリには書き込めません。",
     "Cannot write into the folder to back up or into a folder inside it.", true},
    {"バックアップするディレクトリが書き込むディレクトリの中にあるため、世代数は2以上にしてください。",
     "The folder to back up is inside the folder written to: keep 2 generations or more.", true},
    {"必要: ", "needed: ", true},
    {"、空き: ", ", free: ", true},
    {"世代のディレクトリ名に「_」がないため、復元先を決められません。",
     "The generation's folder name has no \"_\", so the folder to restore into cannot be named.", true},
    {"世代のファイル名から、復元するファイル名を作れません。",
     "No name to restore the file under can be made from the generation's name.", true},
    {"失敗した操作があります。詳しくはログを見てください。", "Some operations failed. See the log for details.", true},
    {"失敗した操作があります。今回の処理はログに記録されていません。",
     "Some operations failed. This run is not in the log.", true},
    {"レストアを中止しました。", "The restore was stopped.", true},
    {"復元先のディレクトリが、バックアップディレクトリと同じか、その中か、それを含んでいます。",
     "The folder to restore into is the backup folder, is inside it, or contains it.", true},
    {"復元先の名前にディレクトリではないもの（リンクやファイル）があります。何も変更していません。",
     "Something that is no folder (a link or a file) is on the name restored to. Nothing was changed.", true},
    {"世代が一覧を作った後に変わりました。もう一度レストアしてください。",
     "The generation changed after it was listed. Restore again.", true},
    {"ﾛｸﾞを消してよろしいですか？", "Delete the log?", true},
    {"書き込むディレクトリから、バックアップするディレクトリにないものを削除します（%1 個）:",
     "%1 entr(y/ies) that the folder to back up lacks will be deleted from the folder written to:", true},
    {"復元先から、世代にないものを削除します（%1 個）:",
     "%1 entr(y/ies) that the generation lacks will be deleted from the folder restored to:", true},
    {"復元先の、世代のものより新しいファイルを置き換えます（%1 個）:",
     "%1 file(s) newer than the generation's will be replaced by the generation's:", true},
    {"ほか %1 個", "and %1 more", true},
    {"続けますか？キャンセルすると何も変更しません。", "Go on? Cancel changes nothing.", true},
    {"整数を入力してください。", "Enter a whole number.", true},
    {"%1 から %2 までの整数を入力してください。", "Enter a whole number from %1 to %2.", true},
    {"バックアップを中止しました。世代は置き換えていません。", "The backup was stopped. No generation was replaced.", true},
    {"書き込むディレクトリのディスクが見つからなくなりました（取り外されたか、接続が切れました）。"
     "世代は置き換えていません。つなぎ直してから実行すると、続きから行います。",
     "The disk of the folder written to went away (unplugged or disconnected). No generation was replaced. "
     "Run again once it is back, and the run carries on where this one stopped.", true},

    // ---- Standard error of a start from the command line ----
    {"Veldar のウィンドウが開いているため、何もしませんでした（閉じてからやり直してください）",
     "a Veldar window is open, so nothing was done (close it and start again)", false},
    {"パスが %1 個あります。最初の \"%2\" をバックアップするファイル、最後の \"%3\" を書き込むディレクトリとし、"
     "次のパスは使いません: %4",
     "%1 paths were given: the first (\"%2\") is the source, the last (\"%3\") the backup directory; "
     "not used: %4", false},
    {"不明なオプションです: %1（「%2」で始まるパスは ./%1 と書くか、-- のあとに書きます）",
     "unknown option: %1 (a path beginning with \"%2\" is written ./%1, or after --)", false},
    {"不明なオプションです: %1（「%2」で始まるパスは -- のあとに書きます）",
     "unknown option: %1 (a path beginning with \"%2\" is written after --)", false},
    {"不明なオプションです: %1（「%2」で始まるパスはダブルクォートで囲みます）",
     "unknown option: %1 (a path beginning with \"%2\" is written in double quotes)", false},
    {"ダブルクォート (\") を含むパスは渡せません: %1", "a path with a double quote (\") cannot be passed: %1", false},
    {"%1 のあとには世代の番号を書きます（%2 が最新の世代）: %3",
     "%1 is followed by the number of a generation (%2 is the newest): %3", false},
    {"%1 のあとには除外するパターンを書きます（ダブルクォートは全体を囲むときだけ）: %2",
     "%1 is followed by a pattern to exclude (in double quotes only as a whole): %2", false},
    {"%1 と %2 は一緒に使えません", "%1 and %2 cannot be used together", false},
    {"%1 は %2 と一緒に使います", "%1 is used with %2", false},
    {"%1 はバックアップにだけ使えます（%2 と %3 は何も除外しません）",
     "%1 is for backups only (%2 and %3 leave nothing out)", false},
    {"%1 にはパスを 3 つ書きます（元、バックアップディレクトリ、復元するディレクトリ）。%2 個あります",
     "%1 takes three paths (source, backup directory, directory to restore into); %2 were given", false},
    {"バックアップを中止しました。世代は置き換えていません。次の実行が続きから行います",
     "the backup was cancelled: no generation was replaced, and the next run carries on", false},
    {"バックアップを中止しました。新しい世代はできています。古いコピーの削除は次の実行が行います",
     "the backup was cancelled once the new generation was complete: the next run deletes the old copy", false},
    {"バックアップできませんでした", "the backup failed or was refused", false},
    {"バックアップは終わりましたが、%1 個の操作に失敗しました", "the backup finished, but %1 operation(s) failed", false},
    {"バックアップは終わりましたが、コピーの途中でなくなった %1 個のファイルやフォルダは含まれていません",
     "the backup finished, but %1 entr(y/ies) vanished from the source while it was copied and are not in "
     "the copy", false},
    {"ほかの実行が書き込むディレクトリ %1 を使っているため、何もしませんでした",
     "another run is using the backup directory %1; nothing was done", false},
    {"ログ: %1", "see %1", false},
    {"ログサイズが 0 のため、ログは残りません", "the log size limit is 0: no log is kept", false},
    {"ログにはありません: %1 を開くか書き込むことができませんでした",
     "not in the log: %1 could not be opened or written", false},
    {"ダイアログを表示できません: %1", "cannot show the dialog: %1", false},
    {"ダイアログは %1 パッケージにあります（インストール: %2）", "the dialogs are in the package %1 (to install it: %2)",
     false},
    {"ウィンドウなしでバックアップするには、パラメタを付けて起動してください（%1）",
     "start it with parameters for a backup without a window (%1)", false},
    {"ディスプレイがありません（DISPLAY も WAYLAND_DISPLAY も設定されていません）",
     "no display (DISPLAY and WAYLAND_DISPLAY are not set)", false},
    {"ディスプレイに接続できませんでした", "the display could not be reached", false},
    {"ディスプレイがありません", "no display", false},
    {"エラー %1", "error %1", false},
    {"二重起動を確かめられません: %1", "no single-instance check: %1", false},
    {"ソケット用のプライベートなディレクトリがありません", "no private directory for its socket", false},
    {"設定を保存しません: %1 は通常のファイルではありません（%2）", "settings not saved: %1 is not a regular file (%2)",
     false},
    {"デバイス", "a device", false},
    {"FIFO", "a FIFO", false},
    {"ディレクトリ", "a directory", false},
    {"ソケット", "a socket", false},
    {"特殊なファイル", "a special file", false},

    // ---- The backup medium: what it cannot keep (log and standard error) ----
    {"権限なし", "no permissions", false},
    {"所有者なし", "no owner", false},
    {"時刻は %1 単位", "times to %1", false},
    {"大文字と小文字の区別なし", "case ignored", false},
    {"リンクなし", "no links", false},
    {"ハードリンクなし", "no hard links", false},
    {"名前に %1 なし", "no %1 in names", false},
    {"名前に制御文字なし", "no control characters in names", false},
    {"名前の末尾に点や空白なし", "no dot or blank at the end of a name", false},
    {"ファイルは %1 バイトまで", "files up to %1 bytes", false},
    {"空き容量は不明", "free space unknown", false},
    {"名前を変えたディレクトリは中身を失う", "a renamed directory loses what it holds", false},
    {"書き込むディレクトリ %1 の媒体が保てないもの: %2", "the backup medium of %1 does not keep: %2", false},
    {"書き込むディレクトリの媒体はこれらの名前を区別しません", "the backup medium does not tell these names apart",
     false},
    {"書き込むディレクトリの媒体はこの名前を保てません", "the backup medium cannot hold this name", false},
    {"書き込むディレクトリの媒体が保てる最大のファイルより大きいファイルです",
     "the file is larger than the largest file the backup medium can hold", false},
    {"書き込むディレクトリの媒体はリンクを保てません", "the backup medium cannot hold links", false},
    {"コピーしていません: %1（%2）", "not copied: %1 (%2)", false},
    {"ほかに %1 個のファイルやフォルダを、書き込むディレクトリの媒体が保てないためコピーしていません（ログ: %2）",
     "%1 more entr(y/ies) not copied because the backup medium cannot hold them (see %2)", false},
    {"元では他人が読めなかったファイル %1 個が、書き込むディレクトリの媒体では、その媒体を読める人なら誰でも読めます"
     "（すべてのファイルを権限 %2 にする媒体です。自分だけが読めるようにマウントするには uid= と umask=077 を使います）",
     "%1 file(s) private in the source are readable by anyone who can read the backup medium (it gives every "
     "file mode %2; mount it with uid= and umask=077 to keep them private)", false},

    // ---- The summary of a run on standard output ----
    {"コピー %1、共有 %2、削除 %3、失敗 %4、%5 バイト、%6",
     "%1 copied, %2 shared, %3 deleted, %4 failed, %5 bytes, %6", false},
    {"コピー %1、共有 %2、削除 %3、失敗 %4、上書きせず残した %7、%5 バイト、%6",
     "%1 copied, %2 shared, %3 deleted, %4 failed, %7 left as they were (no-force), %5 bytes, %6", false},

    // ---- Dry runs, restores and notifications of batch runs ----
    {"試行のため何も変更していません。コピー %1 個（%2 バイト）、共有 %3 個（%4 バイト）、作成するディレクトリ %5 個、削除 %6 個、必要な空き容量 %7 バイト",
     "dry run, nothing changed: %1 file(s) to copy (%2 bytes), %3 to share (%4 bytes), %5 director(y/ies) to "
     "create, %6 to delete, %7 bytes of free space needed", false},
    {"、上書きせず残すもの %1 個", ", %1 left as they were (no-force)", false},
    {"世代 %1 はありません（%2 の世代は %3 個です）", "there is no generation %1 (%2 holds %3)", false},
    {"Veldar: バックアップに失敗しました", "Veldar: the backup failed", false},
    {"Veldar: レストアに失敗しました", "Veldar: the restore failed", false},
    {"Veldar: パラメタの指定誤りのため、何もしませんでした", "Veldar: the parameters are wrong; nothing was done", false},

    // ---- The list of generations (-LIST) ----
    {"世代はありません", "no generations", false},
    {"番号", "#", false},
    {"完了日時", "completed", false},
    {"ファイル数", "files", false},
    {"サイズ", "size", false},
    {"状態", "state", false},
    {"名前", "name", false},
    {"完了", "complete", false},
    {"未完了", "incomplete", false},
    {"中断（作業ディレクトリ）", "interrupted (working directory)", false},
    {"書き込むディレクトリを読めません", "cannot read the backup directory", true},
    {"世代の一覧には、バックアップするファイルと書き込むディレクトリが要ります",
     "listing generations needs the source and the backup directory", false},
    {"専有", "own", false},
    {"世代の確認には、バックアップするファイルと書き込むディレクトリが要ります",
     "verifying generations needs the source and the backup directory", false},
    {"マニフェストがありません（以前の版で作った世代）", "no manifest (made by an earlier version)", false},
    {"マニフェストが壊れています", "the manifest is damaged", false},
    {"最後まで確かめられませんでした", "could not be checked to the end", false},
    {"問題があります", "does not hold", false},
    {"問題ありません", "holds", false},
    {"世代の中で壊れていたファイルが %1 個あり、そのまま復元しました（ログに書きました）",
     "Files damaged in the generation, restored as they are: %1 (the log names them)", false},
    {"ファイル", "files", false},
    {"更新日時", "modified", false},
    {"新しい世代と", "vs. newer", false},
    {"世代", "generation", false},
    {"同じ（共有）", "same (shared)", false},
    {"同じ", "same", false},
    {"違う", "differs", false},
    {"ない", "not there", false},
    {"どの世代にもありません", "in no generation", false},
    {"ファイルの世代には、その中のパスはありません: ", "a file's generations hold no paths: ", true},

    // ---- Restoring with the source gone, and part of a generation (-ONLY) ----
    {"パス「%1」は使えません: %2", "path \"%1\" cannot be used: %2", false},
    // The same inside a longer message (the restore's refusal).
    {"パス「", "path \"", true},
    {"元からの相対パスを書きます（/ で始めません）", "write it relative to the source (not beginning with /)", true},
    {"%1 のあとには元からの相対パスを書きます（ダブルクォートは全体を囲むときだけ）: %2",
     "%1 is followed by a path relative to the source (in double quotes only as a whole): %2", false},
    {"%1 は %2 か %3 と一緒に使います", "%1 is used with %2 or %3", false},
    {"%1 と一緒に書ける %2 は 1 つだけです", "%1 takes one %2 only", false},
    {"書き込むディレクトリにこの元の世代がありません: ", "The folder written to holds no generation of it: ", true},
    {"復元先のディレクトリが、バックアップディレクトリと同じか、その中にあります。",
     "The folder to restore into is the backup folder or inside it.", true},
    {"一部だけを復元できるのは、ディレクトリの世代だけです。", "Only a folder's generation can be restored in part.",
     true},
    {"この世代にないパスです: ", "Not in this generation: ", true},

    // ---- Exclude patterns ----
    {"除外パターン「%1」は使えません: %2", "exclude pattern \"%1\" cannot be used: %2", false},
    // The same inside a longer message (the pre-check's refusal of a stored pattern).
    {"除外パターン「", "exclude pattern \"", true},
    {"」は使えません: ", "\" cannot be used: ", true},
    {"名前がありません", "it names nothing", true},
    {"空の名前 (//) があります", "an empty name (//)", true},
    {". や .. は使えません", "\".\" and \"..\" are no names here", true},
    {"** は / と / の間にそれだけで書きます（a/**/b）", "** stands alone between slashes (a/**/b)", true},
    {"名前の区切りは / です（\\ は使えません）", "names are separated by / (not \\)", true},
    {"制御文字を含んでいます", "it holds a control character", true},
    {"! で始まる否定はありません（! で始まる名前は ?名前 と書きます）",
     "there is no negation (write a name beginning with ! as ?name)", true},
    {"[ を閉じる ] が同じ名前の中にありません（[ そのものは [[] と書きます）",
     "a [ has no ] after it in the same name (write [ itself as [[])", true},
    {"[: と :] の間は alpha digit alnum upper lower space blank punct xdigit cntrl graph print のどれかです",
     "between [: and :] comes one of alpha digit alnum upper lower space blank punct xdigit cntrl graph print", true},
    {"除外パターンを除くと、バックアップするディレクトリにファイルが残りません: ",
     "No file of the folder to back up is left after the exclude patterns: ", true},
};
// clang-format on

const std::unordered_map<std::string_view, std::string_view>& Texts() {
  static const std::unordered_map<std::string_view, std::string_view> texts = [] {
    std::unordered_map<std::string_view, std::string_view> map;
    for (const Entry& entry : kTable) map.emplace(entry.japanese, entry.english);
    return map;
  }();
  return texts;
}

// A phrase with numbers in it ("%1 から %2 ..."), found by its pattern.
struct NumberedPhrase {
  std::regex pattern;
  std::string english;
};

struct Phrases {
  std::vector<const Entry*> plain;  // longest first
  std::vector<NumberedPhrase> numbered;
};

const Phrases& PhraseTable() {
  static const Phrases phrases = [] {
    Phrases table;
    for (const Entry& entry : kTable) {
      if (!entry.phrase) continue;
      const std::string japanese = entry.japanese;
      if (japanese.find('%') == std::string::npos) {
        table.plain.push_back(&entry);
        continue;
      }
      // Escaped as a regular expression, each %n a number.
      std::string pattern;
      for (std::size_t i = 0; i < japanese.size(); ++i) {
        if (japanese[i] == '%' && i + 1 < japanese.size() && japanese[i + 1] >= '1' && japanese[i + 1] <= '9') {
          pattern += "(\\d+)";
          ++i;
        } else if (std::string("\\^$.|?*+()[]{}").find(japanese[i]) != std::string::npos) {
          pattern += '\\';
          pattern += japanese[i];
        } else {
          pattern += japanese[i];
        }
      }
      table.numbered.push_back({std::regex(pattern), entry.english});
    }
    std::stable_sort(table.plain.begin(), table.plain.end(), [](const Entry* a, const Entry* b) {
      return std::string_view(a->japanese).size() > std::string_view(b->japanese).size();
    });
    return table;
  }();
  return phrases;
}

// `text` with each system's reason in Japanese: a line that is one, or the
// end of a line after ": " (where the messages put them, after a path or a
// field's name). Only a whole line or a whole end is taken, so that a path
// holding a reason's words is kept.
std::string ReasonsInJapanese(const std::string& text) {
  std::string message;
  std::size_t start = 0;
  while (true) {
    const std::size_t end = std::min(text.find('\n', start), text.size());
    std::string line = text.substr(start, end - start);
    if (std::string japanese = JapaneseSystemReason(line); !japanese.empty()) {
      line = std::move(japanese);
    } else if (const std::size_t colon = line.rfind(": "); colon != std::string::npos) {
      japanese = JapaneseSystemReason(std::string_view(line).substr(colon + 2));
      if (!japanese.empty()) line.replace(colon + 2, std::string::npos, japanese);
    }
    message += line;
    if (end == text.size()) return message;
    message += '\n';
    start = end + 1;
  }
}

}  // namespace

std::string Translate(Language language, std::string_view japanese) {
  if (language == Language::kJapanese) return std::string(japanese);
  const auto found = Texts().find(japanese);
  return std::string(found == Texts().end() ? japanese : found->second);
}

std::string TranslateReason(Language language, const std::string& reason) {
  // The log's reasons are the system's English (or, on Windows, its
  // interface language, which the program speaks too).
  if (language != Language::kJapanese) return reason;
  const std::string japanese = JapaneseSystemReason(reason);
  return japanese.empty() ? reason : japanese;
}

std::string TranslateMessage(Language language, const std::string& text) {
  if (language == Language::kJapanese) return ReasonsInJapanese(text);
  std::string message = text;
  for (const NumberedPhrase& phrase : PhraseTable().numbered) {
    std::smatch match;
    while (std::regex_search(message, match, phrase.pattern)) {
      std::string english = phrase.english;
      for (std::size_t n = match.size() - 1; n >= 1; --n) {
        const std::string marker = "%" + std::to_string(n);
        for (std::size_t at = english.find(marker); at != std::string::npos; at = english.find(marker, at))
          english.replace(at, marker.size(), match[n].str());
      }
      message.replace(static_cast<std::size_t>(match.position(0)), static_cast<std::size_t>(match.length(0)), english);
    }
  }
  // Longest first, so that a phrase inside a longer one is not taken alone.
  // What is put in is English, which holds no Japanese phrase to take again.
  for (const Entry* phrase : PhraseTable().plain) {
    const std::string_view japanese = phrase->japanese;
    for (std::size_t at = message.find(japanese); at != std::string::npos;
         at = message.find(japanese, at + std::string_view(phrase->english).size())) {
      message.replace(at, japanese.size(), phrase->english);
    }
  }
  return message;
}

std::string FormatText(std::string_view pattern, std::initializer_list<std::string> arguments) {
  const std::vector<std::string> values(arguments);
  std::string text;
  text.reserve(pattern.size());
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    const char next = i + 1 < pattern.size() ? pattern[i + 1] : '\0';
    if (pattern[i] == '%' && next >= '1' && next <= '9' && static_cast<std::size_t>(next - '1') < values.size()) {
      text += values[static_cast<std::size_t>(next - '1')];
      ++i;
    } else {
      text += pattern[i];
    }
  }
  return text;
}

}  // namespace veldar
