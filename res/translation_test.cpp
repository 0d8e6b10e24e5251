#include "res/translation.h"

#include <gtest/gtest.h>

#include <memory>

#include "platform/os.h"

namespace veldar {
namespace {

TEST(LanguageTest, LanguageListFirstThenTheLocaleOfMessages) {
  struct Case {
    const char *language, *all, *messages, *lang;
    Language expected;
  } cases[] = {
      {nullptr, nullptr, nullptr, "en_US.UTF-8", Language::kEnglish},
      {nullptr, nullptr, nullptr, "ja_JP.UTF-8", Language::kJapanese},
      {nullptr, nullptr, nullptr, "de_DE.UTF-8", Language::kEnglish},  // every other locale
      {nullptr, nullptr, nullptr, "fr_FR", Language::kEnglish},
      {nullptr, nullptr, nullptr, "C", Language::kJapanese},  // the program's own
      {nullptr, nullptr, nullptr, "C.UTF-8", Language::kJapanese},
      {nullptr, nullptr, nullptr, "POSIX", Language::kJapanese},
      {nullptr, nullptr, nullptr, nullptr, Language::kJapanese},
      {nullptr, nullptr, "en_GB.UTF-8", "ja_JP.UTF-8", Language::kEnglish},
      {nullptr, "C.UTF-8", "en_GB.UTF-8", "en_US.UTF-8", Language::kJapanese},  // LC_ALL wins
      {nullptr, "", "", "en", Language::kEnglish},                              // empty is unset
      {"en", nullptr, nullptr, "ja_JP.UTF-8", Language::kEnglish},              // LANGUAGE first
      {"ja", "en_US.UTF-8", nullptr, nullptr, Language::kJapanese},
      {"fr:de:en_GB:ja", nullptr, nullptr, "ja_JP.UTF-8", Language::kEnglish},  // the first of the two
      {"fr:de", nullptr, nullptr, "ja_JP.UTF-8", Language::kJapanese},          // neither: the locale
      {"", nullptr, nullptr, "de_DE", Language::kEnglish},
  };
  for (const Case& c : cases) {
    auto show = [](const char* value) { return value ? value : "-"; };
    EXPECT_EQ(LanguageFrom(c.language, c.all, c.messages, c.lang), c.expected)
        << show(c.language) << " " << show(c.all) << " " << show(c.messages) << " " << show(c.lang);
  }
  EXPECT_EQ(LanguageOfUiLanguage(0x0411), Language::kJapanese);  // ja-JP
  EXPECT_EQ(LanguageOfUiLanguage(0x0409), Language::kEnglish);   // en-US
  EXPECT_EQ(LanguageOfUiLanguage(0x0407), Language::kEnglish);   // de-DE
}

TEST(TranslationTest, TextsAndMessagesInEachLanguage) {
  EXPECT_EQ(Translate(Language::kEnglish, "ﾛｸﾞを見る(&L)"), "&View Log");
  EXPECT_EQ(Translate(Language::kJapanese, "ﾛｸﾞを見る(&L)"), "ﾛｸﾞを見る(&L)");
  EXPECT_EQ(Translate(Language::kEnglish, "no such text"), "no such text");

  struct Case {
    std::string japanese, english;
  } messages[] = {
      {"パラメタの指定誤りです。[バックアップするファイル]\n/home/花子/missing\nNo such file",
       "The parameters are wrong: [file or folder to back up]\n/home/花子/missing\nNo such file"},
      {"0 から 999 までの整数を入力してください。", "Enter a whole number from 0 to 999."},
      {"120 / 800 ファイル、1.20 GB / 2.70 GB", "120 / 800 files, 1.20 GB / 2.70 GB"},
      {"ディスクに書き込んでいます...", "Writing to the disk..."},
      // A word of the dialogs inside a path is no phrase of a message.
      {"ERROR MKDIR /検索/レストア", "ERROR MKDIR /検索/レストア"},
  };
  for (const Case& c : messages) {
    EXPECT_EQ(TranslateMessage(Language::kEnglish, c.japanese), c.english);
    EXPECT_EQ(TranslateMessage(Language::kJapanese, c.japanese), c.japanese);
  }

  EXPECT_EQ(FormatText("%1 / %2 %3%", {"a", "b"}), "a / b %3%");
}

// The system's reasons, which the log keeps as the system gives them, read
// in the program's language: in Japanese where it speaks Japanese, whether a
// reason is a line of its own (the engine's messages) or ends a line after
// ": " (the failure lines and the generation list), and only there.
TEST(TranslationTest, SystemReasonsFollowTheProgramsLanguage) {
  const std::unique_ptr<Os> os = MakeSystemOs();
  struct Case {
    ErrorKind kind;
    std::string japanese;
  } cases[] = {
#ifdef _WIN32
      {ErrorKind::kNotFound, "指定されたファイルが見つかりません"},
      {ErrorKind::kAccessDenied, "アクセスが拒否されました"},
      {ErrorKind::kExists, "既に存在するファイルを作成することはできません"},
      {ErrorKind::kNoSpace, "ディスクに十分な空き領域がありません"},
      {ErrorKind::kReadOnlyFileSystem, "メディアは書き込み禁止になっています"},
      {ErrorKind::kNotDirectory, "ディレクトリ名が無効です"},
      {ErrorKind::kNotEmpty, "ディレクトリが空ではありません"},
      {ErrorKind::kLocked, "別のプロセスがファイルの一部をロックしているため、プロセスはファイルにアクセスできません"},
      {ErrorKind::kUnsupported, "要求はサポートされていません"},
#else
      {ErrorKind::kNotFound, "そのようなファイルやディレクトリはありません"},
      {ErrorKind::kAccessDenied, "許可がありません"},
      {ErrorKind::kExists, "ファイルが存在します"},
      {ErrorKind::kNoSpace, "デバイスに空き領域がありません"},
      {ErrorKind::kReadOnlyFileSystem, "読み込み専用ファイルシステムです"},
      {ErrorKind::kNotDirectory, "ディレクトリではありません"},
      {ErrorKind::kNotEmpty, "ディレクトリは空ではありません"},
      {ErrorKind::kLocked, "リソースが一時的に利用できません"},
      {ErrorKind::kUnsupported, "サポートされていない操作です"},
#endif
  };
  const std::string field = "パラメタの指定誤りです。[バックアップするファイル]\n/home/花子/missing\n";
  const std::string unreadable = "書き込むディレクトリを読めません: /mnt/backup: ";
  for (const Case& c : cases) {
    const std::string system = os->ErrorText(os->Error(c.kind));
    EXPECT_EQ(TranslateReason(Language::kJapanese, system), c.japanese) << system;
    EXPECT_EQ(TranslateReason(Language::kEnglish, system), system);
    EXPECT_EQ(TranslateMessage(Language::kJapanese, field + system), field + c.japanese);
    EXPECT_EQ(TranslateMessage(Language::kJapanese, unreadable + system), unreadable + c.japanese);
    EXPECT_EQ(TranslateMessage(Language::kEnglish, field + system),
              "The parameters are wrong: [file or folder to back up]\n/home/花子/missing\n" + system);
    // Inside a name, the same words are the name's.
    const std::string named = "ERROR MKDIR /mnt/" + system + "/a: ";
    EXPECT_EQ(TranslateMessage(Language::kJapanese, named + system), named + c.japanese);
  }
  EXPECT_EQ(TranslateReason(Language::kJapanese, "no reason of the system's"), "no reason of the system's");
}

}  // namespace
}  // namespace veldar
