#include "ui/qt/qt_messages.h"

#include <QApplication>
#include <QGuiApplication>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QThread>
#include <QTimer>
#include <atomic>
#include <iostream>

#include "ui/qt/translation.h"

namespace veldar {
namespace {

// Runs `show` on the interface thread and returns its answer; a caller on
// another thread waits for it.
//
// Qt's blocking call orders everything: the caller's work before `show`, and
// `show` before the caller goes on. It does so inside Qt, though, where
// ThreadSanitizer cannot see it, so the two hand-overs are also made with
// atomics of our own: `handOver` from the caller to the interface thread,
// `answer` back.
bool OnInterfaceThread(const std::function<bool()>& show) {
  QCoreApplication* app = QCoreApplication::instance();
  if (QThread::currentThread() == app->thread()) return show();
  static std::atomic<unsigned> handOver{0};
  std::atomic<bool> answer{false};
  handOver.fetch_add(1, std::memory_order_release);
  QMetaObject::invokeMethod(
      app,
      [&] {
        handOver.load(std::memory_order_acquire);
        answer.store(show(), std::memory_order_release);
      },
      Qt::BlockingQueuedConnection);
  return answer.load(std::memory_order_acquire);
}

bool Box(const std::string& text, bool question, const std::function<bool()>& closeWhen) {
  QWidget* parent = QApplication::activeModalWidget();
  if (!parent) parent = QApplication::activeWindow();
  QMessageBox box(QMessageBox::Warning, QStringLiteral("VELDAR2"), TrMessage(text), QMessageBox::NoButton, parent);
  box.setTextFormat(Qt::PlainText);
  QPushButton* ok = box.addButton(QStringLiteral("OK"), QMessageBox::AcceptRole);
  if (question) box.addButton(Tr("キャンセル"), QMessageBox::RejectRole);
  box.setDefaultButton(ok);
  box.setEscapeButton(question ? box.buttons().last() : ok);
  // A run in progress shows the wait cursor; the box is answered with the
  // ordinary one.
  QApplication::setOverrideCursor(Qt::ArrowCursor);
  const QPointer<QWidget> window = parent ? parent->window() : nullptr;
  const QPointer<QWidget> focus = window ? window->focusWidget() : nullptr;
  QTimer watch;
  if (closeWhen) {
    QObject::connect(&watch, &QTimer::timeout, &box, [&] {
      if (closeWhen()) box.done(QMessageBox::Cancel);
    });
    watch.start(100);
  }
  box.exec();
  QApplication::restoreOverrideCursor();
  // The keyboard goes back where it was, so that the user can type on
  // without a click (a handler may then move it to the field the message
  // was about).
  if (window && window->isVisible()) {
    window->activateWindow();
    if (focus) focus->setFocus(Qt::OtherFocusReason);
  }
  return box.clickedButton() == ok;
}

}  // namespace

QtUserMessages::QtUserMessages(std::function<bool()> canShowWindows, UserMessages* fallback)
    : canShowWindows_(std::move(canShowWindows)), fallback_(fallback) {}

bool QtUserMessages::CanShowWindows() {
  if (canShowWindows_) return canShowWindows_();
  return qobject_cast<QApplication*>(QCoreApplication::instance()) != nullptr;
}

void QtUserMessages::Show(const std::string& text) {
  if (!CanShowWindows()) {
    if (fallback_) {
      fallback_->Show(text);
    } else {
      std::cerr << text << "\n";
    }
    return;
  }
  OnInterfaceThread([&] { return Box(text, false, closeWhen); });
}

bool QtUserMessages::AskOkCancel(const std::string& text) {
  if (!CanShowWindows()) {
    if (fallback_) return fallback_->AskOkCancel(text);
    std::cerr << text << "\n";
    return false;
  }
  return OnInterfaceThread([&] { return Box(text, true, closeWhen); });
}

}  // namespace veldar
