#pragma once
// Tests of the dialogs' handlers play the user through `DialogDriver`, so the
// same test runs on every toolkit the build has: the fake (in memory), Qt on
// Linux, Win32 on Windows. A toolkit's driver works its real controls the way
// a user does (a typed text, a click, a key), so the toolkit's wiring of
// events to handlers is tested along with the handlers.
//
// `DialogToolkit` opens dialogs for a test and offers services whose pickers
// and modal dialogs the test answers (`ScriptedDialogServices`).

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "ui/dialog_window.h"

namespace veldar::testing {

class DialogDriver {
 public:
  virtual ~DialogDriver() = default;
  virtual std::string Caption() = 0;
  virtual std::string Text(int id) = 0;
  // Replaces the text of edit `id` as typing would.
  virtual void Type(int id, const std::string& text) = 0;
  // Presses button `id`, or toggles check box `id`, as a click does.
  virtual void Click(int id) = 0;
  virtual bool Checked(int id) = 0;
  virtual bool Enabled(int id) = 0;
  virtual bool IsDefault(int id) = 0;
  // The id of the control with the keyboard focus; 0 for none.
  virtual int Focused() = 0;
  // Chooses menu command `id`.
  virtual void Menu(int id) = 0;
  // Presses up-down `id`'s upper (`up`) or lower arrow.
  virtual void Step(int id, bool up) = 0;
  virtual std::vector<std::string> Rows(int id) = 0;
  virtual void SelectRow(int id, int row) = 0;
  // Double-clicks row `row` of list `id`, as the mouse does.
  virtual void DoubleClickRow(int id, int row) = 0;
  virtual int SelectedRow(int id) = 0;
  // Presses Esc; uses the close box.
  virtual void Escape() = 0;
  virtual void CloseBox() = 0;
  // True while the dialog is open; the result it ended with.
  virtual bool IsOpen() = 0;
  virtual int Result() = 0;
};

class ScriptedDialogServices;

class DialogToolkit {
 public:
  virtual ~DialogToolkit() = default;
  virtual std::string Name() const = 0;
  // Builds and shows the dialog of `logic`, without waiting for it to close.
  virtual std::unique_ptr<DialogDriver> Open(DialogLogic& logic, DialogWindow* owner = nullptr) = 0;
  // The window `driver` drives, as the handlers see it.
  virtual DialogWindow& Window(DialogDriver& driver) = 0;
  // The toolkit's own run behind a progress window (what the program uses).
  virtual int RunWithProgress(DialogWindow& owner, const ProgressWork& work) = 0;
};

// The toolkits this build can drive: the fake everywhere, and the platform's.
std::vector<std::shared_ptr<DialogToolkit>> DialogToolkits();

// Services a test answers: picks come from the `...Answer` fields and are
// recorded; a modal dialog is opened on the toolkit and handed to `onModal`
// (which plays the user and leaves the dialog closed, or it is cancelled);
// runs go through the toolkit's progress window (and may be stopped).
class ScriptedDialogServices : public DialogServices {
 public:
  explicit ScriptedDialogServices(DialogToolkit& toolkit) : toolkit_(toolkit) {}

  struct Pick {
    std::string title, initialPath, filter;
  };
  std::optional<std::string> ChooseFile(DialogWindow&, const std::string& title, const std::string& initialPath,
                                        const std::string& filter) override {
    files.push_back({title, initialPath, filter});
    return fileAnswer;
  }
  std::optional<std::string> ChooseFolder(DialogWindow&, const std::string& title,
                                          const std::string& initialPath) override {
    folders.push_back({title, initialPath, {}});
    return folderAnswer;
  }
  std::optional<int> ChooseFromMenu(DialogWindow&, int anchorId, const std::vector<std::string>& items) override {
    menus.push_back({anchorId, items});
    return menuAnswer;
  }
  int RunModal(DialogWindow* owner, DialogLogic& logic) override {
    modals.push_back(&logic);
    auto driver = toolkit_.Open(logic, owner);
    if (onModal) onModal(*driver, logic);
    if (driver->IsOpen()) driver->Escape();
    return driver->Result();
  }
  void OpenWithDesktop(DialogWindow*, const std::string& path) override { opened.push_back(path); }
  int RunWithProgress(DialogWindow& owner, const ProgressWork& work) override {
    ++runs;
    if (!stopRuns) return toolkit_.RunWithProgress(owner, work);
    // The user presses キャンセル as soon as the run begins.
    return toolkit_.RunWithProgress(owner, [&](RunProgress& progress) {
      progress.RequestCancel();
      return work(progress);
    });
  }
  std::string HelpPagePath() override { return helpPage; }

  struct Menu {
    int anchorId;
    std::vector<std::string> items;
  };
  std::optional<std::string> fileAnswer, folderAnswer;
  std::optional<int> menuAnswer;
  std::function<void(DialogDriver&, DialogLogic&)> onModal;
  std::vector<Pick> files, folders;
  std::vector<Menu> menus;
  int runs = 0;                      // runs behind the progress window
  bool stopRuns = false;             // each run is asked to stop as it begins
  std::vector<DialogLogic*> modals;  // valid only inside onModal
  std::vector<std::string> opened;
  std::string helpPage = "veldar2_help.html";

 private:
  DialogToolkit& toolkit_;
};

}  // namespace veldar::testing
