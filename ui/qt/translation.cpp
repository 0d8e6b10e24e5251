#include "ui/qt/translation.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

#include "res/translation.h"

namespace veldar {
namespace {

// Qt's own Japanese, installed now; the application object owns it.
QTranslator* qtOwn = nullptr;
Language current = Language::kJapanese;

}  // namespace

void UseLanguage(Language language) {
  current = language;
  if (qtOwn) {
    QCoreApplication::removeTranslator(qtOwn);
    delete qtOwn;
    qtOwn = nullptr;
  }
  QCoreApplication* app = QCoreApplication::instance();
  // Qt's own texts are English already.
  if (!app || language == Language::kEnglish) return;
  // The pickers and the standard buttons in Japanese, like the rest.
  qtOwn = new QTranslator(app);
  if (qtOwn->load(QLocale(QLocale::Japanese), QStringLiteral("qtbase"), QStringLiteral("_"),
                  QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
    QCoreApplication::installTranslator(qtOwn);
  } else {
    delete qtOwn;
    qtOwn = nullptr;
  }
}

Language CurrentLanguage() { return current; }

QString Tr(std::string_view japanese) { return QString::fromStdString(Translate(current, japanese)); }

QString TrMessage(const std::string& text) { return QString::fromStdString(TranslateMessage(current, text)); }

}  // namespace veldar
