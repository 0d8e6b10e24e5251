#pragma once
// How the engine speaks to the user: a modal box with one OK button and a
// warning icon, or a question with OK and Cancel. The dialogs show real boxes;
// a batch run without a display writes the texts to standard error; tests
// record them.

#include <string>

namespace veldar {

class UserMessages {
 public:
  virtual ~UserMessages() = default;
  // Shows `text` and returns when the user has dismissed it.
  virtual void Show(const std::string& text) = 0;
  // Asks `text`; true for OK, false for Cancel (or Esc, or closing the box).
  virtual bool AskOkCancel(const std::string& text) = 0;
};

}  // namespace veldar
