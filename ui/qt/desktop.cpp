#include "ui/qt/desktop.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>

#include "ui/qt/dialog_units.h"
#include "ui/qt/translation.h"

namespace veldar {

GuiStarter::GuiStarter(int& argc, char** argv) : argc_(argc), argv_(argv) {}

GuiStarter::~GuiStarter() = default;

bool GuiStarter::DisplayAvailable() {
  return !qEnvironmentVariableIsEmpty("DISPLAY") || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}

void GuiStarter::Start() {
  if (app_ || QCoreApplication::instance()) return;
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
    QByteArray platforms;
    if (!qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) platforms += "wayland;";
    if (!qEnvironmentVariableIsEmpty("DISPLAY")) platforms += "xcb;";
    platforms += "offscreen";
    qputenv("QT_QPA_PLATFORM", platforms);
    platformChosenHere_ = true;
  }
  app_ = std::make_unique<QApplication>(argc_, argv_);
  // Programs opened for the user (the log, the help page) choose their own.
  if (platformChosenHere_) qunsetenv("QT_QPA_PLATFORM");
  QApplication::setFont(DialogFont(9));
  QApplication::setWindowIcon(ProgramIcon());
  // Japanese, or English where the locale asks for it.
  UseLanguage(LanguageOfEnvironment());
}

bool GuiStarter::Headless() const {
  const QString platform = QGuiApplication::platformName();
  return platform == QLatin1String("offscreen") || platform == QLatin1String("minimal");
}

bool GuiStarter::ForMessages() {
  if (!QCoreApplication::instance()) {
    if (!DisplayAvailable()) return false;
    Start();
  }
  return qobject_cast<QApplication*>(QCoreApplication::instance()) && !Headless();
}

bool GuiStarter::ForDialog(std::string* why) {
  if (!QCoreApplication::instance()) {
    if (!DisplayAvailable() && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
      *why = "ディスプレイがありません（DISPLAY も WAYLAND_DISPLAY も設定されていません）";
      return false;
    }
    Start();
  }
  // A platform the user asked for is used as it is; only the fallback this
  // object added means that the display could not be reached.
  if (platformChosenHere_ && Headless()) {
    *why = "ディスプレイに接続できませんでした";
    return false;
  }
  return true;
}

QIcon ProgramIcon() { return QIcon(QStringLiteral(":/veldar2/veldar2.png")); }

QString HelpPagePath() {
  // Beside the program in a build tree; in share/veldar2 when installed. The
  // English page where the language is English.
  const QString name = CurrentLanguage() == Language::kEnglish ? QStringLiteral("veldar2_help_en.html")
                                                               : QStringLiteral("veldar2_help.html");
  const QDir programDir(QCoreApplication::applicationDirPath());
  const QString beside = programDir.filePath(name);
  const QString installed = programDir.filePath(QStringLiteral("../share/veldar2/") + name);
  return QFileInfo::exists(beside) || !QFileInfo::exists(installed) ? beside : QDir::cleanPath(installed);
}

}  // namespace veldar
