#pragma once
// The dialogs on Windows: a dialog template (ui/dialog_template.h) turned
// into an in-memory DLGTEMPLATEEX and run by the system's dialog manager,
// with its controls offered to the handlers as a `DialogWindow`.
//
// `BuildDialogTemplate` makes the bytes; `Win32Dialog` runs a `DialogLogic`
// in a dialog built from them, modally (the program) or modeless (tests, the
// progress window), and turns the dialog's messages into the logic's calls:
// buttons and menu commands into OnCommand, edit changes into OnEditChange,
// Esc and the close box into OnCommand(IDC_CANCEL), the About item of the
// system menu into OnCommand(IDM_ABOUTBOX), F1 into OnCommand(ID_HELP).
//
// This header does not include <windows.h> (its macros would rename the
// project's own functions in every file that includes it): window handles
// are written as the type behind HWND.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "res/language.h"
#include "ui/dialog_window.h"

struct HWND__;
struct HICON__;

namespace veldar {

// The program's icon in the executable's resources (ui/win32/veldar2.rc.in).
constexpr int kProgramIconId = 1;

// The face a dialog's text is drawn in: the template's own when `hasFace`
// says the system has it, else "MS UI Gothic" (a Japanese face Windows has
// and Wine maps to a CJK font), else "MS Shell Dlg", which every system maps
// to a face of its own.
std::wstring ChooseDialogFace(std::string_view templateFace, const std::function<bool(const std::wstring&)>& hasFace);
// True when a font family named `face` (or a substitute for it) is installed.
bool SystemHasFace(const std::wstring& face);

// The DLGTEMPLATEEX of `dialog`, its text in `face` and `language`: styles
// from the frame, one item per control in template order (so the tab order
// is the template's), classes and styles by kind, every text in UTF-16.
// Controls without an id get -1. The menu and the icons are not in it: the
// dialog adds them when it opens. The bytes start DWORD-aligned in a vector.
std::vector<std::uint8_t> BuildDialogTemplate(const DialogTemplate& dialog, const std::wstring& face,
                                              Language language = Language::kJapanese);

// The window styles `BuildDialogTemplate` gives a dialog of `frame`.
std::uint32_t DialogStyle(DialogFrame frame, bool shellFont);
std::uint32_t DialogExStyle(DialogFrame frame);

// The program's icon at `size` pixels, shared (never destroyed); the
// system's application icon when the executable carries none.
HICON__* ProgramIcon(int size);

class Win32Dialog : public DialogWindow {
 public:
  // Its texts (caption, controls, menus) in `language`.
  explicit Win32Dialog(DialogLogic& logic, Language language = Language::kJapanese);
  // A modeless window is destroyed here; the logic is detached.
  ~Win32Dialog() override;
  Win32Dialog(const Win32Dialog&) = delete;
  Win32Dialog& operator=(const Win32Dialog&) = delete;

  // Runs the dialog modally over `owner` (nullptr: none) and returns the
  // result it ended with; -1 when it could not be created (GetLastError
  // says why: 1400 without a display).
  int RunModal(HWND__* owner);
  // Creates and shows the dialog modeless over `owner` and returns at once.
  // False when it could not be created. EndDialog hides it; the destructor
  // destroys it.
  bool Open(HWND__* owner);

  HWND__* handle() const { return window_; }
  HWND__* Item(int id) const;
  bool open() const { return open_; }
  int result() const { return result_; }
  DialogLogic& logic() const { return logic_; }
  Language language() const { return language_; }
  // While busy the dialog shows the wait cursor.
  void SetBusy(bool busy) { busy_ = busy; }

  // Sees every message before the dialog does; true: handled, `*result` is
  // the dialog procedure's answer.
  std::function<bool(unsigned message, std::uintptr_t wParam, std::intptr_t lParam, std::intptr_t* result)> messageHook;

  std::string ItemText(int id) const override;
  void SetItemText(int id, const std::string& text) override;
  bool IsChecked(int id) const override;
  void SetChecked(int id, bool checked) override;
  bool IsEnabled(int id) const override;
  void EnableItem(int id, bool enable) override;
  void FocusItem(int id) override;
  void AddListRow(int id, const std::string& row) override;
  void AddMarkedListRow(int id, const std::string& row, const std::string& mark) override;
  int SelectedListRow(int id) const override;
  void SelectListRow(int id, int row) override;
  void SetUpDownRange(int id, int lower, int upper) override;
  void SetUpDownPos(int id, int position) override;
  void EndDialog(int result) override;

 private:
  static std::intptr_t __stdcall Procedure(HWND__* window, unsigned message, std::uintptr_t wParam,
                                           std::intptr_t lParam);
  std::intptr_t Handle(unsigned message, std::uintptr_t wParam, std::intptr_t lParam);
  void OnInit();
  void InstallMenus();
  // A static text, check box or push button whose text is wider than its
  // box in the dialog's font (the templates were laid out for a narrower
  // face than some systems have, and for Japanese) gets a box as wide as its
  // text needs, and the controls to its right on its row move right by as
  // much. Returns the client width in pixels that this needs.
  int MakeRoomForTexts();
  // Sizes the window so that its client area is `width` pixels wide (at
  // least the template's width) and the template's height, menu or not.
  void FitClientArea(int width);
  const ControlTemplate* Control(int id) const;
  std::vector<std::uint8_t> Bytes() const;

  DialogLogic& logic_;
  const Language language_;
  HWND__* window_ = nullptr;
  bool modal_ = false;
  bool open_ = false;
  bool shown_ = false;
  bool busy_ = false;
  int result_ = 0;
};

// The UTF-16 form of `text` for a window; bytes that are not UTF-8 show as
// U+FFFD rather than losing the whole text.
std::wstring WindowText(std::string_view text);
// The text of `window` in UTF-8.
std::string TextOf(HWND__* window);

}  // namespace veldar
