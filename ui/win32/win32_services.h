#pragma once
// What the dialogs get from Windows (DialogServices): the shell's file and
// folder pickers, other dialogs run modally, the shell's program for a file,
// the help page beside the program, and a run behind the progress window.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "res/language.h"
#include "ui/dialog_window.h"

struct HWND__;

namespace veldar {

class Win32Dialog;

class Win32DialogServices : public DialogServices {
 public:
  // Pickers, menus, the dialogs it runs, the viewer and the progress window
  // in `language`.
  explicit Win32DialogServices(Language language = Language::kJapanese) : language_(language) {}

  // The shell's open dialog (IFileOpenDialog) over `owner`: titled `title`,
  // in the folder of `initialPath` with its name typed in, the types of
  // `filter` ("label|pattern||"); any typed name is accepted, existing or
  // not. The chosen path, or nothing when cancelled or when the dialog could
  // not be shown.
  std::optional<std::string> ChooseFile(DialogWindow& owner, const std::string& title, const std::string& initialPath,
                                        const std::string& filter) override;
  // The same dialog picking folders, starting at `initialPath` or its
  // nearest existing parent (else where the shell starts). An empty text for
  // a choice that has no file-system path (a library, a network place).
  std::optional<std::string> ChooseFolder(DialogWindow& owner, const std::string& title,
                                          const std::string& initialPath) override;
  // A popup menu under the control, chosen with the mouse or the keyboard.
  std::optional<int> ChooseFromMenu(DialogWindow& owner, int anchorId, const std::vector<std::string>& items) override;
  // A Win32Dialog over `owner`; -1 when it could not be created.
  int RunModal(DialogWindow* owner, DialogLogic& logic) override;
  // ShellExecute "open"; where the shell has no program for the file or
  // cannot start it, the program's own viewer (win32_file_viewer.h) above
  // `owner`. Whether a started program then succeeds is not known.
  void OpenWithDesktop(DialogWindow* owner, const std::string& path) override;
  int RunWithProgress(DialogWindow& owner, const ProgressWork& work) override;
  // The help page in the directory of the running program:
  // veldar2_help.html, or veldar2_help_en.html in English.
  std::string HelpPagePath() override;

 private:
  Language language_;
};

// Where a folder picker starts for `path`: the folder itself, or its nearest
// existing parent; empty when there is none.
std::string PickerStartFolder(const std::string& path);

// The window behind a `DialogWindow` that Win32 drew; nullptr for any other.
HWND__* WindowOf(DialogWindow* dialog);

// Runs `work` on a worker thread while the progress window (ProgressTemplate)
// is shown over `owner`, which is disabled meanwhile; both show the wait
// cursor. The engine reports to a RunProgress of this run; ten times a second
// the window shows the file being copied, the bar, the files and bytes done
// of the plan's totals, the rate and the time left. キャンセル, Esc and the
// close box ask the run to stop (the button is then disabled); the window
// closes when the work has ended. This thread pumps messages meanwhile, so
// the dialogs stay painted and boxes asked by the worker are shown. Returns
// `work`'s result; an exception from `work` is thrown here, after the window
// is gone. Without a window (no display) the work still runs.
int RunWithProgressWindow(Win32Dialog* owner, const ProgressWork& work);

}  // namespace veldar
