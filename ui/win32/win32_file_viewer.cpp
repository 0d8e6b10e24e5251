#include "ui/win32/win32_file_viewer.h"

#include <algorithm>
#include <cwctype>
#include <string_view>

#include "res/translation.h"
#include "ui/html_text.h"
#include "ui/win32/win32_dialog.h"

// Last: its macros would rename the project's own functions declared above.
#include <windows.h>
#include <commctrl.h>

namespace veldar {
namespace {

constexpr wchar_t kViewerClass[] = L"VELDAR2FileViewer";
// Larger files are shown up to here: a log is capped far below it.
constexpr DWORD kMaxBytes = 16 * 1024 * 1024;
constexpr int kTextId = 100;
constexpr int kCloseId = IDCANCEL;
constexpr UINT_PTR kKeysSubclass = 1;

HWND Text(HWND viewer) { return GetDlgItem(viewer, kTextId); }
HWND CloseButton(HWND viewer) { return GetDlgItem(viewer, kCloseId); }

// The text fills the window above a row that holds the button at its right.
void Layout(HWND viewer) {
  RECT client{};
  GetClientRect(viewer, &client);
  const HWND button = CloseButton(viewer);
  RECT size{};
  GetWindowRect(button, &size);
  const int width = size.right - size.left, height = size.bottom - size.top;
  const int margin = height / 4;
  MoveWindow(Text(viewer), 0, 0, client.right, client.bottom - height - 2 * margin, TRUE);
  MoveWindow(button, client.right - width - margin, client.bottom - height - margin, width, height, TRUE);
}

// The keys of the text and the button. No dialog manager sees the viewer's
// messages (they may come through a modal dialog's loop, which serves only
// that dialog), so they are handled here.
LRESULT CALLBACK ViewerKeys(HWND control, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR, DWORD_PTR) {
  const HWND viewer = GetParent(control);
  if (message == WM_KEYDOWN) {
    switch (wParam) {
      case VK_ESCAPE:
        PostMessageW(viewer, WM_CLOSE, 0, 0);
        return 0;
      case VK_TAB:
        SetFocus(control == Text(viewer) ? CloseButton(viewer) : Text(viewer));
        return 0;
      case VK_RETURN:
      case VK_SPACE:
        if (control == CloseButton(viewer)) {
          PostMessageW(viewer, WM_CLOSE, 0, 0);
          return 0;
        }
        break;
    }
  }
  // Their characters would only beep.
  if (message == WM_CHAR && (wParam == VK_ESCAPE || wParam == VK_TAB)) return 0;
  return DefSubclassProc(control, message, wParam, lParam);
}

LRESULT CALLBACK ViewerProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_SIZE:
      Layout(window);
      return 0;
    case WM_SETFOCUS:
      SetFocus(Text(window));
      return 0;
    case WM_COMMAND:
      if (LOWORD(wParam) == kCloseId && HIWORD(wParam) == BN_CLICKED) DestroyWindow(window);
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
  const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    *error = GetLastError();
    return false;
  }
  char buffer[65536];
  DWORD got = 0;
  bool ok = true;
  while (bytes->size() < kMaxBytes && (ok = ReadFile(file, buffer, sizeof buffer, &got, nullptr) != FALSE) && got > 0)
    bytes->append(buffer, got);
  if (!ok) *error = GetLastError();
  CloseHandle(file);
  return ok;
}

// An HTML page, by its name's extension.
bool IsPage(const std::wstring& path) {
  const std::size_t dot = path.find_last_of(L'.');
  if (dot == std::wstring::npos) return false;
  std::wstring extension = path.substr(dot + 1);
  for (wchar_t& c : extension) c = static_cast<wchar_t>(std::towlower(c));
  return extension == L"html" || extension == L"htm";
}

