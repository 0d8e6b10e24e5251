#include "ui/qt/progress_window.h"

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <thread>

#include "engine/engine.h"
#include "ui/progress_texts.h"
#include "ui/qt/translation.h"

namespace veldar {

void ProgressLogic::OnCommand(int id) {
  if (finished) {
    DialogLogic::OnCommand(id);
    return;
  }
  if (id != IDC_CANCEL) return;
  progress_.RequestCancel();
  window().EnableItem(IDC_CANCEL, false);
}

CVELDAR2Progress::CVELDAR2Progress(RunProgress& progress, QWidget* parent)
    : ProgressLogicHolder(progress), QtDialog(progressLogic, parent), progress_(progress) {
  pathLabel_ = static_cast<QLabel*>(GetDlgItem(IDC_PROGRESS_PATH));
  countLabel_ = static_cast<QLabel*>(GetDlgItem(IDC_PROGRESS_COUNT));
  rateLabel_ = static_cast<QLabel*>(GetDlgItem(IDC_PROGRESS_RATE));
  bar_ = static_cast<QProgressBar*>(GetDlgItem(IDC_PROGRESS_BAR));
  clock_.start();
  Refresh();
  startTimer(100);
}

void CVELDAR2Progress::Refresh() {
  const RunProgress::Snapshot snapshot = progress_.Read();
  const ProgressTexts texts = MakeProgressTexts(snapshot, static_cast<double>(clock_.elapsed()) / 1000);
  pathLabel_->setText(pathLabel_->fontMetrics().elidedText(QString::fromStdString(snapshot.current), Qt::ElideMiddle,
                                                           pathLabel_->width()));
  countLabel_->setText(TrMessage(texts.count));
  rateLabel_->setText(TrMessage(texts.rate));
  bar_->setValue(texts.permille);
}

void CVELDAR2Progress::timerEvent(QTimerEvent*) { Refresh(); }

void CVELDAR2Progress::Finish() {
  progressLogic.finished = true;
  Refresh();
  EndDialog(IDC_OK);
}

int RunWithProgress(QWidget* parent, const ProgressWork& work) {
  RunProgress progress;
  CVELDAR2Progress window(progress, parent);
  int result = 0;
  std::thread worker([&] {
    result = work(progress);
    // Delivered by the window's event loop, however soon the work ended.
    QMetaObject::invokeMethod(
        &window, [&window] { window.Finish(); }, Qt::QueuedConnection);
  });
  window.exec();
  worker.join();
  return result;
}

}  // namespace veldar
