#include "platform/system_reasons.h"

#include <windows.h>

#include <unordered_map>

#include "platform/win32_text.h"

namespace veldar {
namespace {

struct Reason {
  int code;
  const char* japanese;
};

// The codes a backup meets most, in Japanese, for where the program speaks
// Japanese and the system's texts are not.
constexpr Reason kJapanese[] = {
    {ERROR_FILE_NOT_FOUND, "指定されたファイルが見つかりません"},
    {ERROR_PATH_NOT_FOUND, "指定されたパスが見つかりません"},
    {ERROR_ACCESS_DENIED, "アクセスが拒否されました"},
    {ERROR_ALREADY_EXISTS, "既に存在するファイルを作成することはできません"},
    {ERROR_FILE_EXISTS, "ファイルが存在します"},
    {ERROR_DISK_FULL, "ディスクに十分な空き領域がありません"},
    {ERROR_HANDLE_DISK_FULL, "ディスクがいっぱいです"},
    {ERROR_WRITE_PROTECT, "メディアは書き込み禁止になっています"},
    {ERROR_DIRECTORY, "ディレクトリ名が無効です"},
    {ERROR_DIR_NOT_EMPTY, "ディレクトリが空ではありません"},
    {ERROR_FILENAME_EXCED_RANGE, "ファイル名または拡張子が長すぎます"},
    {ERROR_INVALID_NAME, "ファイル名、ディレクトリ名、またはボリューム ラベルの構文が間違っています"},
    {ERROR_SHARING_VIOLATION, "別のプロセスが使用中のため、プロセスはファイルにアクセスできません"},
    {ERROR_LOCK_VIOLATION, "別のプロセスがファイルの一部をロックしているため、プロセスはファイルにアクセスできません"},
    {ERROR_BUSY, "要求されたリソースは使用中です"},
    {ERROR_IO_DEVICE, "I/O デバイス エラーのため、要求を実行できませんでした"},
    {ERROR_CRC, "データ エラー (巡回冗長検査 (CRC) エラー) です"},
    {ERROR_NOT_READY, "デバイスの準備ができていません"},
    {ERROR_GEN_FAILURE, "システムに接続されたデバイスが機能していません"},
    {ERROR_NOT_SUPPORTED, "要求はサポートされていません"},
    {ERROR_NOT_SAME_DEVICE, "別のディスク ドライブへは移動できません"},
    {ERROR_INVALID_PARAMETER, "パラメーターが間違っています"},
    {ERROR_PRIVILEGE_NOT_HELD, "クライアントは要求された特権を保有していません"},
    {ERROR_CANCELLED, "操作は取り消されました"},
    {ERROR_BAD_NETPATH, "ネットワーク パスが見つかりません"},
    {ERROR_NETNAME_DELETED, "指定されたネットワーク名は利用できません"},
};

constexpr unsigned short kPrimaryJapanese = 0x11;  // LANG_JAPANESE

const std::unordered_map<std::string, const char*>& JapaneseOfTexts() {
  static const std::unordered_map<std::string, const char*> japanese = [] {
    std::unordered_map<std::string, const char*> map;
    for (const Reason& reason : kJapanese) map.emplace(SystemErrorText(reason.code), reason.japanese);
    return map;
  }();
  return japanese;
}

}  // namespace

std::string SystemErrorText(int code) {
  wchar_t* text = nullptr;
  const DWORD length =
      FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER,
                     nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string result;
  if (length > 0 && text != nullptr) result = WideToUtf8(std::wstring_view(text, length));
  if (text != nullptr) LocalFree(text);
  while (!result.empty() &&
         (result.back() == '\r' || result.back() == '\n' || result.back() == ' ' || result.back() == '.')) {
    result.pop_back();
  }
  if (result.empty()) result = "Error " + std::to_string(code);
  return result;
}

std::string JapaneseSystemReason(std::string_view text) {
  // The system's texts are in the user's interface language: Japanese there
  // already.
  if ((GetUserDefaultUILanguage() & 0x3FF) == kPrimaryJapanese) return std::string();
  const auto found = JapaneseOfTexts().find(std::string(text));
  return found == JapaneseOfTexts().end() ? std::string() : std::string(found->second);
}

}  // namespace veldar
