#include "ui/win32/win32_dialog.h"

#include <algorithm>
#include <cstring>

#include "platform/win32_text.h"
#include "res/translation.h"

// Last: its macros would rename the project's own functions declared above.
#include <windows.h>
#include <commctrl.h>

namespace veldar {
namespace {

// The predefined classes' atoms in a dialog template.
constexpr WORD kButtonAtom = 0x0080, kEditAtom = 0x0081, kStaticAtom = 0x0082, kListBoxAtom = 0x0083;
constexpr DWORD kNoId = static_cast<DWORD>(-1);
constexpr wchar_t kShellFace[] = L"MS Shell Dlg";
constexpr wchar_t kJapaneseFace[] = L"MS UI Gothic";

// Appends little-endian values and strings to a dialog template.
class TemplateWriter {
 public:
  void Word(WORD value) { Put(&value, sizeof value); }
  void Dword(DWORD value) { Put(&value, sizeof value); }
  void Short(short value) { Put(&value, sizeof value); }
  void Byte(BYTE value) { Put(&value, 1); }
  void String(const std::wstring& text) { Put(text.c_str(), (text.size() + 1) * sizeof(wchar_t)); }
  void Atom(WORD atom) {
    Word(0xFFFF);
    Word(atom);
  }
  void AlignDword() {
    while (bytes_.size() % 4 != 0) bytes_.push_back(0);
  }
  // Patches the WORD at `offset`.
  void SetWord(std::size_t offset, WORD value) { std::memcpy(bytes_.data() + offset, &value, sizeof value); }
  std::size_t size() const { return bytes_.size(); }
  std::vector<std::uint8_t> Take() { return std::move(bytes_); }

 private:
  void Put(const void* data, std::size_t count) {
    const auto* begin = static_cast<const std::uint8_t*>(data);
    bytes_.insert(bytes_.end(), begin, begin + count);
  }
  std::vector<std::uint8_t> bytes_;
};

struct ControlClass {
  WORD atom;  // 0: `name`
  const wchar_t* name;
  DWORD style;
};

ControlClass ClassOf(const ControlTemplate& control) {
  const bool right = control.flags & kRightAligned, digits = control.flags & kDigitsOnly;
  switch (control.kind) {
    case ControlKind::kLabel:
      return {kStaticAtom, nullptr, static_cast<DWORD>((control.flags & kCentred ? SS_CENTER : SS_LEFT) | SS_NOPREFIX)};
    case ControlKind::kEdit:
      return {kEditAtom, nullptr,
              static_cast<DWORD>(WS_TABSTOP | WS_BORDER | ES_AUTOHSCROLL | (right ? ES_RIGHT : ES_LEFT) |
                                 (digits ? ES_NUMBER : 0))};
    case ControlKind::kButton:
      return {kButtonAtom, nullptr, static_cast<DWORD>(WS_TABSTOP | BS_PUSHBUTTON)};
    case ControlKind::kDefaultButton:
      return {kButtonAtom, nullptr, static_cast<DWORD>(WS_TABSTOP | BS_DEFPUSHBUTTON)};
    case ControlKind::kCheckBox:
      return {kButtonAtom, nullptr, static_cast<DWORD>(WS_TABSTOP | BS_AUTOCHECKBOX)};
    case ControlKind::kListBox:
      // Rows in the order added; the height is the template's, not a whole
      // number of rows.
      return {kListBoxAtom, nullptr,
              static_cast<DWORD>(WS_TABSTOP | WS_VSCROLL | WS_BORDER | LBS_NOTIFY | LBS_NOINTEGRALHEIGHT)};
    case ControlKind::kUpDown:
      // At the template's own rectangle, bound to the control before it.
      return {0, UPDOWN_CLASSW, static_cast<DWORD>(UDS_AUTOBUDDY | UDS_SETBUDDYINT | UDS_ARROWKEYS | UDS_NOTHOUSANDS)};
    case ControlKind::kIcon:
      return {kStaticAtom, nullptr, static_cast<DWORD>(SS_ICON)};
    case ControlKind::kProgressBar:
      return {0, PROGRESS_CLASSW, 0};
  }
  return {kStaticAtom, nullptr, SS_LEFT};
}

int CALLBACK HasFaceCallback(const LOGFONTW*, const TEXTMETRICW*, DWORD, LPARAM found) {
  *reinterpret_cast<bool*>(found) = true;
  return 0;
}

void InitCommonControlsOnce() {
  static const bool done = [] {
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_UPDOWN_CLASS | ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
    return InitCommonControlsEx(&controls) != FALSE;
  }();
  (void)done;
}

}  // namespace

std::wstring WindowText(std::string_view text) {
  std::wstring wide;
  if (Utf8ToWide(text, &wide)) return wide;
  const int count = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  wide.resize(static_cast<std::size_t>(std::max(count, 0)));
  if (count > 0) MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), count);
  return wide;
}

