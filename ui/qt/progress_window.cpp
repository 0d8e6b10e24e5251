#include "ui/qt/progress_window.h"

#include <QLabel>
#include <QLocale>
#include <thread>

#include "engine/engine.h"

namespace veldar {

CVELDAR2Progress::CVELDAR2Progress(QWidget* parent) : QtDialog(progressLogic, parent) {
  pathLabel_ = static_cast<QLabel*>(GetDlgItem(IDC_PROGRESS_PATH));
  countLabel_ = static_cast<QLabel*>(GetDlgItem(IDC_PROGRESS_COUNT));
  Refresh();
  startTimer(100);
}

void CVELDAR2Progress::FileCopied(const std::string& path, std::uint64_t bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  lastPath_ = path;
  ++files_;
  bytes_ += bytes;
}

std::uint64_t CVELDAR2Progress::files() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return files_;
}

std::uint64_t CVELDAR2Progress::bytes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return bytes_;
}

void CVELDAR2Progress::Refresh() {
  std::string path;
  std::uint64_t files = 0, bytes = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    path = lastPath_;
    files = files_;
    bytes = bytes_;
  }
  const QLocale locale(QLocale::Japanese);
  pathLabel_->setText(
      pathLabel_->fontMetrics().elidedText(QString::fromStdString(path), Qt::ElideMiddle, units().X(206)));
  countLabel_->setText(QStringLiteral("%1 ファイル、%2 バイト")
                           .arg(locale.toString(static_cast<qulonglong>(files)),
                                locale.toString(static_cast<qulonglong>(bytes))));
}

void CVELDAR2Progress::timerEvent(QTimerEvent*) { Refresh(); }

void CVELDAR2Progress::Finish() {
  progressLogic.finished = true;
  Refresh();
  EndDialog(IDC_OK);
}

int RunWithProgress(QWidget* parent, CVELDAR2Engine& engine, const std::function<int()>& work) {
  CVELDAR2Progress window(parent);
  const auto borrowed = engine.onFileCopied;
  engine.onFileCopied = [&window, &borrowed](const std::string& path, std::uint64_t bytes) {
    window.FileCopied(path, bytes);
    if (borrowed) borrowed(path, bytes);
  };

  int result = 0;
  std::thread worker([&] {
    result = work();
    // Delivered by the window's event loop, however soon the work ended.
    QMetaObject::invokeMethod(&window, [&window] { window.Finish(); }, Qt::QueuedConnection);
  });
  window.exec();
  worker.join();
  engine.onFileCopied = borrowed;
  return result;
}

}  // namespace veldar
