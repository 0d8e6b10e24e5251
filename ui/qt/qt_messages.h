#pragma once
// QtUserMessages: the engine's message boxes as Qt message boxes.
//
// A box has the program's name as its caption, the warning icon and one OK
// button (OK and Cancel for a question), and stands over the window the user
// is working in. The engine may call from a worker thread (a backup run from
// the dialog); the box is then shown on the interface thread and the worker
// waits for the answer. Where no window can be shown (a batch start without a
// display) the texts go to `fallback`.

#include <functional>
#include <string>

#include "engine/user_messages.h"

namespace veldar {

class QtUserMessages : public UserMessages {
 public:
  // `canShowWindows` is asked before every message: true when a box can be
  // shown (it may start the Qt application on demand). Not set: boxes are
  // shown whenever a QApplication exists. `fallback` takes what cannot be
  // shown; null: the texts go to standard error as they are, and questions
  // count as Cancel.
  explicit QtUserMessages(std::function<bool()> canShowWindows = {}, UserMessages* fallback = nullptr);

  void Show(const std::string& text) override;
  bool AskOkCancel(const std::string& text) override;

  // Asked ten times a second while a box is open; true closes it, as
  // Cancel would (a stop requested of a batch run by a signal: nobody may
  // be there to answer the box, and the run must stop). May be empty.
  std::function<bool()> closeWhen;

 private:
  bool CanShowWindows();
  std::function<bool()> canShowWindows_;
  UserMessages* fallback_;
};

}  // namespace veldar
