#pragma once
// The engine's messages on Windows: a message box captioned "VELDAR2" with
// the warning icon, OK or OK and Cancel, over the active dialog, its text in
// the user's language.
//
// The engine asks from the worker thread of a run as well as from the
// interface thread: a box asked from another thread is shown by the thread
// that made this object (through a hidden message-only window of its own)
// while the asking thread waits for the answer. That thread must be pumping
// messages meanwhile, as the progress window's loop does.
//
// Where no box can be shown (no interactive desktop, as for a task run
// whether the user is logged on or not; no display under Wine) the text goes
// to `fallback`, as it did before there were dialogs: written to standard
// error, a question answered Cancel.

#include <functional>
#include <string>

#include "engine/user_messages.h"
#include "res/language.h"

struct HWND__;

namespace veldar {

class Win32UserMessages : public UserMessages {
 public:
  // To be made on the interface thread.
  explicit Win32UserMessages(UserMessages& fallback, Language language = Language::kJapanese);
  ~Win32UserMessages() override;
  Win32UserMessages(const Win32UserMessages&) = delete;
  Win32UserMessages& operator=(const Win32UserMessages&) = delete;

  void Show(const std::string& text) override;
  bool AskOkCancel(const std::string& text) override;

  // The box's answer (IDOK, IDCANCEL), or 0 when none could be shown.
  int Box(const std::string& text, bool withCancel);

  // Asked ten times a second while a box is open; true closes it, as
  // Cancel would (Ctrl-C or a closing console while a batch run waits on a
  // box: nobody may be there to answer it, and the run must stop). May be
  // empty.
  std::function<bool()> closeWhen;

 private:
  UserMessages& fallback_;
  const Language language_;
  unsigned long interfaceThread_;
  HWND__* relay_ = nullptr;
};

// True when this process's desktop is one a user sees (an interactive
// window station).
bool HasInteractiveDesktop();

}  // namespace veldar
