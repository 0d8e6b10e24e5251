#include "ui/qt_messages.h"

#include <QApplication>
#include <QGuiApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QThread>
#include <iostream>

namespace veldar {
namespace {

// Runs `show` on the interface thread and returns its answer; a caller on
// another thread waits for it.
bool OnInterfaceThread(const std::function<bool()>& show) {
  QCoreApplication* app = QCoreApplication::instance();
  if (QThread::currentThread() == app->thread()) return show();
  bool answer = false;
  QMetaObject::invokeMethod(app, [&] { answer = show(); }, Qt::BlockingQueuedConnection);
  return answer;
}

bool Box(const std::string& text, bool question) {
  QWidget* parent = QApplication::activeModalWidget();
  if (!parent) parent = QApplication::activeWindow();
  QMessageBox box(QMessageBox::Warning, QStringLiteral("VELDAR2"), QString::fromStdString(text),
                  QMessageBox::NoButton, parent);
  box.setTextFormat(Qt::PlainText);
  QPushButton* ok = box.addButton(QStringLiteral("OK"), QMessageBox::AcceptRole);
  if (question) box.addButton(QStringLiteral("キャンセル"), QMessageBox::RejectRole);
  box.setDefaultButton(ok);
  box.setEscapeButton(question ? box.buttons().last() : ok);
  // A run in progress shows the wait cursor; the box is answered with the
  // ordinary one.
  QApplication::setOverrideCursor(Qt::ArrowCursor);
  box.exec();
  QApplication::restoreOverrideCursor();
  return box.clickedButton() == ok;
}

}  // namespace

QtUserMessages::QtUserMessages(std::function<bool()> canShowWindows)
    : canShowWindows_(std::move(canShowWindows)) {}

bool QtUserMessages::CanShowWindows() {
  if (canShowWindows_) return canShowWindows_();
  return qobject_cast<QApplication*>(QCoreApplication::instance()) != nullptr;
}

void QtUserMessages::Show(const std::string& text) {
  if (!CanShowWindows()) {
    std::cerr << text << "\n";
    return;
  }
  OnInterfaceThread([&] { return Box(text, false); });
}

bool QtUserMessages::AskOkCancel(const std::string& text) {
  if (!CanShowWindows()) {
    std::cerr << text << "\n";
    return false;
  }
  return OnInterfaceThread([&] { return Box(text, true); });
}

}  // namespace veldar
