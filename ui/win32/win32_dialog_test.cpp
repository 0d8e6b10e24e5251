// What only the Win32 drawing of the dialogs decides: the template bytes'
// face, the windows built from the five templates (classes, ids, texts,
// rectangles, styles, tab order, menus, the font), the wiring of messages to
// the logic, and the pictures of the four dialogs (screenshots/*.png).

#include "ui/win32/win32_dialog.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cwctype>
#include <memory>

#include "engine/engine.h"
#include "platform/win32_text.h"
#include "res/translation.h"
#include "tests/engine_fixture.h"
#include "tests/test_util.h"
#include "ui/about_dialog.h"
#include "ui/logsize_dialog.h"
#include "ui/main_dialog.h"
#include "ui/restore_dialog.h"
#include "ui/win32/screenshot.h"
#include "ui/win32/win32_dialog_driver.h"
#include "ui/win32/win32_file_viewer.h"
#include "ui/win32/win32_services.h"

// Last: its macros would rename the project's own functions declared above.
#include <windows.h>
#include <commctrl.h>

namespace veldar {
namespace {

using testing::Win32DialogDriver;

// A logic that records what the dialog calls, and can act on each call.
class RecordingLogic : public DialogLogic {
 public:
  explicit RecordingLogic(const DialogTemplate& dialog) : DialogLogic(dialog) {}
  bool OnInitDialog() override {
    events.push_back("init");
    if (onInit) onInit(window());
    return !onInit;
  }
  void OnShowWindow() override {
    events.push_back("show");
    if (onShow) onShow(window());
  }
  void OnCommand(int id) override {
    events.push_back("command " + std::to_string(id));
    DialogLogic::OnCommand(id);
  }
  void OnEditChange(int id) override { events.push_back("change " + std::to_string(id)); }

