// The program's entry point on Windows: the system's OS layer, the settings in
// the registry, message boxes and the main dialog (drawn by Win32 from the
// shared templates), handed to the application object. With parameters it
// runs a batch job (veldar2.exe /M3 C:\data D:\backup), with a progress line
// on a console and Ctrl-C stopping it safely; without, the dialog.
//
// The parameters are the command line's own text after the program name,
// quotes and all, as the parser expects them: nothing is split and joined
// again on the way.
//
// The engine's messages are message boxes. Where none can be shown (no
// interactive desktop, no display) they go to standard error, as text for
// the user does: to a console as UTF-16 (whatever its code page), to a file
// or a pipe as UTF-8. A process with no console and no standard error
// (started hidden by a scheduler, or detached) writes that text at the end
// of the activity log instead, so a failed run still says so somewhere.

#include <atomic>
#include <iostream>
#include <sstream>
#include <streambuf>
#include <string>

#include "app/app.h"
#include "app/settings_win32.h"
#include "app/stream_messages.h"
#include "platform/os.h"
#include "platform/win32_text.h"
#include "res/translation.h"
#include "ui/main_dialog.h"
#include "ui/win32/win32_dialog.h"
#include "ui/win32/win32_messages.h"
#include "ui/win32/win32_services.h"

// Last: its macros (CopyFile, DeleteFile, LoadString...) would rename the
// project's own functions declared above.
#include <windows.h>
#include <objbase.h>

namespace veldar {
namespace {

// The title of the main window of a running instance: the main dialog's.
constexpr wchar_t kWindowTitle[] = L"Veldar";

bool IsUsable(HANDLE handle) { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }

// A stream buffer that writes to a standard handle, a line at a time: as
// UTF-16 to a console, as the UTF-8 bytes themselves to anything else.
class HandleBuf : public std::streambuf {
 public:
  explicit HandleBuf(HANDLE handle) : handle_(handle) {
    DWORD mode = 0;
    console_ = GetConsoleMode(handle_, &mode) != 0;
  }
  ~HandleBuf() override { sync(); }

 protected:
  int_type overflow(int_type c) override {
    if (c == traits_type::eof()) return traits_type::not_eof(c);
    pending_ += traits_type::to_char_type(c);
    if (c == '\n') sync();
    return c;
  }
  std::streamsize xsputn(const char* data, std::streamsize count) override {
    pending_.append(data, static_cast<std::size_t>(count));
    if (pending_.find('\n') != std::string::npos) sync();
    return count;
  }
  int sync() override {
    if (pending_.empty()) return 0;
    std::string text;
    text.swap(pending_);
    if (console_) {
      const std::wstring wide = WideOf(text);
      DWORD written = 0;
      return WriteConsoleW(handle_, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr) ? 0 : -1;
    }
    // A file or a pipe takes the bytes as they are.
    std::size_t done = 0;
    while (done < text.size()) {
      DWORD written = 0;
      if (!WriteFile(handle_, text.data() + done, static_cast<DWORD>(text.size() - done), &written, nullptr) ||
          written == 0)
        return -1;
      done += written;
    }
    return 0;
  }

 private:
  // The UTF-16 form of `text`; bytes that are not UTF-8 are shown as U+FFFD.
  static std::wstring WideOf(const std::string& text) {
    std::wstring wide;
    if (Utf8ToWide(text, &wide)) return wide;
    const int count = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    wide.resize(static_cast<std::size_t>(count > 0 ? count : 0));
    if (count > 0) MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), count);
    return wide;
  }

  HANDLE handle_;
  bool console_ = false;
  std::string pending_;
};

// The batch run that Ctrl-C, Ctrl-Break or closing the console asks to stop:
// set while it runs. `runEnded` is set when it has ended.
std::atomic<RunProgress*> stopTarget{nullptr};
HANDLE runEnded = nullptr;

// Called on a thread of its own by the system. The first Ctrl-C stops the
// run safely; a second one ends the program at once (the system's default).
// A console that closes (or a user who logs off) ends the process when this
// returns: the run is asked to stop and given the time the system allows.
BOOL WINAPI AskToStop(DWORD event) {
  RunProgress* target = stopTarget.load();
  if (!target) return FALSE;
  if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) {
    if (target->Cancelled()) return FALSE;
    target->RequestCancel();
    return TRUE;
  }
  target->RequestCancel();
  WaitForSingleObject(runEnded, 4500);
  return FALSE;
}

// Standard error's width in columns when it is a console; 0 when not (a
// file, a pipe, a scheduler).
int ConsoleColumns(HANDLE handle) {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (!IsUsable(handle) || !GetConsoleScreenBufferInfo(handle, &info)) return 0;
  return info.srWindow.Right - info.srWindow.Left + 1;
}

}  // namespace
}  // namespace veldar

