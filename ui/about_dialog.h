#pragma once
// CVELDAR2About: the About box, drawn from `AboutDialogTemplate()`: the icon,
// the version, the copyright, what the program is built with, and OK.

#include "ui/dialog_window.h"

namespace veldar {

class CVELDAR2About : public DialogLogic {
 public:
  CVELDAR2About() : DialogLogic(AboutDialogTemplate()) {}
};

}  // namespace veldar
