#pragma once
// The progress window of a run started from a dialog.
//
// `RunWithProgress` runs the work (a backup or a restore) on a worker thread
// and meanwhile shows a modal window over the dialog, drawn from
// `ProgressTemplate()`: the file being copied, a bar of the bytes done of the
// plan's total, the files and bytes done of the totals, the rate and the time
// left, refreshed ten times a second from the run's `RunProgress`. Its
// キャンセル button, Esc and its close box ask the run to stop: the copy under
// way is abandoned and the run ends as cancelled (see RunProgress). The
// dialogs stay painted and answer the second start's request to come back;
// the engine's message boxes are shown on the interface thread
// (QtUserMessages sees to that).

#include <QElapsedTimer>
#include <functional>

#include "engine/run_progress.h"
#include "ui/qt/qt_dialog.h"

class QLabel;
class QProgressBar;

namespace veldar {

class CVELDAR2Engine;

// The window's behaviour: Cancel (the button, Esc, the close box) asks the
// run to stop; once the run has ended it closes the window.
class ProgressLogic : public DialogLogic {
 public:
  explicit ProgressLogic(RunProgress& progress) : DialogLogic(ProgressTemplate()), progress_(progress) {}
  void OnCommand(int id) override;
  bool finished = false;

 private:
  RunProgress& progress_;
};

struct ProgressLogicHolder {
  explicit ProgressLogicHolder(RunProgress& progress) : progressLogic(progress) {}
  ProgressLogic progressLogic;
};

class CVELDAR2Progress : private ProgressLogicHolder, public QtDialog {
 public:
  CVELDAR2Progress(RunProgress& progress, QWidget* parent = nullptr);

  // Closes the window; called (queued) when the work has ended.
  void Finish();
  // Shows the run's state now (the timer does it ten times a second).
  void Refresh();

 protected:
  void timerEvent(QTimerEvent* event) override;

 private:
  RunProgress& progress_;
  QElapsedTimer clock_;
  QLabel* pathLabel_;
  QLabel* countLabel_;
  QLabel* rateLabel_;
  QProgressBar* bar_;
};

// Runs `work` as described above and returns its result; `engine` reports
// to a RunProgress of this run while it runs.
int RunWithProgress(QWidget* parent, const ProgressWork& work);

}  // namespace veldar
