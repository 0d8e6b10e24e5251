// The command-line program's entry point on Linux (veldar2, package
// veldar2): batch runs, --help and --version, with no toolkit loaded. The
// settings are read and written by the program's own INI code, an open
// dialog is found over a plain local socket, and messages go to standard
// error. A start without parameters hands over to the dialog program,
// veldar2-gui, installed beside it; where it is not installed, says which
// package holds it and exits with status 2.

#include <unistd.h>

#include <cerrno>
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

namespace {

// The directory of this program, ending in '/' ("./" where it cannot be found).
std::string ProgramDir() {
  std::string exe(4096, '\0');
  const ssize_t length = readlink("/proc/self/exe", exe.data(), exe.size());
  if (length <= 0 || static_cast<std::size_t>(length) >= exe.size()) return "./";
  exe.resize(static_cast<std::size_t>(length));
  const auto slash = exe.rfind('/');
  return slash == std::string::npos ? "./" : exe.substr(0, slash + 1);
}

// Replaces this process with the dialog program, passing no parameters. On
// failure (not installed, not executable) says why on standard error and
// returns the exit status.
int StartDialogProgram(veldar::Os& os, veldar::Language language) {
  const std::string program = ProgramDir() + "veldar2-gui";
  char name[] = "veldar2-gui";
  char* const argv[] = {name, nullptr};
  execv(program.c_str(), argv);
  const int error = errno;
  const auto say = [language](const char* japanese) { return veldar::Translate(language, japanese); };
  const std::string reason = veldar::TranslateReason(language, os.ErrorText(os.Error(error)));
  std::cerr << veldar::ConsoleLine(
      error == ENOENT ? veldar::FormatText(say("ダイアログは %1 パッケージにあります（インストール: %2）"),
                                           {"veldar2-gui", "sudo apt install veldar2-gui"})
                      : veldar::FormatText(say("ダイアログを表示できません: %1"), {program + ": " + reason}));
  std::cerr << veldar::ConsoleLine(veldar::FormatText(
      say("ウィンドウなしでバックアップするには、パラメタを付けて起動してください（%1）"), {"--help"}));
  return veldar::kExitFailure;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> arguments(argv + 1, argv + argc);
  const veldar::Language language = veldar::LanguageOfEnvironment();
  veldar::StreamMessages messages(std::cerr, language);
  auto os = veldar::MakeSystemOs();
  veldar::SettingsFile settings(veldar::SettingsFilePathOfProcess());
  settings.language = language;
  settings.onNotWritten = [&messages](const std::string& line) { messages.Show(line); };
  veldar::CVELDAR2App app(*os, messages, settings);
  app.language = language;
  app.standardErrorMessages = &messages;
  app.findRunningInstance = [&os] { return !veldar::AskRunningInstanceToShow(veldar::InstanceSocketPath(*os)); };
  app.showMainDialog = [&os, language](veldar::CVELDAR2Engine&) { return StartDialogProgram(*os, language); };
  veldar::ConnectBatchToProcess(app);
  const std::unique_ptr<veldar::Notifier> notifier = veldar::MakeDesktopNotifier();
  app.notifier = notifier.get();
  return app.InitInstance(arguments, std::cout, std::cerr);
}
