#include "platform/system_reasons.h"

#include <locale.h>
#include <string.h>

#include <cerrno>
#include <unordered_map>

namespace veldar {
namespace {

struct Reason {
  int code;
  const char* japanese;
};

// The codes a backup meets most, in Japanese as the C library's own
// messages have them (where it has none, in ours), so that they read alike
// wherever the system lacks a Japanese locale. A code may stand twice under
// two names (EAGAIN and EWOULDBLOCK): the first is taken.
constexpr Reason kJapanese[] = {
    {ENOENT, "そのようなファイルやディレクトリはありません"},
    {EACCES, "許可がありません"},
    {EPERM, "許可されていない操作です"},
    {EEXIST, "ファイルが存在します"},
    {ENOSPC, "デバイスに空き領域がありません"},
    {EDQUOT, "ディスク使用量制限を超過しました"},
    {EROFS, "読み込み専用ファイルシステムです"},
    {ENOTDIR, "ディレクトリではありません"},
    {EISDIR, "ディレクトリです"},
    {ENOTEMPTY, "ディレクトリは空ではありません"},
    {ENAMETOOLONG, "ファイル名が長すぎます"},
    {ELOOP, "シンボリックリンクの階層が多すぎます"},
    {EBUSY, "デバイスもしくはリソースがビジー状態です"},
    {ETXTBSY, "テキストファイルがビジー状態です"},
    {EAGAIN, "リソースが一時的に利用できません"},
    {EWOULDBLOCK, "リソースが一時的に利用できません"},
    {EIO, "入力/出力エラーです"},
    {EOPNOTSUPP, "サポートされていない操作です"},
    {ENOTSUP, "サポートされていない操作です"},
    {EXDEV, "無効なクロスデバイスリンクです"},
    {EINVAL, "無効な引数です"},
    {EFBIG, "ファイルが大きすぎます"},
    {EMLINK, "リンクが多すぎます"},
    {ENODEV, "そのようなデバイスはありません"},
    {ENXIO, "そのようなデバイスやアドレスはありません"},
    {ESTALE, "ファイルハンドルが古くなっています"},
    {ECANCELED, "操作は中断されました"},
    {ENOMEM, "メモリを確保できません"},
    {EMFILE, "ファイルを開きすぎです"},
    {ENFILE, "システム中のファイルを開きすぎです"},
    {ETIMEDOUT, "接続がタイムアウトしました"},
    {ENOTCONN, "通信端点が接続されていません"},
    {ESHUTDOWN, "通信端点のシャットダウン後は送信できません"},
#ifdef ENOMEDIUM
    {ENOMEDIUM, "メディアが見つかりません"},
#endif
    {EIDRM, "識別子を除去しました"},
    {EOVERFLOW, "定義されたデータ型に対して値が大きすぎます"},
};

// Above every errno value a system defines (Linux stops below 140).
constexpr int kLastCode = 255;

locale_t CLocale() {
  static const locale_t locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
  return locale;
}

// Null where the system has no Japanese locale. UTF-8 in every category:
// the C library writes its messages in the locale's character set.
locale_t JapaneseLocale() {
  static const locale_t locale = newlocale(LC_ALL_MASK, "ja_JP.UTF-8", static_cast<locale_t>(0));
  return locale;
}

const std::unordered_map<std::string, int>& CodesOfTexts() {
  static const std::unordered_map<std::string, int> codes = [] {
    std::unordered_map<std::string, int> map;
    for (int code = 1; code <= kLastCode; ++code) map.emplace(SystemErrorText(code), code);
    return map;
  }();
  return codes;
}

}  // namespace

std::string SystemErrorText(int code) {
  // In the C locale whatever the process's is: a toolkit sets that from the
  // environment (Qt does), which would change the log's texts with the user.
  const char* text = CLocale() ? strerror_l(code, CLocale()) : nullptr;
  return text && *text ? std::string(text) : "Unknown error " + std::to_string(code);
}

std::string JapaneseSystemReason(std::string_view text) {
  const auto found = CodesOfTexts().find(std::string(text));
  if (found == CodesOfTexts().end()) return std::string();
  for (const Reason& reason : kJapanese) {
    if (reason.code == found->second) return reason.japanese;
  }
  if (!JapaneseLocale()) return std::string();
  const char* japanese = strerror_l(found->second, JapaneseLocale());
  // A message the C library has not translated comes back in English.
  return japanese && text != japanese ? std::string(japanese) : std::string();
}

}  // namespace veldar
