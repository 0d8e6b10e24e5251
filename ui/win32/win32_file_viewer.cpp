#include "ui/win32/win32_file_viewer.h"

#include "ui/win32/win32_dialog.h"

// Last: its macros would rename the project's own functions declared above.
#include <windows.h>

namespace veldar {
namespace {

constexpr wchar_t kViewerClass[] = L"VELDAR2FileViewer";
// Larger files are shown up to here: a log is capped far below it.
constexpr DWORD kMaxBytes = 16 * 1024 * 1024;

LRESULT CALLBACK ViewerProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_SIZE:
      if (const HWND text = GetWindow(window, GW_CHILD))
        MoveWindow(text, 0, 0, LOWORD(lParam), HIWORD(lParam), TRUE);
      return 0;
    case WM_SETFOCUS:
      if (const HWND text = GetWindow(window, GW_CHILD)) SetFocus(text);
      return 0;
    case WM_CLOSE:
      DestroyWindow(window);
      return 0;
    default:
      return DefWindowProcW(window, message, wParam, lParam);
  }
}

// The file's bytes, at most kMaxBytes; false with the system's reason.
bool ReadAll(const std::wstring& path, std::string* bytes, DWORD* error) {
  const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    *error = GetLastError();
    return false;
  }
  char buffer[65536];
  DWORD got = 0;
  bool ok = true;
  while (bytes->size() < kMaxBytes &&
         (ok = ReadFile(file, buffer, sizeof buffer, &got, nullptr) != FALSE) && got > 0)
    bytes->append(buffer, got);
  if (!ok) *error = GetLastError();
  CloseHandle(file);
  return ok;
}

}  // namespace

std::wstring ViewerText(const std::string& bytes) {
  std::string_view text(bytes);
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  const std::wstring wide = WindowText(text);
  std::wstring lines;
  lines.reserve(wide.size() + wide.size() / 32);
  for (std::size_t i = 0; i < wide.size(); ++i) {
    if (wide[i] == L'\n' && (i == 0 || wide[i - 1] != L'\r')) lines += L'\r';
    lines += wide[i];
  }
  return lines;
}

HWND ShowFileViewer(const std::string& path) {
  const HINSTANCE instance = GetModuleHandleW(nullptr);
  WNDCLASSW viewerClass{};
  viewerClass.lpfnWndProc = ViewerProcedure;
  viewerClass.hInstance = instance;
  viewerClass.hIcon = ProgramIcon(32);
  viewerClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  viewerClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
  viewerClass.lpszClassName = kViewerClass;
  RegisterClassW(&viewerClass);  // fails harmlessly when registered already

  const std::wstring widePath = WindowText(path);
  const std::size_t slash = widePath.find_last_of(L"\\/");
  const std::wstring title =
      L"Veldar - " + (slash == std::wstring::npos ? widePath : widePath.substr(slash + 1));
  const HWND window =
      CreateWindowExW(WS_EX_APPWINDOW, kViewerClass, title.c_str(), WS_OVERLAPPEDWINDOW,
                      CW_USEDEFAULT, CW_USEDEFAULT, 760, 520, nullptr, nullptr, instance, nullptr);
  if (!window) return nullptr;
  const HWND text = CreateWindowExW(WS_EX_CLIENTEDGE, L"EDIT", L"",
                                    WS_CHILD | WS_VISIBLE | WS_VSCROLL | WS_HSCROLL | ES_MULTILINE |
                                        ES_READONLY | ES_AUTOVSCROLL | ES_AUTOHSCROLL,
                                    0, 0, 0, 0, window, nullptr, instance, nullptr);
  // A fixed-pitch Japanese face where there is one (the log's columns line
  // up), else the dialogs' face. Made once, kept for the process.
  static const HFONT font = [] {
    const std::wstring face = ChooseDialogFace("ＭＳ ゴシック", SystemHasFace);
    const HDC screen = GetDC(nullptr);
    const int height = -MulDiv(9, GetDeviceCaps(screen, LOGPIXELSY), 72);
    ReleaseDC(nullptr, screen);
    return CreateFontW(height, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                       OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                       FIXED_PITCH | FF_MODERN, face.c_str());
  }();
  SendMessageW(text, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
  SendMessageW(text, EM_SETLIMITTEXT, 0, 0);  // no limit but memory's

  std::string bytes;
  DWORD error = 0;
  if (ReadAll(widePath, &bytes, &error)) {
    SetWindowTextW(text, ViewerText(bytes).c_str());
  } else {
    SetWindowTextW(
        text, (L"ファイルを開けません。\r\n" + widePath + L"\r\nerror " + std::to_wstring(error))
                  .c_str());
  }
  // The newest lines of a log are at its end.
  const LRESULT length = SendMessageW(text, WM_GETTEXTLENGTH, 0, 0);
  SendMessageW(text, EM_SETSEL, length, length);
  SendMessageW(text, EM_SCROLLCARET, 0, 0);
  RECT client{};
  GetClientRect(window, &client);
  MoveWindow(text, 0, 0, client.right, client.bottom, FALSE);
  ShowWindow(window, SW_SHOWNORMAL);
  return window;
}

}  // namespace veldar