std::string TextOf(HWND window) {
  if (!window) return {};
  std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(window)) + 1, L'\0');
  text.resize(static_cast<std::size_t>(GetWindowTextW(window, text.data(), static_cast<int>(text.size()))));
  return WideToUtf8(text);
}

bool SystemHasFace(const std::wstring& face) {
  if (face.empty() || face.size() >= LF_FACESIZE) return false;
  LOGFONTW font{};
  font.lfCharSet = DEFAULT_CHARSET;
  std::wcsncpy(font.lfFaceName, face.c_str(), LF_FACESIZE - 1);
  bool found = false;
  const HDC screen = GetDC(nullptr);
  EnumFontFamiliesExW(screen, &font, HasFaceCallback, reinterpret_cast<LPARAM>(&found), 0);
  ReleaseDC(nullptr, screen);
  if (found) return true;
  // A substitute (Wine maps "MS UI Gothic" to a CJK face this way) is as good.
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Microsoft\\Windows NT\\CurrentVersion\\FontSubstitutes", 0,
                    KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
    return false;
  const bool substituted = RegQueryValueExW(key, face.c_str(), nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
  RegCloseKey(key);
  return substituted;
}

std::wstring ChooseDialogFace(std::string_view templateFace, const std::function<bool(const std::wstring&)>& hasFace) {
  const std::wstring own = WindowText(templateFace);
  if (!own.empty() && hasFace(own)) return own;
  if (hasFace(kJapaneseFace)) return kJapaneseFace;
  return kShellFace;
}

std::uint32_t DialogStyle(DialogFrame, bool shellFont) {
  // No minimise box, not even for the main window: Windows draws a minimise
  // box only beside a maximise box, which a dialog of fixed size could not
  // use. The system menu and the close box remain.
  DWORD style = DS_SETFONT | DS_MODALFRAME | DS_CENTER | WS_POPUP | WS_CAPTION | WS_SYSMENU;
  if (shellFont) style |= DS_SHELLFONT;
  return style;
}

std::uint32_t DialogExStyle(DialogFrame frame) { return frame == DialogFrame::kMain ? WS_EX_APPWINDOW : 0; }

std::vector<std::uint8_t> BuildDialogTemplate(const DialogTemplate& dialog, const std::wstring& face,
                                              Language language) {
  TemplateWriter out;
  out.Word(1);       // dlgVer
  out.Word(0xFFFF);  // signature: extended
  out.Dword(0);      // helpID
  out.Dword(DialogExStyle(dialog.frame));
  out.Dword(DialogStyle(dialog.frame, face == kShellFace));
  out.Word(static_cast<WORD>(dialog.controls.size()));
  out.Short(0);
  out.Short(0);
  out.Short(static_cast<short>(dialog.width));
  out.Short(static_cast<short>(dialog.height));
  out.Word(0);  // no menu: added when the dialog opens
  out.Word(0);  // the dialog class
  out.String(WindowText(Translate(language, dialog.caption)));
  out.Word(static_cast<WORD>(dialog.fontPoints));
  out.Word(FW_NORMAL);
  out.Byte(FALSE);  // italic
  out.Byte(DEFAULT_CHARSET);
  out.String(face);

  bool previousWasCheckBox = false;
  for (std::size_t i = 0; i < dialog.controls.size(); ++i) {
    const ControlTemplate& control = dialog.controls[i];
    const ControlClass kind = ClassOf(control);
    DWORD style = WS_CHILD | WS_VISIBLE | kind.style;
    // A group starts at every control but an up-down (it belongs to its
    // buddy) and a check box that follows another (arrows move among them).
    const bool checkBox = control.kind == ControlKind::kCheckBox;
    if (i == 0 || (control.kind != ControlKind::kUpDown && !(checkBox && previousWasCheckBox))) style |= WS_GROUP;
    previousWasCheckBox = checkBox;

    out.AlignDword();
    out.Dword(0);  // helpID
    out.Dword(0);  // exStyle
    out.Dword(style);
    out.Short(static_cast<short>(control.x));
    out.Short(static_cast<short>(control.y));
    out.Short(static_cast<short>(control.width));
    out.Short(static_cast<short>(control.height));
    out.Dword(control.id == 0 ? kNoId : static_cast<DWORD>(control.id));
    if (kind.atom != 0) {
      out.Atom(kind.atom);
    } else {
      out.String(kind.name);
    }
    const bool textless = control.kind == ControlKind::kIcon || control.kind == ControlKind::kEdit ||
                          control.kind == ControlKind::kProgressBar;
    out.String(textless ? std::wstring() : WindowText(Translate(language, control.text)));
    out.Word(0);  // no creation data
  }
  return out.Take();
}

HICON ProgramIcon(int size) {
  auto icon = static_cast<HICON>(LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(kProgramIconId), IMAGE_ICON,
                                            size, size, LR_DEFAULTCOLOR | LR_SHARED));
  if (!icon) icon = LoadIconW(nullptr, IDI_APPLICATION);
  return icon;
}

