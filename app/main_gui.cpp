// The dialog program's entry point on Linux (veldar2-gui, package
// veldar2-gui): the main dialog, and batch runs whose messages are boxes
// where a display is available. The command-line program (app/main.cpp)
// starts it for a start without parameters.
//
// The Qt application is started only when a window is needed: for the dialog,
// or for a batch run's message box where a display is available. A batch run
// without a display writes its messages to standard error, and a second start
// never needs a display at all.

#include <iostream>
#include <string>
#include <vector>

#include "app/app.h"
#include "platform/instance_socket.h"
#include "app/posix_console.h"
#include "app/settings_file.h"
#include "app/stream_messages.h"
#include "platform/os.h"
#include "res/translation.h"
#include "ui/main_dialog.h"
#include "ui/qt/desktop.h"
#include "ui/qt/qt_dialog.h"
#include "ui/qt/qt_messages.h"
#include "ui/qt/qt_services.h"
#include "ui/qt/single_instance.h"

int main(int argc, char** argv) {
  std::vector<std::string> arguments(argv + 1, argv + argc);
  const veldar::Language language = veldar::LanguageOfEnvironment();
  veldar::GuiStarter gui(argc, argv);
  // A message no box can show goes to standard error.
  veldar::StreamMessages standardError(std::cerr, language);
  veldar::QtUserMessages messages([&gui] { return gui.ForMessages(); }, &standardError);
  auto os = veldar::MakeSystemOs();
  veldar::SettingsFile settings(veldar::SettingsFilePathOfProcess());
  settings.language = language;
  settings.onNotWritten = [&standardError](const std::string& line) { standardError.Show(line); };
  veldar::CVELDAR2App app(*os, messages, settings);
  app.language = language;
  app.standardErrorMessages = &standardError;

  // Worked out by the first start that needs it (never for --help).
  std::string instanceName;
  app.findRunningInstance = [&instanceName, &os] {
    instanceName = veldar::InstanceSocketPath(*os);
    return !veldar::AskRunningInstanceToShow(instanceName);
  };

  app.showMainDialog = [&](veldar::CVELDAR2Engine& engine) {
    std::string why;
    if (!gui.ForDialog(&why)) {
      const auto say = [language](const char* japanese) { return veldar::Translate(language, japanese); };
      std::cerr << veldar::ConsoleLine(veldar::FormatText(say("ダイアログを表示できません: %1"), {say(why.c_str())}))
                << veldar::ConsoleLine(veldar::FormatText(
                       say("ウィンドウなしでバックアップするには、パラメタを付けて起動してください（%1）"),
                       {"--help"}));
      return static_cast<int>(veldar::kExitFailure);
    }
    veldar::QtDialogServices services;
    veldar::CVELDAR2Dlg logic(engine, services);
    veldar::QtDialog dialog(logic);
    veldar::InstanceServer server([&dialog] { dialog.BringBack(); });
    switch (server.Listen(instanceName)) {
      case veldar::InstanceServer::ListenResult::kAnotherInstance:
        // Started at the same moment as another one, which won.
        return static_cast<int>(veldar::kExitSuccess);
      case veldar::InstanceServer::ListenResult::kFailed:
        std::cerr << veldar::ConsoleLine(veldar::FormatText(
            veldar::Translate(language, "二重起動を確かめられません: %1"),
            {instanceName.empty() ? veldar::Translate(language, "ソケット用のプライベートなディレクトリがありません")
                                  : server.errorString().toStdString()}));
        break;
      case veldar::InstanceServer::ListenResult::kListening:
        break;
    }
    dialog.DoModal();
    return static_cast<int>(veldar::kExitSuccess);
  };

  // A batch run stops safely on Ctrl-C or a termination request; before and
  // after it they end the program as usual.
  veldar::ConnectBatchToProcess(app);
  const std::unique_ptr<veldar::Notifier> notifier = veldar::MakeDesktopNotifier();
  app.notifier = notifier.get();
  // A box of the batch run closes when a signal asks the run to stop: the
  // run then stops as it would between two files.
  messages.closeWhen = [&app] { return app.batchProgress.Cancelled(); };

  return app.InitInstance(arguments, std::cout, std::cerr);
}
