#pragma once
// CVELDAR2About: the About box, opened from the main dialog's help menu. It
// shows the program's icon, name and version, its maker and the licence of
// the toolkit it is built on.

#include "ui/template_dialog.h"

namespace veldar {

class CVELDAR2About : public TemplateDialog {
 public:
  explicit CVELDAR2About(QWidget* parent = nullptr);
};

}  // namespace veldar