Win32Dialog::Win32Dialog(DialogLogic& logic, Language language) : logic_(logic), language_(language) {}

Win32Dialog::~Win32Dialog() {
  if (window_ && !modal_) {
    // The window's last messages find no dialog, nor the hook's captures.
    messageHook = nullptr;
    SetWindowLongPtrW(window_, DWLP_USER, 0);
    DestroyWindow(window_);
  }
  logic_.Attach(nullptr);
}

std::vector<std::uint8_t> Win32Dialog::Bytes() const {
  const DialogTemplate& dialog = logic_.Template();
  return BuildDialogTemplate(dialog, ChooseDialogFace(dialog.fontFace, SystemHasFace), language_);
}

int Win32Dialog::RunModal(HWND owner) {
  InitCommonControlsOnce();
  const std::vector<std::uint8_t> bytes = Bytes();
  modal_ = true;
  open_ = true;
  const INT_PTR result =
      DialogBoxIndirectParamW(GetModuleHandleW(nullptr), reinterpret_cast<LPCDLGTEMPLATEW>(bytes.data()), owner,
                              reinterpret_cast<DLGPROC>(&Win32Dialog::Procedure), reinterpret_cast<LPARAM>(this));
  const DWORD error = GetLastError();
  open_ = false;
  window_ = nullptr;
  logic_.Attach(nullptr);
  SetLastError(error);
  return static_cast<int>(result);
}

bool Win32Dialog::Open(HWND owner) {
  InitCommonControlsOnce();
  const std::vector<std::uint8_t> bytes = Bytes();
  modal_ = false;
  open_ = true;
  const HWND window =
      CreateDialogIndirectParamW(GetModuleHandleW(nullptr), reinterpret_cast<LPCDLGTEMPLATEW>(bytes.data()), owner,
                                 reinterpret_cast<DLGPROC>(&Win32Dialog::Procedure), reinterpret_cast<LPARAM>(this));
  if (!window) {
    open_ = false;
    return false;
  }
  if (open_) ShowWindow(window, SW_SHOW);
  return true;
}

INT_PTR CALLBACK Win32Dialog::Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  Win32Dialog* self = nullptr;
  if (message == WM_INITDIALOG) {
    self = reinterpret_cast<Win32Dialog*>(lParam);
    SetWindowLongPtrW(window, DWLP_USER, lParam);
    self->window_ = window;
  } else {
    self = reinterpret_cast<Win32Dialog*>(GetWindowLongPtrW(window, DWLP_USER));
  }
  return self ? self->Handle(message, wParam, lParam) : FALSE;
}

const ControlTemplate* Win32Dialog::Control(int id) const {
  return id == 0 ? nullptr : FindControl(logic_.Template(), id);
}

HWND Win32Dialog::Item(int id) const { return window_ && Control(id) ? GetDlgItem(window_, id) : nullptr; }

