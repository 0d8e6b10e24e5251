#include "ui/win32/win32_dialog_driver.h"

#include <stdexcept>

#include "platform/win32_text.h"
#include "ui/fake_dialog.h"
#include "ui/win32/win32_services.h"

// Last: its macros would rename the project's own functions declared above.
#include <windows.h>
#include <commctrl.h>

namespace veldar::testing {

std::vector<std::shared_ptr<DialogToolkit>> DialogToolkits() {
  return {std::make_shared<FakeDialogToolkit>(), std::make_shared<Win32DialogToolkit>()};
}

std::unique_ptr<DialogDriver> Win32DialogToolkit::Open(DialogLogic& logic, DialogWindow* owner) {
  auto dialog = std::make_unique<Win32Dialog>(logic);
  if (!dialog->Open(WindowOf(owner)))
    throw std::runtime_error("the dialog could not be created: error " + std::to_string(GetLastError()));
  return std::make_unique<Win32DialogDriver>(std::move(dialog));
}

DialogWindow& Win32DialogToolkit::Window(DialogDriver& driver) {
  return static_cast<Win32DialogDriver&>(driver).dialog();
}

int Win32DialogToolkit::RunWithProgress(DialogWindow& owner, const ProgressWork& work) {
  return RunWithProgressWindow(dynamic_cast<Win32Dialog*>(&owner), work);
}

void Win32DialogDriver::Pump() {
  MSG message;
  while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    if (!dialog_->handle() || !IsDialogMessageW(dialog_->handle(), &message)) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
  }
}

std::string Win32DialogDriver::Caption() { return TextOf(dialog_->handle()); }

void Win32DialogDriver::Type(int id, const std::string& text) {
  const HWND item = dialog_->Item(id);
  if (!item || !dialog_->open() || !IsWindowEnabled(item)) return;
  SendMessageW(dialog_->handle(), WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(item), TRUE);
  SendMessageW(item, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(WindowText(text).c_str()));
  Pump();
}

void Win32DialogDriver::Click(int id) {
  const HWND item = dialog_->Item(id);
  if (!item || !dialog_->open() || !IsWindowEnabled(item)) return;
  SendMessageW(item, BM_CLICK, 0, 0);
  Pump();
}

bool Win32DialogDriver::IsDefault(int id) {
  if (!dialog_->Item(id)) return false;
  const LRESULT defaultId = SendMessageW(dialog_->handle(), DM_GETDEFID, 0, 0);
  return HIWORD(defaultId) == DC_HASDEFID && LOWORD(defaultId) == id;
}

int Win32DialogDriver::Focused() {
  HWND focus = GetFocus();
  if (!focus || !IsChild(dialog_->handle(), focus)) return 0;
  while (GetParent(focus) != dialog_->handle()) focus = GetParent(focus);
  const int id = GetDlgCtrlID(focus);
  return id == -1 ? 0 : id;
}

void Win32DialogDriver::Menu(int id) {
  if (!dialog_->open()) return;
  const HWND window = dialog_->handle();
  const HMENU bar = GetMenu(window);
  const UINT state = bar ? GetMenuState(bar, static_cast<UINT>(id), MF_BYCOMMAND) : static_cast<UINT>(-1);
  if (state != static_cast<UINT>(-1)) {
    if (!(state & (MF_GRAYED | MF_DISABLED))) SendMessageW(window, WM_COMMAND, MAKEWPARAM(id, 0), 0);
  } else if (const HMENU system = GetSystemMenu(window, FALSE);
             system && GetMenuState(system, static_cast<UINT>(id), MF_BYCOMMAND) != static_cast<UINT>(-1)) {
    SendMessageW(window, WM_SYSCOMMAND, static_cast<WPARAM>(id), 0);
  }
  Pump();
}

void Win32DialogDriver::Step(int id, bool up) {
  const HWND item = dialog_->Item(id);
  if (!item || !dialog_->open() || !IsWindowEnabled(item)) return;
  // A click in the upper or the lower half: one step, no repeat.
  RECT client{};
  GetClientRect(item, &client);
  const LPARAM point = MAKELPARAM(client.right / 2, up ? client.bottom / 4 : client.bottom * 3 / 4);
  SendMessageW(item, WM_LBUTTONDOWN, MK_LBUTTON, point);
  SendMessageW(item, WM_LBUTTONUP, 0, point);
  Pump();
}

std::vector<std::string> Win32DialogDriver::Rows(int id) {
  std::vector<std::string> rows;
  const HWND item = dialog_->Item(id);
  if (!item) return rows;
  const LRESULT count = SendMessageW(item, LB_GETCOUNT, 0, 0);
  for (LRESULT row = 0; row < count; ++row) {
    std::wstring text(static_cast<std::size_t>(SendMessageW(item, LB_GETTEXTLEN, row, 0)) + 1, L'\0');
    text.resize(static_cast<std::size_t>(SendMessageW(item, LB_GETTEXT, row, reinterpret_cast<LPARAM>(text.data()))));
    rows.push_back(WideToUtf8(text));
  }
  return rows;
}

void Win32DialogDriver::SelectRow(int id, int row) {
  dialog_->SelectListRow(id, row);
  Pump();
}

// The mouse's messages on the row, as the system sends them for a double
// click: the list box selects the row and tells the dialog (LBN_DBLCLK).
void Win32DialogDriver::DoubleClickRow(int id, int row) {
  const HWND item = dialog_->Item(id);
  if (!item || !dialog_->open() || !IsWindowEnabled(item)) return;
  RECT rect{};
  if (SendMessageW(item, LB_GETITEMRECT, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&rect)) == LB_ERR) return;
  const LPARAM point = MAKELPARAM((rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2);
  SendMessageW(item, WM_LBUTTONDOWN, MK_LBUTTON, point);
  SendMessageW(item, WM_LBUTTONUP, 0, point);
  SendMessageW(item, WM_LBUTTONDBLCLK, MK_LBUTTON, point);
  SendMessageW(item, WM_LBUTTONUP, 0, point);
  Pump();
}

void Win32DialogDriver::Escape() {
  if (!dialog_->open()) return;
  HWND target = GetFocus();
  if (!target || !IsChild(dialog_->handle(), target)) target = dialog_->handle();
  MSG key{target, WM_KEYDOWN, VK_ESCAPE, 1, 0, {}};
  if (!IsDialogMessageW(dialog_->handle(), &key)) DispatchMessageW(&key);
  Pump();
}

void Win32DialogDriver::CloseBox() {
  if (!dialog_->open()) return;
  SendMessageW(dialog_->handle(), WM_SYSCOMMAND, SC_CLOSE, 0);
  Pump();
}

void Win32DialogDriver::HelpKey() {
  if (!dialog_->open()) return;
  // What the system sends for F1: WM_HELP to the window with the focus,
  // which passes it on to its parent, the dialog.
  HWND target = GetFocus();
  if (!target || !IsChild(dialog_->handle(), target)) target = dialog_->handle();
  HELPINFO help{};
  help.cbSize = sizeof help;
  help.iContextType = HELPINFO_WINDOW;
  help.iCtrlId = GetDlgCtrlID(target);
  help.hItemHandle = target;
  GetCursorPos(&help.MousePos);
  SendMessageW(target, WM_HELP, 0, reinterpret_cast<LPARAM>(&help));
  Pump();
}

}  // namespace veldar::testing
