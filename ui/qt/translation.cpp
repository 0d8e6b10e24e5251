#include "ui/qt/translation.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QRegularExpression>
#include <QTranslator>
#include <algorithm>
#include <vector>

namespace veldar {
namespace {

constexpr char kContext[] = "VELDAR2";

// The phrases messages are made of (the engine's and the dialogs'), each
// translated where it stands in a message.
const char* const kPhrases[] = {
    QT_TRANSLATE_NOOP("VELDAR2", " ファイル、"),
    QT_TRANSLATE_NOOP("VELDAR2", "調べています... "),
    QT_TRANSLATE_NOOP("VELDAR2", "中止しています..."),
    QT_TRANSLATE_NOOP("VELDAR2", "ディスクに書き込んでいます..."),
    QT_TRANSLATE_NOOP("VELDAR2", "、残り "),
    QT_TRANSLATE_NOOP("VELDAR2", "パラメタの指定誤りです。"),
    QT_TRANSLATE_NOOP("VELDAR2", "復元するディレクトリを入力してください。"),
    QT_TRANSLATE_NOOP("VELDAR2", "バックアップ完了しました。"),
    QT_TRANSLATE_NOOP("VELDAR2", "レストア完了しました。"),
    QT_TRANSLATE_NOOP("VELDAR2", "レストアに失敗しました。"),
    QT_TRANSLATE_NOOP("VELDAR2", "レストアできません。"),
    QT_TRANSLATE_NOOP("VELDAR2", "バックアップは終わりましたが、失敗した操作があります。詳しくはログを見てください。"),
    QT_TRANSLATE_NOOP("VELDAR2", "バックアップは終わりましたが、失敗した操作があります。今回の処理はログに記録されていません。"),
    QT_TRANSLATE_NOOP("VELDAR2", "書き込むディレクトリの空き容量が足りません。"),
    QT_TRANSLATE_NOOP("VELDAR2", "バックアップは終わりましたが、コピーの途中でなくなったファイルやフォルダは含まれていません。"),
    QT_TRANSLATE_NOOP("VELDAR2", "ほかのバックアップかレストアがこの書き込むディレクトリを使っています。終わってからやり直してください。"),
    QT_TRANSLATE_NOOP("VELDAR2", "[バックアップするファイル]"),
    QT_TRANSLATE_NOOP("VELDAR2", "[書き込むディレクトリ]"),
    QT_TRANSLATE_NOOP("VELDAR2", "[世代数]"),
    QT_TRANSLATE_NOOP("VELDAR2", "[世代]"),
    QT_TRANSLATE_NOOP("VELDAR2", "[復元するディレクトリ]"),
    QT_TRANSLATE_NOOP("VELDAR2", "[復元するファイル]"),
    QT_TRANSLATE_NOOP("VELDAR2", "ルートディレクトリはバックアップできません。"),
    QT_TRANSLATE_NOOP("VELDAR2", "バックアップするディレクトリが空です。"),
    QT_TRANSLATE_NOOP("VELDAR2", "バックアップするディレクトリが、その世代のディレクトリの中にあります。"),
    QT_TRANSLATE_NOOP("VELDAR2", "バックアップするディレクトリと同じか、その中にあるディレクトリには書き込めません。"),
    QT_TRANSLATE_NOOP("VELDAR2", "バックアップするディレクトリが書き込むディレクトリの中にあるため、世代数は2以上にしてください。"),
    QT_TRANSLATE_NOOP("VELDAR2", "必要: "),
    QT_TRANSLATE_NOOP("VELDAR2", "、空き: "),
    QT_TRANSLATE_NOOP("VELDAR2", "世代のディレクトリ名に「_」がないため、復元先を決められません。"),
    QT_TRANSLATE_NOOP("VELDAR2", "世代のファイル名から、復元するファイル名を作れません。"),
    QT_TRANSLATE_NOOP("VELDAR2", "失敗した操作があります。詳しくはログを見てください。"),
    QT_TRANSLATE_NOOP("VELDAR2", "失敗した操作があります。今回の処理はログに記録されていません。"),
    QT_TRANSLATE_NOOP("VELDAR2", "レストアを中止しました。"),
    QT_TRANSLATE_NOOP("VELDAR2", "復元先のディレクトリが、バックアップディレクトリと同じか、その中か、それを含んでいます。"),
    QT_TRANSLATE_NOOP("VELDAR2", "ﾛｸﾞを消してよろしいですか？"),
    QT_TRANSLATE_NOOP("VELDAR2", "整数を入力してください。"),
    QT_TRANSLATE_NOOP("VELDAR2", "バックアップを中止しました。世代は置き換えていません。"),
};

// The translators installed now; the application object owns them.
QTranslator* program = nullptr;
QTranslator* qtOwn = nullptr;
Language current = Language::kJapanese;

void Remove(QTranslator*& translator) {
  if (!translator) return;
  QCoreApplication::removeTranslator(translator);
  delete translator;
  translator = nullptr;
}

}  // namespace

void UseLanguage(Language language) {
  Remove(program);
  Remove(qtOwn);
  current = language;
  QCoreApplication* app = QCoreApplication::instance();
  if (!app) return;
  if (language == Language::kEnglish) {
    program = new QTranslator(app);
    if (program->load(QStringLiteral(":/i18n/veldar2_en.qm"))) {
      QCoreApplication::installTranslator(program);
    } else {
      Remove(program);
    }
    return;  // Qt's own texts are English already
  }
  // The pickers and the standard buttons in Japanese, like the rest.
  qtOwn = new QTranslator(app);
  if (qtOwn->load(QLocale(QLocale::Japanese), QStringLiteral("qtbase"), QStringLiteral("_"),
                  QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
    QCoreApplication::installTranslator(qtOwn);
  } else {
    Remove(qtOwn);
  }
}

Language CurrentLanguage() { return current; }

QString Tr(std::string_view japanese) {
  const std::string text(japanese);
  if (current == Language::kJapanese || text.empty()) return QString::fromStdString(text);
  return QCoreApplication::translate(kContext, text.c_str());
}

QString TrMessage(const std::string& text) {
  QString message = QString::fromStdString(text);
  if (current == Language::kJapanese) return message;
  // The validation message has its numbers inside.
  static const QRegularExpression range(QStringLiteral("(\\d+) から (\\d+) までの整数を入力してください。"));
  for (auto match = range.match(message); match.hasMatch(); match = range.match(message)) {
    message.replace(match.capturedStart(), match.capturedLength(),
                    Tr("%1 から %2 までの整数を入力してください。").arg(match.captured(1), match.captured(2)));
  }
  // Longest first, so that a phrase inside a longer one is not taken alone.
  static const std::vector<QString> phrases = [] {
    std::vector<QString> list;
    for (const char* phrase : kPhrases) list.push_back(QString::fromUtf8(phrase));
    std::sort(list.begin(), list.end(), [](const QString& a, const QString& b) { return a.size() > b.size(); });
    return list;
  }();
  for (const QString& phrase : phrases) {
    if (message.contains(phrase)) message.replace(phrase, QCoreApplication::translate(kContext, phrase.toUtf8().constData()));
  }
  return message;
}

}  // namespace veldar
