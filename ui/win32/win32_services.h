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

#include "ui/dialog_window.h"

struct HWND__;

namespace veldar {

class Win32Dialog;

class Win32DialogServices : public DialogServices {
 public:
  // The shell's open dialog (IFileOpenDialog) over `owner`: titled `title`,
  // in the folder of `initialPath` with its name typed in, the types of
  // `filter` ("label|pattern||"); any typed name is accepted, existing or
  // not. The chosen path, or nothing when cancelled or when the dialog could
  // not be shown.
  std::optional<std::string> ChooseFile(DialogWindow& owner, const std::string& title,
                                        const std::string& initialPath, const std::string& filter) override;
  // The same dialog picking folders. An empty text for a choice that has no
  // file-system path (a library, a network place).
  std::optional<std::string> ChooseFolder(DialogWindow& owner, const std::string& title) override;
  // A Win32Dialog over `owner`; -1 when it could not be created.
  int RunModal(DialogWindow* owner, DialogLogic& logic) override;
  // ShellExecute "open"; whether a program was found is not reported.
  void OpenWithDesktop(const std::string& path) override;
  int RunWithProgress(DialogWindow& owner, CVELDAR2Engine& engine, const std::function<int()>& work) override;
  // veldar2_help.html in the directory of the running program.
  std::string HelpPagePath() override;
};

// The window behind a `DialogWindow` that Win32 drew; nullptr for any other.
HWND__* WindowOf(DialogWindow* dialog);

// Runs `work` on a worker thread while the progress window (ProgressTemplate)
// is shown over `owner`, which is disabled meanwhile; both show the wait
// cursor. This thread pumps messages until the work has ended, so the
// dialogs stay painted and boxes asked by the worker are shown. The labels
// show the file copied last and the count so far (refreshed ten times a
// second); `engine.onFileCopied` is borrowed for the run and given back.
// Returns `work`'s result; an exception from `work` is thrown here, after
// the window is gone. Without a window (no display) the work still runs.
int RunWithProgressWindow(Win32Dialog* owner, CVELDAR2Engine& engine, const std::function<int()>& work);

// The picker's file types from the handlers' filter, "label|pattern||" with
// any number of pairs: {label, pattern} each. A label without a pattern is
// dropped.
std::vector<std::pair<std::wstring, std::wstring>> PickerFileTypes(const std::string& filter);

// "1,234 ファイル、56,789 バイト": the progress window's count line.
std::string ProgressCountText(std::uint64_t files, std::uint64_t bytes);

}  // namespace veldar
