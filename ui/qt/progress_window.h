#pragma once
// The progress window of a run started from a dialog.
//
// `RunWithProgress` runs the work (a backup or a restore) on a worker thread
// and meanwhile shows a modal window over the dialog with the file copied
// last and the files and bytes copied so far, as the engine reports them
// through `onFileCopied`. The dialogs stay painted and answer the second
// start's request to come back; the engine's message boxes are shown on the
// interface thread (QtUserMessages sees to that). The window cannot be
// closed: the run has no point at which it could stop safely.

#include <QString>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "ui/qt/qt_dialog.h"

class QLabel;

namespace veldar {

class CVELDAR2Engine;

// The window's behaviour: it ignores Esc and its (absent) close box until
// the run has ended.
class ProgressLogic : public DialogLogic {
 public:
  ProgressLogic() : DialogLogic(ProgressTemplate()) {}
  void OnCommand(int id) override {
    if (finished) DialogLogic::OnCommand(id);
  }
  bool finished = false;
};

struct ProgressLogicHolder {
  ProgressLogic progressLogic;
};

class CVELDAR2Progress : private ProgressLogicHolder, public QtDialog {
 public:
  explicit CVELDAR2Progress(QWidget* parent = nullptr);

  // Called from the worker thread for every file copied.
  void FileCopied(const std::string& path, std::uint64_t bytes);
  // Closes the window; called (queued) when the work has ended.
  void Finish();

  std::uint64_t files() const;
  std::uint64_t bytes() const;

 protected:
  void timerEvent(QTimerEvent* event) override;

 private:
  void Refresh();

  mutable std::mutex mutex_;
  std::string lastPath_;
  std::uint64_t files_ = 0;
  std::uint64_t bytes_ = 0;
  QLabel* pathLabel_;
  QLabel* countLabel_;
};

// Runs `work` as described above and returns its result. `engine`'s
// `onFileCopied` is borrowed for the run and given back afterwards.
int RunWithProgress(QWidget* parent, CVELDAR2Engine& engine, const std::function<int()>& work);

}  // namespace veldar