void Win32Dialog::InstallMenus() {
  const DialogTemplate& dialog = logic_.Template();
  if (!dialog.systemMenuItem.empty()) {
    if (const HMENU system = GetSystemMenu(window_, FALSE)) {
      AppendMenuW(system, MF_SEPARATOR, 0, nullptr);
      AppendMenuW(system, MF_STRING, IDM_ABOUTBOX, WindowText(Translate(language_, dialog.systemMenuItem)).c_str());
    }
  }
  if (dialog.menu.empty()) return;
  const HMENU bar = CreateMenu();
  for (const MenuTemplate& popup : dialog.menu) {
    const HMENU items = CreatePopupMenu();
    for (const MenuItemTemplate& item : popup.items) {
      if (item.id == 0) {
        AppendMenuW(items, MF_SEPARATOR, 0, nullptr);
      } else {
        AppendMenuW(items, MF_STRING, static_cast<UINT_PTR>(item.id),
                    WindowText(Translate(language_, item.text)).c_str());
      }
    }
    AppendMenuW(bar, MF_POPUP, reinterpret_cast<UINT_PTR>(items), WindowText(Translate(language_, popup.text)).c_str());
  }
  SetMenu(window_, bar);
}

int Win32Dialog::MakeRoomForTexts() {
  const DialogTemplate& dialog = logic_.Template();
  RECT client{0, 0, dialog.width, dialog.height};
  MapDialogRect(window_, &client);
  std::vector<HWND> controls;
  for (HWND child = GetWindow(window_, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
    controls.push_back(child);
  const auto placeOf = [this](HWND control) {
    RECT rect{};
    GetWindowRect(control, &rect);
    MapWindowPoints(nullptr, window_, reinterpret_cast<POINT*>(&rect), 2);
    return rect;
  };
  // Two dialog units: the gap kept to the next control; a button's text
  // keeps three on each side.
  RECT unitRect{0, 0, 2, 0};
  MapDialogRect(window_, &unitRect);
  const int gap = unitRect.right;
  const int checkBox = GetSystemMetrics(SM_CXMENUCHECK) + gap * 2;
  const HDC dc = GetDC(window_);
  const HGDIOBJ oldFont = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(window_, WM_GETFONT, 0, 0)));
  for (std::size_t i = 0; i < controls.size() && i < dialog.controls.size(); ++i) {
    const ControlTemplate& control = dialog.controls[i];
    int room = 0;  // beside the text
    switch (control.kind) {
      case ControlKind::kLabel:
        if (control.flags & kCentred) continue;
        break;
      case ControlKind::kCheckBox:
        room = checkBox;
        break;
      case ControlKind::kButton:
      case ControlKind::kDefaultButton:
        room = 3 * gap;
        break;
      default:
        continue;
    }
    if (control.text.empty()) continue;
    const std::wstring text = WindowText(Translate(language_, control.text));
    SIZE extent{};
    GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &extent);
    RECT box = placeOf(controls[i]);
    if (box.left + extent.cx + room <= box.right) continue;
    box.right = box.left + extent.cx + room;
    MoveWindow(controls[i], box.left, box.top, box.right - box.left, box.bottom - box.top, FALSE);
    // The controls to its right on its row move right, as far as the text needs.
    int shift = 0;
    std::vector<std::size_t> onRow;
    for (std::size_t j = 0; j < controls.size() && j < dialog.controls.size(); ++j) {
      if (j == i || dialog.controls[j].kind == ControlKind::kLabel) continue;
      const RECT rect = placeOf(controls[j]);
      if (rect.left <= box.left || rect.top >= box.bottom || rect.bottom <= box.top) continue;
      onRow.push_back(j);
      shift = std::max<int>(shift, box.right + gap - rect.left);
    }
    client.right = std::max(client.right, box.right + 2 * gap);
    if (shift <= 0) continue;
    for (std::size_t j : onRow) {
      const RECT rect = placeOf(controls[j]);
      MoveWindow(controls[j], rect.left + shift, rect.top, rect.right - rect.left, rect.bottom - rect.top, FALSE);
      client.right = std::max<LONG>(client.right, rect.right + shift + 2 * gap);
    }
  }
  SelectObject(dc, oldFont);
  ReleaseDC(window_, dc);
  return client.right;
}