int main() {
  using namespace veldar;
  const std::string parameters = ProgramParameterText(WideToUtf8(GetCommandLineW()));

  const HANDLE errorHandle = GetStdHandle(STD_ERROR_HANDLE);
  const bool hasStandardError = GetConsoleWindow() != nullptr || IsUsable(errorHandle);
  HandleBuf outBuf(GetStdHandle(STD_OUTPUT_HANDLE));
  HandleBuf errBuf(errorHandle);
  std::ostream out(&outBuf);
  std::ostringstream kept;  // without standard error: for the log
  std::ostream terminal(&errBuf);
  std::ostream& err = hasStandardError ? terminal : kept;

  // What the user reads follows the language of the user's interface.
  const Language language = LanguageOfUiLanguage(GetUserDefaultUILanguage());
  auto os = MakeSystemOs();
  RegistrySettingsStore settings;
  StreamMessages streamMessages(err, language);
  Win32UserMessages messages(streamMessages, language);
  CVELDAR2App app(*os, messages, settings);
  app.language = language;
  app.standardErrorMessages = &streamMessages;

  app.findRunningInstance = [] {
    const HWND window = FindWindowW(nullptr, kWindowTitle);
    if (window == nullptr) return true;
    // A hung instance must not hang this start too.
    DWORD_PTR ignored = 0;
    SendMessageTimeoutW(window, WM_SYSCOMMAND, SC_RESTORE, 0, SMTO_ABORTIFHUNG, 2000, &ignored);
    SetForegroundWindow(window);
    return false;
  };
  app.showMainDialog = [&err, language](CVELDAR2Engine& engine) {
    // The pickers are COM objects of the shell.
    const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    Win32DialogServices services(language);
    CVELDAR2Dlg logic(engine, services);
    Win32Dialog dialog(logic, language);
    // Started from the desktop, the program has a console window of its own:
    // it is hidden while the dialog is up. A console shared with the shell
    // that started it stays as it is.
    DWORD consoleProcesses[2];
    const bool ownConsole = GetConsoleProcessList(consoleProcesses, 2) == 1;
    const HWND console = ownConsole ? GetConsoleWindow() : nullptr;
    if (console) ShowWindow(console, SW_HIDE);
    const int result = dialog.RunModal(nullptr);
    const DWORD error = GetLastError();
    if (SUCCEEDED(com)) CoUninitialize();
    if (result == -1) {
      const auto say = [language](const char* japanese) { return Translate(language, japanese); };
      std::string why = FormatText(say("エラー %1"), {std::to_string(error)});
      if (error == ERROR_INVALID_WINDOW_HANDLE) why += ": " + say("ディスプレイがありません");
      err << ConsoleLine(FormatText(say("ダイアログを表示できません: %1"), {why}))
          << ConsoleLine(FormatText(say("ウィンドウなしでバックアップするには、パラメタを付けて起動してください（%1）"),
                                    {"veldar2 /?"}));
      return static_cast<int>(kExitFailure);
    }
    return static_cast<int>(kExitSuccess);
  };

  // A batch run shows its progress on a console's last line, and stops
  // safely on Ctrl-C; before and after it Ctrl-C ends the program as usual.
  app.progressColumns = hasStandardError ? ConsoleColumns(errorHandle) : 0;
  app.standardOutputIsTerminal = ConsoleColumns(GetStdHandle(STD_OUTPUT_HANDLE)) > 0;
  // A box of the batch run closes when Ctrl-C asks the run to stop: the run
  // then stops as it would between two files.
  messages.closeWhen = [&app] { return app.batchProgress.Cancelled(); };
  runEnded = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  app.onBatchRun = [&app](bool running) {
    if (running) {
      ResetEvent(runEnded);
      stopTarget = &app.batchProgress;
      SetConsoleCtrlHandler(AskToStop, TRUE);
    } else {
      stopTarget = nullptr;
      SetEvent(runEnded);
      SetConsoleCtrlHandler(AskToStop, FALSE);
    }
  };

  const int status = app.InitInstanceFromText(parameters, out, err);
  out.flush();
  err.flush();

  if (!hasStandardError && !kept.str().empty()) {
    // Nobody sees standard error: the lines go to the end of the log.
    CVELDAR2Engine& engine = app.engine;
    engine.OpenLog();
    std::istringstream lines(kept.str());
    for (std::string line; std::getline(lines, line);) engine.WriteLog(line);
    engine.CloseLog();
  }
  return status;
}
