#pragma once
// What the dialogs' handlers see of a toolkit, and nothing more.
//
// `DialogWindow` is one open dialog, built from its template (dialog_template.h)
// by a toolkit: the handlers read and write its controls by template id.
// `DialogServices` is what the program offers every dialog: pickers, other
// dialogs shown modally, the desktop's program for a file, and a run on a
// worker thread behind the progress window. `DialogLogic` is a dialog's
// behaviour: the toolkit calls it when the dialog opens, is shown, and when a
// control or menu item is used.
//
// Qt implements the interfaces on Linux (ui/qt), Win32 on Windows (ui/win32),
// and a fake in memory for tests (ui/fake_dialog.h). Message boxes are the
// engine's `UserMessages`.

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "engine/run_progress.h"
#include "ui/dialog_template.h"

namespace veldar {

class CVELDAR2Engine;

// An open dialog's controls. Calls with an id the dialog lacks do nothing
// (reads give an empty text, false, -1).
class DialogWindow {
 public:
  virtual ~DialogWindow() = default;

  // The text of an edit, a button, a check box or a static text (UTF-8).
  virtual std::string ItemText(int id) const = 0;
  // Sets it. Setting an edit's text reports a change (OnEditChange), as a
  // typed change does.
  virtual void SetItemText(int id, const std::string& text) = 0;
  virtual bool IsChecked(int id) const = 0;
  virtual void SetChecked(int id, bool checked) = 0;
  virtual bool IsEnabled(int id) const = 0;
  virtual void EnableItem(int id, bool enable) = 0;
  // Gives the control the keyboard focus; an edit's text is selected whole.
  virtual void FocusItem(int id) = 0;
  // A list box: appends a row; the selected row (from 0), or -1 for none;
  // selects a row (-1: none).
  virtual void AddListRow(int id, const std::string& row) = 0;
  // Appends a row that ends in a mark: `row`, three blanks, then `mark`, one
  // of the program's own texts, in the user's language.
  virtual void AddMarkedListRow(int id, const std::string& row, const std::string& mark) = 0;
  virtual int SelectedListRow(int id) const = 0;
  virtual void SelectListRow(int id, int row) = 0;
  // An up-down control: its range (`lower` at the bottom arrow) and its
  // position, which it also writes into its buddy as plain digits.
  virtual void SetUpDownRange(int id, int lower, int upper) = 0;
  virtual void SetUpDownPos(int id, int position) = 0;
  // Closes the dialog; its modal run returns `result`.
  virtual void EndDialog(int result) = 0;
};

class DialogLogic;

// One file type of a picker's filter: "すべてのファイル(*.*)" and "*.*".
struct FileType {
  std::string label, pattern;  // patterns separated by ';'
  bool operator==(const FileType&) const = default;
};
// The file types of a filter "label|pattern|label|pattern||" ("||", or the
// end, ends it; a label without a pattern is dropped).
std::vector<FileType> ParseFileFilter(const std::string& filter);

// A run behind a progress window: it reports to `progress` and stops when a
// stop is asked of it there; returns the run's result.
using ProgressWork = std::function<int(RunProgress& progress)>;

class DialogServices {
 public:
  virtual ~DialogServices() = default;
  // A file picker for opening, over `owner`, starting at `initialPath`,
  // accepting any typed name. `filter` is "label|pattern||". The chosen
  // path, or nothing when cancelled.
  virtual std::optional<std::string> ChooseFile(DialogWindow& owner, const std::string& title,
                                                const std::string& initialPath, const std::string& filter) = 0;
  // A folder picker over `owner`, starting at `initialPath` where that is a
  // folder (else at its nearest existing parent, else the home folder). The
  // chosen folder, or nothing when cancelled; an empty text when the choice
  // has no file-system path.
  virtual std::optional<std::string> ChooseFolder(DialogWindow& owner, const std::string& title,
                                                  const std::string& initialPath) = 0;
  // A small menu of `items` under control `anchorId` of `owner`. The index
  // of the item chosen, or nothing when the menu was dismissed.
  virtual std::optional<int> ChooseFromMenu(DialogWindow& owner, int anchorId,
                                            const std::vector<std::string>& items) = 0;
  // Builds the dialog of `logic` over `owner` (nullptr: none), runs it
  // modally and returns the result it ended with (IDC_OK, IDC_CANCEL, ...).
  virtual int RunModal(DialogWindow* owner, DialogLogic& logic) = 0;
  // Opens the local file `path` with the program the desktop associates with
  // it (a browser for the help page, an editor for the log). Where the
  // desktop has no such program, or it fails, the file is shown in a
  // read-only viewer of the program's own, above `owner` (the dialog that
  // asked, usable while that dialog runs modally; nullptr: none): it takes
  // the keyboard and closes with its button, Esc and its close box.
  virtual void OpenWithDesktop(DialogWindow* owner, const std::string& path) = 0;
  // Runs `work` (a backup or a restore) on a worker thread while a progress
  // window over `owner` shows the progress `work` is given to report to
  // (its totals, the file being copied, and the user's wish to stop), with
  // the wait cursor; the dialogs stay painted meanwhile. Returns `work`'s
  // result.
  virtual int RunWithProgress(DialogWindow& owner, const ProgressWork& work) = 0;
  // The help page, "veldar2_help.html", where the program finds it.
  virtual std::string HelpPagePath() = 0;
};

// A dialog's behaviour, like a framework dialog class without its window.
// The toolkit builds the window from `Template()`, then calls `Attach`,
// `OnInitDialog` and, at its first showing, `OnShowWindow`; afterwards
// `OnCommand` for every push-button press and menu command (Esc and the close
// box arrive as IDC_CANCEL; Enter as the default button; a check box toggles
// itself, and whether its click also arrives differs between toolkits, so no
// handler relies on it), `OnEditChange` for every change of an edit's
// text and `OnDoubleClick` for a double click on a row of a list box (the
// row is selected by then). `Attach(nullptr)` when the window is gone.
class DialogLogic {
 public:
  explicit DialogLogic(const DialogTemplate& dialogTemplate) : template_(dialogTemplate) {}
  virtual ~DialogLogic() = default;

  const DialogTemplate& Template() const { return template_; }
  void Attach(DialogWindow* window) { window_ = window; }
  bool attached() const { return window_ != nullptr; }

  // Runs once, when the window's controls exist and before it is shown.
  virtual bool OnInitDialog() { return true; }
  virtual void OnShowWindow() {}
  // The default: OK and Cancel close the dialog with their id; anything
  // else is ignored.
  virtual void OnCommand(int id);
  virtual void OnEditChange(int /*id*/) {}
  virtual void OnDoubleClick(int /*id*/) {}

 protected:
  DialogWindow& window() const { return *window_; }

 private:
  const DialogTemplate& template_;
  DialogWindow* window_ = nullptr;
};

}  // namespace veldar
