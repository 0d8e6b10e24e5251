#pragma once
// The program's dialog templates, as data: for each dialog its caption, font,
// client size in dialog units, frame, menu and controls (id, kind, text,
// position in dialog units) in template order, which is also the tab order.
//
// This is the one description of the dialogs' layout. The Qt side builds its
// widgets from it on Linux; the Win32 side builds an in-memory dialog
// template from it on Windows. Neither keeps a layout of its own.

#include <string_view>
#include <vector>

namespace veldar {

// Control ids the handlers and both toolkits share.
enum DialogItemId : int {
  // The dialog's OK and Cancel (Esc and the close box come as Cancel).
  IDC_OK = 1,
  IDC_CANCEL = 2,
  IDC_EDIT1 = 1000,
  IDC_EDIT2 = 1001,
  IDC_RESTORE = 1003,
  IDC_BROWSE = 1004,
  IDC_BROWSE_DEST = 1005,
  IDC_GENERATIONS = 1006,
  IDC_LIST = 1008,
  IDC_OPEN_FOLDER = 1009,
  IDC_SUCCESS_LOG = 1010,
  IDC_SPIN = 1012,
  IDC_SKIP_LOG = 1013,
  IDC_NODELETE = 1014,
  IDC_NOFORCE = 1015,
  IDC_NOTIME = 1016,
  // The progress window's texts.
  IDC_PROGRESS_PATH = 1020,
  IDC_PROGRESS_COUNT = 1021,
  IDC_PROGRESS_BAR = 1022,
  IDC_PROGRESS_RATE = 1023,
  // The About box's line that names what the program is built with.
  IDC_ABOUT_BUILT_WITH = 1030,
};

// Menu command ids.
enum MenuCommandId : int {
  IDM_ABOUTBOX = 16,
  ID_LOG_SIZE = 32773,
  ID_LOG_CLEAR = 32774,
  ID_LOG_VIEW = 32775,
  ID_HELP = 57670,
};

enum class ControlKind {
  kLabel,          // static text, left-aligned unless kCentred
  kEdit,           // one-line edit with a border, scrolling horizontally
  kButton,         // push button
  kDefaultButton,  // the default push button (Enter presses it)
  kCheckBox,       // check box that toggles itself
  kListBox,        // list box, rows in the order added, vertical scroll bar
  kUpDown,         // up-down arrows bound to the control before it (its buddy)
  kIcon,           // the program's icon, at its own size (32 x 32 pixels)
  kProgressBar,    // a bar filled from 0 to 1000
};

enum ControlFlag : unsigned {
  kRightAligned = 1u << 0,  // edit: text to the right
  kCentred = 1u << 1,       // static text: centred
  kDigitsOnly = 1u << 2,    // edit: only digits can be typed
};

struct ControlTemplate {
  int id;  // 0: a control without an id (static texts, the icon)
  ControlKind kind;
  std::string_view text;
  int x, y, width, height;  // dialog units
  unsigned flags = 0;
};

struct MenuItemTemplate {
  int id;  // 0: a separator
  std::string_view text;
};

struct MenuTemplate {
  std::string_view text;
  std::vector<MenuItemTemplate> items;
};

enum class DialogFrame {
  kModal,     // modal frame, caption, close box
  kMain,      // a window of its own, on the task bar: caption and close box (and a
              // minimise box where the system draws one without a maximise box)
  kProgress,  // caption and close box (which cancels the run), not minimisable
};

struct DialogTemplate {
  int resourceId;
  std::string_view caption;
  std::string_view fontFace;  // the face the template names; toolkits may fall back
  int fontPoints;
  int width, height;  // client area, dialog units
  DialogFrame frame;
  std::vector<ControlTemplate> controls;  // template order = tab order
  std::vector<MenuTemplate> menu;         // empty: no menu bar
  std::string_view systemMenuItem;        // appended to the system menu as IDM_ABOUTBOX; empty: none
};

const DialogTemplate& MainDialogTemplate();     // the main dialog
const DialogTemplate& RestoreDialogTemplate();  // the restore dialog
const DialogTemplate& LogSizeDialogTemplate();  // the log size dialog
const DialogTemplate& AboutDialogTemplate();    // the About box
const DialogTemplate& ProgressTemplate();       // the progress window of a run

// The control of `dialog` with id `id`; nullptr when it has none.
const ControlTemplate* FindControl(const DialogTemplate& dialog, int id);

}  // namespace veldar