  std::vector<std::string> events;
  std::function<void(DialogWindow&)> onInit, onShow;
};

std::unique_ptr<Win32DialogDriver> OpenDialog(DialogLogic& logic, DialogWindow* owner = nullptr) {
  auto dialog = std::make_unique<Win32Dialog>(logic);
  EXPECT_TRUE(dialog->Open(WindowOf(owner))) << "error " << GetLastError();
  return std::make_unique<Win32DialogDriver>(std::move(dialog));
}

// Where the dialog manager puts a control: its corner and its size are
// converted to pixels each on its own.
RECT DialogRect(HWND dialog, int x, int y, int width, int height) {
  RECT rect{x, y, width, height};
  MapDialogRect(dialog, &rect);
  return {rect.left, rect.top, rect.left + rect.right, rect.top + rect.bottom};
}

// The rectangle of `child` in its dialog's client coordinates.
RECT PlaceOf(HWND child) {
  RECT rect{};
  GetWindowRect(child, &rect);
  MapWindowPoints(nullptr, GetParent(child), reinterpret_cast<POINT*>(&rect), 2);
  return rect;
}

std::wstring ClassOf(HWND window) {
  wchar_t name[64] = {};
  GetClassNameW(window, name, 64);
  std::wstring lower(name);
  for (wchar_t& c : lower) c = static_cast<wchar_t>(std::towlower(c));
  return lower;
}

std::string MenuText(HMENU menu, UINT position) {
  wchar_t text[128] = {};
  GetMenuStringW(menu, position, text, 128, MF_BYPOSITION);
  return WideToUtf8(text);
}

// How wide `text` is in the font of `window`, in pixels.
int TextWidth(HWND window, std::string_view text) {
  const HDC dc = GetDC(window);
  const auto font = reinterpret_cast<HFONT>(SendMessageW(window, WM_GETFONT, 0, 0));
  const HGDIOBJ old = SelectObject(dc, font);
  const std::wstring wide = WindowText(text);
  SIZE extent{};
  GetTextExtentPoint32W(dc, wide.c_str(), static_cast<int>(wide.size()), &extent);
  SelectObject(dc, old);
  ReleaseDC(window, dc);
  return extent.cx;
}

// Draws `text` in the font of `window` and compares it with the same number
// of characters from the private use area, which no font draws: equal
// pictures mean the font has no glyphs for the text (boxes for both).
bool DrawsGlyphs(HWND window, const std::wstring& text) {
  const HDC screen = GetDC(nullptr);
  const HDC memory = CreateCompatibleDC(screen);
  const HBITMAP bitmap = CreateCompatibleBitmap(screen, 400, 40);
  const HGDIOBJ oldBitmap = SelectObject(memory, bitmap);
  const auto font = reinterpret_cast<HFONT>(SendMessageW(window, WM_GETFONT, 0, 0));
  const HGDIOBJ oldFont = SelectObject(memory, font);
  const auto draw = [&](const std::wstring& what) {
    RECT all{0, 0, 400, 40};
    FillRect(memory, &all, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
    TextOutW(memory, 0, 0, what.c_str(), static_cast<int>(what.size()));
    std::vector<COLORREF> pixels;
    for (int y = 0; y < 40; ++y)
      for (int x = 0; x < 400; ++x) pixels.push_back(GetPixel(memory, x, y));
    return pixels;
  };
  const bool differs = draw(text) != draw(std::wstring(text.size(), L'\xE000'));
  SelectObject(memory, oldFont);
  SelectObject(memory, oldBitmap);
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  return differs;
}

TEST(Win32DialogFace, TheTemplatesFaceOrAFallbackEverySystemHas) {
  struct Case {
    const char* templateFace;
    std::vector<std::wstring> installed;
    std::wstring expected;
  };
  const std::vector<Case> cases = {
      {"ＭＳ Ｐゴシック", {L"ＭＳ Ｐゴシック", L"MS UI Gothic"}, L"ＭＳ Ｐゴシック"},
      {"ＭＳ Ｐゴシック", {L"MS UI Gothic"}, L"MS UI Gothic"},
      {"ＭＳ Ｐゴシック", {}, L"MS Shell Dlg"},
      {"MS Shell Dlg", {L"MS Shell Dlg"}, L"MS Shell Dlg"},
      {"", {L"MS UI Gothic"}, L"MS UI Gothic"},
  };
  for (const Case& c : cases) {
    const auto has = [&](const std::wstring& face) {
      return std::find(c.installed.begin(), c.installed.end(), face) != c.installed.end();
    };
    EXPECT_EQ(ChooseDialogFace(c.templateFace, has), c.expected) << c.templateFace;
  }
  // The prefix of the tests maps the Japanese fallback to a CJK face.
  EXPECT_TRUE(SystemHasFace(L"MS UI Gothic"));
  EXPECT_FALSE(SystemHasFace(L"No Such Face Anywhere"));
}

struct TemplateCase {
  const char* name;
  const DialogTemplate& (*dialog)();
  Language language;
};
void PrintTo(const TemplateCase& c, std::ostream* out) { *out << c.name; }

class Win32TemplateTest : public ::testing::TestWithParam<TemplateCase> {};

INSTANTIATE_TEST_SUITE_P(Templates, Win32TemplateTest,
                         ::testing::Values(TemplateCase{"Main", MainDialogTemplate, Language::kJapanese},
                                           TemplateCase{"Restore", RestoreDialogTemplate, Language::kJapanese},
                                           TemplateCase{"LogSize", LogSizeDialogTemplate, Language::kJapanese},
                                           TemplateCase{"About", AboutDialogTemplate, Language::kJapanese},
                                           TemplateCase{"Progress", ProgressTemplate, Language::kJapanese},
                                           TemplateCase{"MainEnglish", MainDialogTemplate, Language::kEnglish},
                                           TemplateCase{"RestoreEnglish", RestoreDialogTemplate, Language::kEnglish},
                                           TemplateCase{"LogSizeEnglish", LogSizeDialogTemplate, Language::kEnglish},
                                           TemplateCase{"AboutEnglish", AboutDialogTemplate, Language::kEnglish},
                                           TemplateCase{"ProgressEnglish", ProgressTemplate, Language::kEnglish}),
                         [](const auto& info) { return std::string(info.param.name); });

// The room a control's text needs beside it: a check box's box, a button's
// margins (as the dialog measures them: win32_dialog.cpp).
int RoomBesideText(HWND dialog, ControlKind kind) {
  RECT two{0, 0, 2, 0};
  MapDialogRect(dialog, &two);
  switch (kind) {
    case ControlKind::kCheckBox:
      return GetSystemMetrics(SM_CXMENUCHECK) + 2 * two.right;
    case ControlKind::kButton:
    case ControlKind::kDefaultButton:
      return 3 * two.right;
    default:
      return 0;
  }
}

// Every control as the template says, in its order, at its place, its text
// in the dialog's language and nowhere cut.
TEST_P(Win32TemplateTest, ControlsFrameMenusAndFontAreTheTemplates) {
  const DialogTemplate& dialog = GetParam().dialog();
  const Language language = GetParam().language;
  const auto tr = [language](std::string_view text) { return Translate(language, text); };
  RecordingLogic logic(dialog);
  auto dialogWindow = std::make_unique<Win32Dialog>(logic, language);
  ASSERT_TRUE(dialogWindow->Open(nullptr)) << "error " << GetLastError();
  auto d = std::make_unique<Win32DialogDriver>(std::move(dialogWindow));
  const HWND window = d->dialog().handle();
  ASSERT_NE(window, nullptr);

  EXPECT_EQ(d->Caption(), tr(dialog.caption));
  const LONG_PTR style = GetWindowLongPtrW(window, GWL_STYLE);
  const LONG_PTR exStyle = GetWindowLongPtrW(window, GWL_EXSTYLE);
  // Fixed size: no maximise box, and so no minimise box either (Windows
  // draws them only in pairs).
  EXPECT_FALSE(style & (WS_MAXIMIZEBOX | WS_MINIMIZEBOX | WS_THICKFRAME));
  EXPECT_EQ((exStyle & WS_EX_APPWINDOW) != 0, dialog.frame == DialogFrame::kMain);
  EXPECT_TRUE(style & WS_SYSMENU) << "a close box";
  EXPECT_TRUE(style & WS_CAPTION);
  RECT client{};
  GetClientRect(window, &client);
  const RECT templateClient = DialogRect(window, 0, 0, dialog.width, dialog.height);
  EXPECT_EQ(client.bottom, templateClient.bottom) << "the template's height, menu bar or not";
  EXPECT_GE(client.right, templateClient.right);

  HWND child = GetWindow(window, GW_CHILD);
  std::vector<int> tabStops;
  struct Placed {
    const ControlTemplate* control;
    HWND window;
    RECT expected, place;
    std::string what;
  };
  std::vector<Placed> placed;
  for (const ControlTemplate& control : dialog.controls) {
    ASSERT_NE(child, nullptr) << "fewer windows than controls";
    const std::string what =
        std::string(dialog.caption) + " control " + std::to_string(control.id) + " " + std::string(control.text);
    EXPECT_EQ(GetDlgCtrlID(child), control.id == 0 ? -1 : control.id) << what;
    const LONG_PTR childStyle = GetWindowLongPtrW(child, GWL_STYLE);
    std::wstring expectedClass;
    std::string expectedText = tr(control.text);
    switch (control.kind) {
      case ControlKind::kLabel:
        expectedClass = L"static";
        EXPECT_EQ(childStyle & SS_TYPEMASK, control.flags & kCentred ? SS_CENTER : SS_LEFT) << what;
        EXPECT_TRUE(childStyle & SS_NOPREFIX) << what;
        break;
      case ControlKind::kEdit:
        expectedClass = L"edit";
        expectedText.clear();
        EXPECT_TRUE(childStyle & ES_AUTOHSCROLL) << what;
        EXPECT_EQ((childStyle & ES_RIGHT) != 0, (control.flags & kRightAligned) != 0) << what;
        EXPECT_EQ((childStyle & ES_NUMBER) != 0, (control.flags & kDigitsOnly) != 0) << what;
        break;
      case ControlKind::kButton:
      case ControlKind::kDefaultButton:
        expectedClass = L"button";
        EXPECT_TRUE((childStyle & BS_TYPEMASK) == BS_PUSHBUTTON || (childStyle & BS_TYPEMASK) == BS_DEFPUSHBUTTON);
        EXPECT_EQ(d->IsDefault(control.id), control.kind == ControlKind::kDefaultButton) << what;
        break;
      case ControlKind::kCheckBox:
        expectedClass = L"button";
        EXPECT_EQ(childStyle & BS_TYPEMASK, BS_AUTOCHECKBOX) << what;
        break;
      case ControlKind::kListBox:
        expectedClass = L"listbox";
        EXPECT_FALSE(childStyle & LBS_SORT) << what;
        EXPECT_TRUE(childStyle & LBS_NOTIFY) << what;
        break;
      case ControlKind::kUpDown: {
        expectedClass = L"msctls_updown32";
        // Bound to the control before it, writing its position there.
        const HWND buddy = reinterpret_cast<HWND>(SendMessageW(child, UDM_GETBUDDY, 0, 0));
        EXPECT_EQ(buddy, GetWindow(child, GW_HWNDPREV)) << what;
        EXPECT_TRUE(childStyle & UDS_SETBUDDYINT) << what;
        break;
      }
      case ControlKind::kProgressBar:
        expectedClass = L"msctls_progress32";
        expectedText.clear();
        break;
      case ControlKind::kIcon:
        expectedClass = L"static";
        expectedText.clear();
        EXPECT_EQ(childStyle & SS_TYPEMASK, SS_ICON) << what;
        EXPECT_NE(SendMessageW(child, STM_GETICON, 0, 0), 0) << what;
        break;
    }
    EXPECT_EQ(ClassOf(child), expectedClass) << what;
    EXPECT_EQ(TextOf(child), expectedText) << what;
    RECT expected = DialogRect(window, control.x, control.y, control.width, control.height);
    if (control.kind == ControlKind::kIcon) {
      expected.right = expected.left + 32;  // the icon's own size
      expected.bottom = expected.top + 32;
    }
    RECT place = PlaceOf(child);
    // An up-down may keep its own width, a pixel off the template's.
    const int expectedWidth = expected.right - expected.left;
    if (control.kind == ControlKind::kUpDown && std::abs(place.right - place.left - expectedWidth) <= 1)
      place.right = place.left + expectedWidth;
    placed.push_back({&control, child, expected, place, what});
    if (childStyle & WS_TABSTOP) tabStops.push_back(control.id);
    child = GetWindow(child, GW_HWNDNEXT);
  }
  EXPECT_EQ(child, nullptr) << "more windows than controls";

  // Every control at the template's place, but where a static text, a check
  // box or a button needed more room in this system's font or this language:
  // its box is as wide as its text needs, and the controls to its right on
  // its row stand clear of it, as far right as that takes. Nothing overlaps,
  // no text is cut, and everything is inside the client area.
  GetClientRect(window, &client);
  const int height = DialogRect(window, 0, 0, 0, dialog.height).bottom;
  EXPECT_EQ(client.bottom, height);
  std::vector<RECT> widened;
  const auto textual = [](const ControlTemplate& control) {
    return control.kind == ControlKind::kLabel || control.kind == ControlKind::kCheckBox ||
           control.kind == ControlKind::kButton || control.kind == ControlKind::kDefaultButton;
  };
  for (const Placed& p : placed) {
    const bool label = p.control->kind == ControlKind::kLabel;
    EXPECT_EQ(p.place.top, p.expected.top) << p.what;
    EXPECT_EQ(p.place.bottom, p.expected.bottom) << p.what;
    EXPECT_LE(p.place.right, client.right) << p.what;
    const int needed = TextWidth(p.window, tr(p.control->text)) + RoomBesideText(window, p.control->kind);
    const int width = p.place.right - p.place.left, templateWidth = p.expected.right - p.expected.left;
    if (textual(*p.control) && width != templateWidth) {
      EXPECT_GT(width, templateWidth) << p.what;
      EXPECT_EQ(width, needed) << p.what << ": as wide as its text needs";
      if (label) {
        EXPECT_EQ(p.place.left, p.expected.left) << p.what;
      }
      widened.push_back(p.place);
    }
    if (textual(*p.control) && !(p.control->flags & kCentred) && !p.control->text.empty()) {
      EXPECT_LE(needed, width) << p.what << " is cut";
    }
  }
  for (const Placed& p : placed) {
    if (p.control->kind == ControlKind::kLabel) continue;
    if (!textual(*p.control)) {
      EXPECT_EQ(p.place.right - p.place.left, p.expected.right - p.expected.left) << p.what;
    }
    bool mayMove = false;
    for (const RECT& wider : widened) {
      if (wider.top < p.place.bottom && p.place.top < wider.bottom && wider.left < p.expected.left) mayMove = true;
    }
    if (!mayMove) {
      EXPECT_EQ(p.place.left, p.expected.left) << p.what;
    }
    for (const Placed& other : placed) {
      if (&other == &p) continue;
      RECT overlap{};
      const bool clash =
          IntersectRect(&overlap, &p.place, &other.place) && (other.control->kind != ControlKind::kLabel || mayMove);
      EXPECT_FALSE(clash) << p.what << " and " << other.what;
    }
  }

  // Tab walks the focusable controls in template order, round to the first.
  if (!tabStops.empty()) {
    std::vector<int> walked;
    HWND item = GetDlgItem(window, tabStops[0]);
    for (std::size_t i = 0; i <= tabStops.size() && item; ++i) {
      walked.push_back(GetDlgCtrlID(item));
      item = GetNextDlgTabItem(window, item, FALSE);
    }
    tabStops.push_back(tabStops[0]);
    EXPECT_EQ(walked, tabStops);
  }

  const HMENU bar = GetMenu(window);
  EXPECT_EQ(bar != nullptr, !dialog.menu.empty());
  if (bar) {
    ASSERT_EQ(GetMenuItemCount(bar), static_cast<int>(dialog.menu.size()));
    for (std::size_t p = 0; p < dialog.menu.size(); ++p) {
      EXPECT_EQ(MenuText(bar, static_cast<UINT>(p)), tr(dialog.menu[p].text));
      const HMENU popup = GetSubMenu(bar, static_cast<int>(p));
      ASSERT_EQ(GetMenuItemCount(popup), static_cast<int>(dialog.menu[p].items.size()));
      for (std::size_t i = 0; i < dialog.menu[p].items.size(); ++i) {
        const MenuItemTemplate& item = dialog.menu[p].items[i];
        const UINT state = GetMenuState(popup, static_cast<UINT>(i), MF_BYPOSITION);
        EXPECT_EQ((state & MF_SEPARATOR) != 0, item.id == 0) << item.text;
        if (item.id == 0) continue;
        EXPECT_EQ(static_cast<int>(GetMenuItemID(popup, static_cast<int>(i))), item.id);
        EXPECT_EQ(MenuText(popup, static_cast<UINT>(i)), tr(item.text));
      }
    }
  }
  if (!dialog.systemMenuItem.empty()) {
    const HMENU system = GetSystemMenu(window, FALSE);
    const int count = GetMenuItemCount(system);
    ASSERT_GE(count, 2);
    EXPECT_TRUE(GetMenuState(system, count - 2, MF_BYPOSITION) & MF_SEPARATOR);
    EXPECT_EQ(static_cast<int>(GetMenuItemID(system, count - 1)), IDM_ABOUTBOX);
    EXPECT_EQ(MenuText(system, static_cast<UINT>(count - 1)), tr(dialog.systemMenuItem));
  }
  if (dialog.frame == DialogFrame::kMain) {
    EXPECT_NE(SendMessageW(window, WM_GETICON, ICON_BIG, 0), 0);
  }

  // Japanese text is drawn with glyphs, not boxes.
  EXPECT_TRUE(DrawsGlyphs(GetWindow(window, GW_CHILD), L"バックアップ"));
  EXPECT_TRUE(DrawsGlyphs(window, L"ｷｬﾝｾﾙ"));
}

// What a user's action reaches the logic as, dialog by dialog.
TEST(Win32DialogEvents, ActionsReachTheLogic) {
  struct Case {
    const char* what;
    const DialogTemplate& (*dialog)();
    std::function<void(Win32DialogDriver&)> act;
    std::vector<std::string> events;  // after "init", "show"
    bool open;
  };
  auto* const Main = &MainDialogTemplate;
  auto* const Restore = &RestoreDialogTemplate;
  auto* const About = &AboutDialogTemplate;
  const std::vector<Case> cases = {
      {"push button", Main, [](auto& d) { d.Click(IDC_BROWSE); }, {"command 1004"}, true},
      {"default button", Main, [](auto& d) { d.Click(IDC_OK); }, {"command 1"}, false},
      {"check box", Main, [](auto& d) { d.Click(IDC_NOTIME); }, {}, true},
      {"typed text", Main, [](auto& d) { d.Type(IDC_EDIT2, "D:\\保存"); }, {"change 1001"}, true},
      {"menu command", Main, [](auto& d) { d.Menu(ID_LOG_SIZE); }, {"command 32773"}, true},
      {"About from the menu", Main, [](auto& d) { d.Menu(IDM_ABOUTBOX); }, {"command 16"}, true},
      {"About from the system menu",
       Main,
       [](auto& d) { SendMessageW(d.dialog().handle(), WM_SYSCOMMAND, IDM_ABOUTBOX, 0); },
       {"command 16"},
       true},
      {"no such menu command", Restore, [](auto& d) { d.Menu(ID_LOG_VIEW); }, {}, true},
      {"F1", Main, [](auto& d) { d.HelpKey(); }, {"command 57670"}, true},
      {"F1 without a help command", Restore, [](auto& d) { d.HelpKey(); }, {}, true},
      {"Esc", Main, [](auto& d) { d.Escape(); }, {"command 2"}, false},
      {"close box", Restore, [](auto& d) { d.CloseBox(); }, {"command 2"}, false},
      {"Esc without a Cancel button", About, [](auto& d) { d.Escape(); }, {"command 2"}, false},
      {"close box of the progress window", ProgressTemplate, [](auto& d) { d.CloseBox(); }, {"command 2"}, false},
      {"disabled button",
       Main,
       [](auto& d) {
         d.dialog().EnableItem(IDC_RESTORE, false);
         d.Click(IDC_RESTORE);
       },
       {},
       true},
      {"arrow",
       LogSizeDialogTemplate,
       [](auto& d) {
         d.dialog().SetUpDownRange(IDC_SPIN, 100, 10000);
         d.dialog().SetUpDownPos(IDC_SPIN, 500);
         d.Step(IDC_SPIN, true);
       },
       {"change 1000", "change 1000"},
       true},
  };
  for (const Case& c : cases) {
    RecordingLogic logic(c.dialog());
    auto d = OpenDialog(logic);
    c.act(*d);
    std::vector<std::string> expected{"init", "show"};
    expected.insert(expected.end(), c.events.begin(), c.events.end());
    EXPECT_EQ(logic.events, expected) << c.what;
    EXPECT_EQ(d->IsOpen(), c.open) << c.what;
  }
}

// The logic's calls on the window, as the handlers make them.
TEST(Win32DialogEvents, TheLogicsCallsChangeTheControls) {
  struct Case {
    const char* what;
    const DialogTemplate& (*dialog)();
    std::function<void(DialogWindow&)> act;
    std::function<void(Win32DialogDriver&, RecordingLogic&)> check;
  };
  const std::vector<Case> cases = {
      {"a position set again, reported again", LogSizeDialogTemplate,
       [](DialogWindow& w) {
         w.SetUpDownRange(IDC_SPIN, 100, 10000);
         for (int position : {500, 500, 20000}) w.SetUpDownPos(IDC_SPIN, position);
       },
       [](auto& d, auto& logic) {
         EXPECT_EQ(d.Text(IDC_EDIT1), "10000");
         EXPECT_EQ(std::count(logic.events.begin(), logic.events.end(), "change 1000"), 3);
       }},
      {"a row beyond the list selects none", RestoreDialogTemplate,
       [](DialogWindow& w) {
         for (const char* row : {"(-1) 報告書_2", "(-2) 報告書_1"}) w.AddListRow(IDC_LIST, row);
         w.SelectListRow(IDC_LIST, 1);
         w.SelectListRow(IDC_LIST, 7);
       },
       [](auto& d, auto&) { EXPECT_EQ(d.SelectedRow(IDC_LIST), -1); }},
      {"the main window back from the task bar, as a second start asks", MainDialogTemplate, [](DialogWindow&) {},
       [](auto& d, auto&) {
         // Asked of the main window, or of a dialog open over it.
         RecordingLogic over(AboutDialogTemplate());
         auto about = OpenDialog(over, &d.dialog());
         for (HWND asked : {d.dialog().handle(), about->dialog().handle()}) {
           ShowWindow(d.dialog().handle(), SW_MINIMIZE);
           ASSERT_TRUE(IsIconic(d.dialog().handle()));
           SendMessageW(asked, WM_SYSCOMMAND, SC_RESTORE, 0);
           EXPECT_FALSE(IsIconic(d.dialog().handle()));
           EXPECT_TRUE(IsWindowVisible(d.dialog().handle()));
         }
       }},
      {"focus, the edit's text selected", MainDialogTemplate,
       [](DialogWindow& w) {
         w.SetItemText(IDC_EDIT2, "D:\\backup");
         w.FocusItem(IDC_EDIT2);
       },
       [](auto& d, auto&) {
         EXPECT_EQ(d.Focused(), IDC_EDIT2);
         DWORD start = 1, end = 0;
         SendMessageW(d.dialog().Item(IDC_EDIT2), EM_GETSEL, reinterpret_cast<WPARAM>(&start),
                      reinterpret_cast<LPARAM>(&end));
         EXPECT_EQ(start, 0u);
         EXPECT_EQ(end, 9u);
       }},
      {"ids the dialog lacks", AboutDialogTemplate,
       [](DialogWindow& w) {
         w.SetItemText(IDC_EDIT1, "x");
         w.SetChecked(IDC_NOFORCE, true);
         w.FocusItem(0);
       },
       [](auto& d, auto&) {
         EXPECT_EQ(d.Text(IDC_EDIT1), "");
         EXPECT_FALSE(d.Checked(IDC_NOFORCE));
         EXPECT_FALSE(d.Enabled(IDC_EDIT1));
         EXPECT_EQ(d.SelectedRow(IDC_LIST), -1);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    RecordingLogic logic(c.dialog());
    auto d = OpenDialog(logic);
    c.act(d->dialog());
    c.check(*d, logic);
  }
}

TEST(Win32DialogRun, ModalRunReturnsTheResultAndDetachesTheLogic) {
  RecordingLogic logic(LogSizeDialogTemplate());
  logic.onShow = [&](DialogWindow& w) { w.EndDialog(IDC_SKIP_LOG); };
  Win32Dialog dialog(logic);
  EXPECT_EQ(dialog.RunModal(nullptr), IDC_SKIP_LOG);
  EXPECT_EQ(logic.events, (std::vector<std::string>{"init", "show"}));
  EXPECT_FALSE(logic.attached());
  EXPECT_FALSE(dialog.open());
}

// ---- Pictures of the four dialogs, with the handlers' content ----

class Win32PictureTest : public ::testing::Test, protected testing::EngineServices<> {
 protected:
  Win32PictureTest() {
    CreateDirectoryW(L"screenshots", nullptr);
    engine.sourcePath = "C:\\Users\\hanako\\書類\\報告書";
    engine.backupDir = "D:\\backup";
    engine.generationCount = 3;
    engine.restoreDir = "C:\\Users\\hanako\\復元";
  }
  void Save(DialogLogic& logic, const char* name, Language language = Language::kJapanese) {
    Win32Dialog dialog(logic, language);
    ASSERT_TRUE(dialog.Open(nullptr));
    Save(dialog.handle(), name);
  }
  void Save(HWND window, const char* name) {
    const testing::Picture picture = testing::Capture(window);
    EXPECT_GT(picture.width, 100);
    // Text, frame and controls: many pixels unlike the background.
    const auto pixels = static_cast<std::size_t>(picture.width) * picture.height;
    EXPECT_GT(picture.PixelsUnlike(), pixels / 50) << name;
    EXPECT_GT(picture.Colours(), 4u) << name;
    const std::string path = std::string("screenshots/") + name + ".png";
    EXPECT_TRUE(testing::WritePng(picture, path)) << path;
  }

  Win32DialogServices services;
};

// The four dialogs, the log and the help page in the viewer, in Japanese and
// in English (the user's interface language decides which); the template test checks that no text
// is cut.
TEST_F(Win32PictureTest, FourDialogsAndTheViewer) {
  for (int i = 0; i < 3; ++i) {
    CFileEntry entry;
    entry.name = "報告書_" + std::to_string(i + 1);
    entry.time = 1700000000 - (2 - i) * 86400;
    entry.generation = 2 - i;
    entry.isDirectory = true;
    engine.generations.push_back(entry);
  }
  testing::TempDir dir;
  testing::WriteFile(
      dir / "VELDAR2.LOG",
      "1234 : 05/02/04 09:19:55 : Start with parameter\n"
      "1234 : 05/02/04 09:19:56 : File Copied : C:\\data\\報告書.txt to D:\\backup\\data_1\\報告書.txt\n");
  for (const Language language : {Language::kJapanese, Language::kEnglish}) {
    const std::string suffix = language == Language::kEnglish ? "-en" : "";
    Win32DialogServices localised(language);
    CVELDAR2Dlg main(engine, localised);
    Save(main, ("main-dialog" + suffix).c_str(), language);
    CVELDAR2Res restore(engine, localised);
    Save(restore, ("restore-dialog" + suffix).c_str(), language);
    CVELDAR2Logsize logSize(messages);
    Save(logSize, ("logsize-dialog" + suffix).c_str(), language);
    CVELDAR2About about;
    Save(about, ("about-dialog" + suffix).c_str(), language);
    const HWND viewer = ShowFileViewer(nullptr, dir / "VELDAR2.LOG", language);
    ASSERT_NE(viewer, nullptr);
    Save(viewer, ("log-viewer" + suffix).c_str());
    DestroyWindow(viewer);
    // The help page as the viewer shows it where no program opens HTML.
    const HWND help = ShowFileViewer(nullptr, localised.HelpPagePath(), language);
    ASSERT_NE(help, nullptr);
    Save(help, ("help-viewer" + suffix).c_str());
    DestroyWindow(help);
  }
}

}  // namespace
}  // namespace veldar
