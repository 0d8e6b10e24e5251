#include "ui/fake_dialog.h"

#include "engine/engine.h"

#include <algorithm>
#include <cstdlib>
#include <thread>

namespace veldar::testing {

FakeDialogWindow::FakeDialogWindow(DialogLogic& dialogLogic, DialogWindow* ownerWindow)
    : logic(dialogLogic), owner(ownerWindow) {
  for (const ControlTemplate& source : logic.Template().controls) {
    Control control;
    control.source = &source;
    if (source.kind != ControlKind::kEdit) control.text = std::string(source.text);
    controls.push_back(control);
  }
  logic.Attach(this);
  logic.OnInitDialog();
  logic.OnShowWindow();
}

FakeDialogWindow::~FakeDialogWindow() { logic.Attach(nullptr); }

FakeDialogWindow::Control* FakeDialogWindow::Find(int id) {
  for (Control& control : controls) {
    if (id != 0 && control.source->id == id) return &control;
  }
  return nullptr;
}

const FakeDialogWindow::Control* FakeDialogWindow::Find(int id) const {
  return const_cast<FakeDialogWindow*>(this)->Find(id);
}

int FakeDialogWindow::BuddyOf(int id) const {
  for (std::size_t i = 1; i < controls.size(); ++i) {
    if (controls[i].source->id == id) return controls[i - 1].source->id;
  }
  return 0;
}

std::string FakeDialogWindow::ItemText(int id) const {
  const Control* control = Find(id);
  return control ? control->text : std::string();
}

void FakeDialogWindow::SetItemText(int id, const std::string& text) {
  Control* control = Find(id);
  if (!control) return;
  control->text = text;
  if (control->source->kind == ControlKind::kEdit) logic.OnEditChange(id);
}

bool FakeDialogWindow::IsChecked(int id) const {
  const Control* control = Find(id);
  return control && control->checked;
}

void FakeDialogWindow::SetChecked(int id, bool checked) {
  if (Control* control = Find(id)) control->checked = checked;
}

bool FakeDialogWindow::IsEnabled(int id) const {
  const Control* control = Find(id);
  return control && control->enabled;
}

void FakeDialogWindow::EnableItem(int id, bool enable) {
  if (Control* control = Find(id)) control->enabled = enable;
}

void FakeDialogWindow::FocusItem(int id) {
  if (Find(id)) focused = id;
}

void FakeDialogWindow::AddListRow(int id, const std::string& row) {
  if (Control* control = Find(id)) control->rows.push_back(row);
}

void FakeDialogWindow::AddMarkedListRow(int id, const std::string& row, const std::string& mark) {
  AddListRow(id, row + "   " + mark);
}

int FakeDialogWindow::SelectedListRow(int id) const {
  const Control* control = Find(id);
  return control ? control->selected : -1;
}

void FakeDialogWindow::SelectListRow(int id, int row) {
  Control* control = Find(id);
  if (!control) return;
  control->selected = row >= 0 && row < static_cast<int>(control->rows.size()) ? row : -1;
}

void FakeDialogWindow::SetUpDownRange(int id, int lower, int upper) {
  if (Control* control = Find(id)) {
    control->lower = lower;
    control->upper = upper;
  }
}

void FakeDialogWindow::SetUpDownPos(int id, int position) {
  Control* control = Find(id);
  if (!control) return;
  control->position =
      std::clamp(position, std::min(control->lower, control->upper), std::max(control->lower, control->upper));
  SetItemText(BuddyOf(id), std::to_string(control->position));
}

void FakeDialogWindow::EndDialog(int code) {
  open = false;
  result = code;
}

std::string FakeDialogDriver::Caption() { return std::string(window_->logic.Template().caption); }

void FakeDialogDriver::Type(int id, const std::string& text) {
  window_->focused = id;
  window_->SetItemText(id, text);
}

void FakeDialogDriver::Click(int id) {
  FakeDialogWindow::Control* control = window_->Find(id);
  if (!control || !control->enabled || !window_->open) return;
  window_->focused = id;
  if (control->source->kind == ControlKind::kCheckBox) {
    control->checked = !control->checked;
    return;
  }
  Command(id);
}

bool FakeDialogDriver::IsDefault(int id) {
  const FakeDialogWindow::Control* control = window_->Find(id);
  return control && control->source->kind == ControlKind::kDefaultButton;
}

void FakeDialogDriver::Menu(int id) { Command(id); }

void FakeDialogDriver::Command(int id) {
  if (window_->open) window_->logic.OnCommand(id);
}

// As an up-down does: steps from the buddy's number where it is one within
// the range, else from the last position.
void FakeDialogDriver::Step(int id, bool up) {
  FakeDialogWindow::Control* control = window_->Find(id);
  if (!control || !control->enabled) return;
  const int lower = std::min(control->lower, control->upper), upper = std::max(control->lower, control->upper);
  const std::string buddy = window_->ItemText(window_->BuddyOf(id));
  char* end = nullptr;
  const long typed = std::strtol(buddy.c_str(), &end, 10);
  int position = control->position;
  if (!buddy.empty() && *end == '\0' && typed >= lower && typed <= upper) position = static_cast<int>(typed);
  const bool towardsUpper = up == (control->upper >= control->lower);
  window_->SetUpDownPos(id, position + (towardsUpper ? 1 : -1));
}

std::vector<std::string> FakeDialogDriver::Rows(int id) {
  const FakeDialogWindow::Control* control = window_->Find(id);
  return control ? control->rows : std::vector<std::string>{};
}

// Only a row there is double-clicked; the click of it selects it first.
void FakeDialogDriver::DoubleClickRow(int id, int row) {
  const FakeDialogWindow::Control* control = window_->Find(id);
  if (!control || !control->enabled || !window_->open || row < 0 ||
      static_cast<std::size_t>(row) >= control->rows.size()) {
    return;
  }
  window_->focused = id;
  window_->SelectListRow(id, row);
  window_->logic.OnDoubleClick(id);
}

std::unique_ptr<DialogDriver> FakeDialogToolkit::Open(DialogLogic& logic, DialogWindow* owner) {
  return std::make_unique<FakeDialogDriver>(std::make_unique<FakeDialogWindow>(logic, owner));
}

DialogWindow& FakeDialogToolkit::Window(DialogDriver& driver) {
  return static_cast<FakeDialogDriver&>(driver).window();
}

int FakeDialogToolkit::RunWithProgress(DialogWindow&, const ProgressWork& work) {
  RunProgress progress;
  int result = 0;
  std::thread worker([&] { result = work(progress); });
  worker.join();
  return result;
}

}  // namespace veldar::testing
