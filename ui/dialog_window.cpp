#include "ui/dialog_window.h"

namespace veldar {

void DialogLogic::OnCommand(int id) {
  if (id == IDC_OK || id == IDC_CANCEL) window().EndDialog(id);
}

}  // namespace veldar
