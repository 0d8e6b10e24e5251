#include "ui/win32/win32_messages.h"

#include "res/translation.h"
#include "ui/win32/win32_dialog.h"

// Last: its macros would rename the project's own functions declared above.
#include <windows.h>

namespace veldar {
namespace {

constexpr wchar_t kRelayClass[] = L"VELDAR2MessageRelay";
constexpr UINT kAskMessage = WM_APP + 1;

struct Request {
  Win32UserMessages* messages;
  const std::string* text;
  bool withCancel;
  int answer;
};

LRESULT CALLBACK RelayProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == kAskMessage) {
    auto* request = reinterpret_cast<Request*>(lParam);
    request->answer = request->messages->Box(*request->text, request->withCancel);
    return 0;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

// The box open on this thread and what closes it, for the timer below.
thread_local const std::function<bool()>* boxCloseWhen = nullptr;

BOOL CALLBACK CloseBoxWindow(HWND window, LPARAM) {
  wchar_t className[16] = {};
  GetClassNameW(window, className, 16);
  if (std::wstring(className) == L"#32770" && IsWindowVisible(window)) PostMessageW(window, WM_COMMAND, IDCANCEL, 0);
  return TRUE;
}

// Runs in the box's own message loop.
void CALLBACK WatchBox(HWND, UINT, UINT_PTR, DWORD) {
  if (boxCloseWhen && *boxCloseWhen && (*boxCloseWhen)()) EnumThreadWindows(GetCurrentThreadId(), CloseBoxWindow, 0);
}

}  // namespace

bool HasInteractiveDesktop() {
  USEROBJECTFLAGS flags{};
  const HWINSTA station = GetProcessWindowStation();
  if (!station || !GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof flags, nullptr)) return false;
  return (flags.dwFlags & WSF_VISIBLE) != 0;
}

Win32UserMessages::Win32UserMessages(UserMessages& fallback, Language language)
    : fallback_(fallback), language_(language), interfaceThread_(GetCurrentThreadId()) {
  WNDCLASSW relayClass{};
  relayClass.lpfnWndProc = RelayProcedure;
  relayClass.hInstance = GetModuleHandleW(nullptr);
  relayClass.lpszClassName = kRelayClass;
  RegisterClassW(&relayClass);  // fails harmlessly when registered already
  relay_ =
      CreateWindowExW(0, kRelayClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, GetModuleHandleW(nullptr), nullptr);
}

Win32UserMessages::~Win32UserMessages() {
  if (relay_) DestroyWindow(relay_);
}

int Win32UserMessages::Box(const std::string& text, bool withCancel) {
  if (GetCurrentThreadId() != interfaceThread_) {
    if (!relay_) return 0;
    Request request{this, &text, withCancel, 0};
    SendMessageW(relay_, kAskMessage, 0, reinterpret_cast<LPARAM>(&request));
    return request.answer;
  }
  if (!HasInteractiveDesktop()) return 0;
  // Over the active dialog (the progress window during a run), which the
  // box disables while it is up.
  const UINT_PTR watch = closeWhen ? SetTimer(nullptr, 0, 100, WatchBox) : 0;
  boxCloseWhen = &closeWhen;
  const int answer = MessageBoxW(GetActiveWindow(), WindowText(TranslateMessage(language_, text)).c_str(), L"VELDAR2",
                                 MB_ICONWARNING | (withCancel ? MB_OKCANCEL : MB_OK));
  boxCloseWhen = nullptr;
  if (watch) KillTimer(nullptr, watch);
  // 0 on failure; Wine without a display answers -1 (its dialog's failure).
  return answer > 0 ? answer : 0;
}

void Win32UserMessages::Show(const std::string& text) {
  if (Box(text, false) == 0) fallback_.Show(text);
}

bool Win32UserMessages::AskOkCancel(const std::string& text) {
  const int answer = Box(text, true);
  if (answer == 0) return fallback_.AskOkCancel(text);
  return answer == IDOK;
}

}  // namespace veldar