HFONT MakeFont(std::string_view face, bool fixed) {
  const std::wstring chosen = ChooseDialogFace(face, SystemHasFace);
  const HDC screen = GetDC(nullptr);
  const int height = -MulDiv(9, GetDeviceCaps(screen, LOGPIXELSY), 72);
  ReleaseDC(nullptr, screen);
  return CreateFontW(height, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                     CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, (fixed ? FIXED_PITCH : VARIABLE_PITCH) | FF_MODERN,
                     chosen.c_str());
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

HWND ShowFileViewer(HWND owner, const std::string& path, Language language) {
  const HINSTANCE instance = GetModuleHandleW(nullptr);
  WNDCLASSW viewerClass{};
  viewerClass.lpfnWndProc = ViewerProcedure;
  viewerClass.hInstance = instance;
  viewerClass.hIcon = ProgramIcon(32);
  viewerClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  viewerClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  viewerClass.lpszClassName = kViewerClass;
  RegisterClassW(&viewerClass);  // fails harmlessly when registered already

  const std::wstring widePath = WindowText(path);
  const std::size_t slash = widePath.find_last_of(L"\\/");
  const std::wstring title = L"Veldar - " + (slash == std::wstring::npos ? widePath : widePath.substr(slash + 1));
  // Owned by the dialog that asked: it stays above it.
  const HWND window = CreateWindowExW(WS_EX_APPWINDOW, kViewerClass, title.c_str(), WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                                      CW_USEDEFAULT, 760, 520, owner, nullptr, instance, nullptr);
  if (!window) return nullptr;
  // A page's paragraphs are single lines: they wrap. A log's lines do not,
  // so that its columns stay.
  const bool page = IsPage(widePath);
  const DWORD lines = page ? 0 : WS_HSCROLL | ES_AUTOHSCROLL;
  const HWND text = CreateWindowExW(
      WS_EX_CLIENTEDGE, L"EDIT", L"",
      WS_CHILD | WS_VISIBLE | WS_TABSTOP | WS_VSCROLL | ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL | lines, 0, 0, 0, 0,
      window, reinterpret_cast<HMENU>(kTextId), instance, nullptr);
  // A fixed-pitch Japanese face where there is one (the log's columns line
  // up), else the dialogs' face; the button in the dialogs' face. Made once,
  // kept for the process.
  static const HFONT textFont = MakeFont("ＭＳ ゴシック", true);
  static const HFONT buttonFont = MakeFont("ＭＳ Ｐゴシック", false);
  SendMessageW(text, WM_SETFONT, reinterpret_cast<WPARAM>(textFont), FALSE);
  SendMessageW(text, EM_SETLIMITTEXT, 0, 0);  // no limit but memory's

  const std::wstring closeText = WindowText(Translate(language, "閉じる"));
  const HDC dc = GetDC(window);
  const HGDIOBJ old = SelectObject(dc, buttonFont);
  SIZE extent{};
  GetTextExtentPoint32W(dc, closeText.c_str(), static_cast<int>(closeText.size()), &extent);
  SelectObject(dc, old);
  ReleaseDC(window, dc);
  const HWND button =
      CreateWindowExW(0, L"BUTTON", closeText.c_str(), WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON, 0, 0,
                      std::max<int>(extent.cx + 3 * extent.cy, 6 * extent.cy), extent.cy * 2, window,
                      reinterpret_cast<HMENU>(kCloseId), instance, nullptr);
  SendMessageW(button, WM_SETFONT, reinterpret_cast<WPARAM>(buttonFont), FALSE);
  SetWindowSubclass(text, ViewerKeys, kKeysSubclass, 0);
  SetWindowSubclass(button, ViewerKeys, kKeysSubclass, 0);

  std::string bytes;
  DWORD error = 0;
  if (ReadAll(widePath, &bytes, &error)) {
    if (page) {
      if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) bytes.erase(0, 3);
      bytes = HtmlToText(bytes);
    }
    SetWindowTextW(text, ViewerText(bytes).c_str());
  } else {
    SetWindowTextW(text, (WindowText(Translate(language, "ファイルを開けません。")) + L"\r\n" + widePath +
                          L"\r\nerror " + std::to_wstring(error))
                             .c_str());
  }
  Layout(window);
  // The newest lines of a log are at its end; a page is read from its top.
  const LRESULT caret = page ? 0 : SendMessageW(text, WM_GETTEXTLENGTH, 0, 0);
  SendMessageW(text, EM_SETSEL, caret, caret);
  SendMessageW(text, EM_SCROLLCARET, 0, 0);
  ShowWindow(window, SW_SHOWNORMAL);
  // The keyboard goes to the text: arrows and Page Down scroll it at once.
  SetForegroundWindow(window);
  SetFocus(text);
  return window;
}

}  // namespace veldar