void Win32Dialog::FitClientArea(int width) {
  // The client area is the template's (wider where labels needed room);
  // a menu bar takes its height from it, so the window grows by the bar. A
  // bar that wraps is measured after the first resize.
  RECT wanted{0, 0, logic_.Template().width, logic_.Template().height};
  MapDialogRect(window_, &wanted);
  wanted.right = std::max<LONG>(wanted.right, width);
  for (int attempt = 0; attempt < 2; ++attempt) {
    RECT client{}, frame{};
    GetClientRect(window_, &client);
    GetWindowRect(window_, &frame);
    const int growX = wanted.right - client.right, growY = wanted.bottom - client.bottom;
    if (growX == 0 && growY == 0) break;
    SetWindowPos(window_, nullptr, 0, 0, frame.right - frame.left + growX, frame.bottom - frame.top + growY,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  }
}

void Win32Dialog::OnInit() {
  const int width = MakeRoomForTexts();
  InstallMenus();
  FitClientArea(width);
  const DialogTemplate& dialog = logic_.Template();
  if (dialog.frame == DialogFrame::kMain) {
    SendMessageW(window_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(ProgramIcon(GetSystemMetrics(SM_CXICON))));
    SendMessageW(window_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(ProgramIcon(GetSystemMetrics(SM_CXSMICON))));
  }
  for (const ControlTemplate& control : dialog.controls) {
    if (control.kind != ControlKind::kIcon) continue;
    // Controls without an id: the icon is found by its place in the tab order.
    HWND item = GetWindow(window_, GW_CHILD);
    for (std::size_t i = 0; item && &dialog.controls[i] != &control; ++i) item = GetWindow(item, GW_HWNDNEXT);
    if (item) SendMessageW(item, STM_SETICON, reinterpret_cast<WPARAM>(ProgramIcon(32)), 0);
  }
}

INT_PTR Win32Dialog::Handle(UINT message, WPARAM wParam, LPARAM lParam) {
  if (messageHook) {
    std::intptr_t answer = 0;
    if (messageHook(message, wParam, lParam, &answer)) {
      SetWindowLongPtrW(window_, DWLP_MSGRESULT, answer);
      return TRUE;
    }
  }
  const DialogTemplate& dialog = logic_.Template();
  switch (message) {
    case WM_INITDIALOG: {
      OnInit();
      logic_.Attach(this);
      // False: the logic put the focus where it wants it.
      return logic_.OnInitDialog() ? TRUE : FALSE;
    }
    case WM_SHOWWINDOW:
      if (wParam && !shown_) {
        shown_ = true;
        logic_.OnShowWindow();
      }
      return FALSE;
    case WM_COMMAND: {
      if (!open_) return TRUE;
      const int id = LOWORD(wParam), code = HIWORD(wParam);
      const ControlTemplate* control = Control(id);
      if (lParam == 0 || (id == IDCANCEL && code == BN_CLICKED)) {
        // A menu command, an accelerator, or Esc (with or without a Cancel
        // button) and the close box, which come as IDCANCEL.
        logic_.OnCommand(id == IDCANCEL ? IDC_CANCEL : id);
      } else if (control && code == BN_CLICKED) {
        // A check box toggles itself; only push buttons are commands.
        if (control->kind == ControlKind::kButton || control->kind == ControlKind::kDefaultButton) logic_.OnCommand(id);
      } else if (control && control->kind == ControlKind::kEdit && code == EN_CHANGE) {
        logic_.OnEditChange(id);
      } else if (control && control->kind == ControlKind::kListBox && code == LBN_DBLCLK) {
        logic_.OnDoubleClick(id);
      }
      return TRUE;
    }
    case WM_SYSCOMMAND:
      if ((wParam & 0xFFF0) == IDM_ABOUTBOX && !dialog.systemMenuItem.empty()) {
        if (open_) logic_.OnCommand(IDM_ABOUTBOX);
        return TRUE;
      }
      if ((wParam & 0xFFF0) == SC_RESTORE) {
        // A second start asks the window titled "Veldar" it found to come
        // back: the main window, or a dialog over it. The main window comes
        // back from the task bar, with whatever is open over it in front.
        const HWND root = GetAncestor(window_, GA_ROOTOWNER);
        if (IsIconic(root)) ShowWindow(root, SW_RESTORE);
        if (IsIconic(window_)) ShowWindow(window_, SW_RESTORE);
        SetForegroundWindow(GetLastActivePopup(root));
        SetWindowLongPtrW(window_, DWLP_MSGRESULT, 0);
        return TRUE;
      }
      return FALSE;
    case WM_HELP:
      // F1: the help command, where the dialog's menu offers it.
      for (const MenuTemplate& popup : dialog.menu) {
        for (const MenuItemTemplate& item : popup.items) {
          if (item.id == ID_HELP) {
            if (open_) logic_.OnCommand(ID_HELP);
            return TRUE;
          }
        }
      }
      return FALSE;
    case WM_SETCURSOR:
      if (!busy_) return FALSE;
      SetCursor(LoadCursorW(nullptr, IDC_WAIT));
      SetWindowLongPtrW(window_, DWLP_MSGRESULT, TRUE);
      return TRUE;
    default:
      return FALSE;
  }
}

std::string Win32Dialog::ItemText(int id) const { return TextOf(Item(id)); }

void Win32Dialog::SetItemText(int id, const std::string& text) {
  // An edit reports the change itself (EN_CHANGE), as a typed one.
  if (const HWND item = Item(id)) SetWindowTextW(item, WindowText(text).c_str());
}

bool Win32Dialog::IsChecked(int id) const {
  const HWND item = Item(id);
  return item && SendMessageW(item, BM_GETCHECK, 0, 0) == BST_CHECKED;
}

void Win32Dialog::SetChecked(int id, bool checked) {
  if (const HWND item = Item(id)) SendMessageW(item, BM_SETCHECK, checked ? BST_CHECKED : BST_UNCHECKED, 0);
}

bool Win32Dialog::IsEnabled(int id) const {
  const HWND item = Item(id);
  return item && IsWindowEnabled(item);
}

void Win32Dialog::EnableItem(int id, bool enable) {
  if (const HWND item = Item(id)) EnableWindow(item, enable ? TRUE : FALSE);
}

void Win32Dialog::FocusItem(int id) {
  // The dialog manager's own move: an edit's text is selected whole.
  if (const HWND item = Item(id)) SendMessageW(window_, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(item), TRUE);
}

void Win32Dialog::AddListRow(int id, const std::string& row) {
  if (const HWND item = Item(id))
    SendMessageW(item, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(WindowText(row).c_str()));
}

void Win32Dialog::AddMarkedListRow(int id, const std::string& row, const std::string& mark) {
  AddListRow(id, row + "   " + Translate(language_, mark));
}

int Win32Dialog::SelectedListRow(int id) const {
  const HWND item = Item(id);
  if (!item) return -1;
  const LRESULT row = SendMessageW(item, LB_GETCURSEL, 0, 0);
  return row == LB_ERR ? -1 : static_cast<int>(row);
}

void Win32Dialog::SelectListRow(int id, int row) {
  const HWND item = Item(id);
  if (!item) return;
  const LRESULT count = SendMessageW(item, LB_GETCOUNT, 0, 0);
  SendMessageW(item, LB_SETCURSEL, row >= 0 && row < count ? row : -1, 0);
}

void Win32Dialog::SetUpDownRange(int id, int lower, int upper) {
  if (const HWND item = Item(id)) SendMessageW(item, UDM_SETRANGE32, lower, upper);
}

void Win32Dialog::SetUpDownPos(int id, int position) {
  const HWND item = Item(id);
  if (!item) return;
  // The control keeps the position within its range and writes it into its
  // buddy (UDS_SETBUDDYINT), but only when the text changes: the same text
  // is written again so that the buddy reports a change every time.
  const HWND buddy = reinterpret_cast<HWND>(SendMessageW(item, UDM_GETBUDDY, 0, 0));
  const std::string before = TextOf(buddy);
  SendMessageW(item, UDM_SETPOS32, 0, position);
  if (buddy && TextOf(buddy) == before) SetWindowTextW(buddy, WindowText(before).c_str());
}

void Win32Dialog::EndDialog(int code) {
  if (!open_) return;
  open_ = false;
  result_ = code;
  if (!window_) return;
  if (modal_) {
    ::EndDialog(window_, code);
  } else {
    ShowWindow(window_, SW_HIDE);
  }
}

}  // namespace veldar
