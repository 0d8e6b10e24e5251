#include "ui/qt/qt_messages.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QMessageBox>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <atomic>
#include <thread>

#include "ui/qt/ui_test_util.h"

namespace veldar {
namespace {

// Answers the first message box that opens by pressing the button labelled
// `press`, noting what the box showed and on which thread it ran.
class BoxAnswerer {
 public:
  explicit BoxAnswerer(const QString& press) : press_(press) {
    QObject::connect(&timer_, &QTimer::timeout, [this] { Look(); });
    timer_.start(5);
  }
  QString text, title, buttons;
  bool onInterfaceThread = false;
  bool warningIcon = false;

 private:
  void Look() {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box) return;
    timer_.stop();
    text = box->text();
    title = box->windowTitle();
    warningIcon = box->icon() == QMessageBox::Warning;
    onInterfaceThread = QThread::currentThread() == QApplication::instance()->thread();
    for (QAbstractButton* button : box->buttons()) buttons += button->text() + "|";
    for (QAbstractButton* button : box->buttons()) {
      if (button->text() == press_) button->click();
    }
  }
  QString press_;
  QTimer timer_;
};

TEST(QtUserMessagesTest, QuestionFromAWorkerIsAskedOnTheInterfaceThread) {
  testing::EnsureApplication();
  QtUserMessages messages([] { return true; });
  BoxAnswerer answerer(QStringLiteral("キャンセル"));
  std::atomic<bool> done{false};
  bool answer = true;
  std::thread worker([&] {
    answer = messages.AskOkCancel("ﾛｸﾞを消してよろしいですか？");
    done = true;
  });
  const bool finished = QTest::qWaitFor([&] { return done.load(); }, 10000);
  worker.join();
  ASSERT_TRUE(finished);
  EXPECT_FALSE(answer);
  EXPECT_EQ(answerer.text, "ﾛｸﾞを消してよろしいですか？");
  EXPECT_EQ(answerer.buttons, "OK|キャンセル|");
  EXPECT_TRUE(answerer.onInterfaceThread);
  EXPECT_TRUE(answerer.warningIcon);
  EXPECT_EQ(answerer.title, "VELDAR2");
}

TEST(QtUserMessagesTest, TheKeyboardComesBackToTheWindowAfterABox) {
  testing::EnsureApplication();
  QWidget window;
  auto* first = new QLineEdit(&window);
  auto* second = new QLineEdit(&window);
  second->move(0, 40);
  window.show();
  window.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
  second->setFocus();
  QtUserMessages messages([] { return true; });
  BoxAnswerer answerer(QStringLiteral("OK"));
  messages.Show("整数を入力してください。");
  EXPECT_EQ(answerer.text, "整数を入力してください。");
  EXPECT_TRUE(QTest::qWaitFor([&] { return QApplication::activeWindow() == &window; }, 2000));
  EXPECT_EQ(window.focusWidget(), second);
  EXPECT_NE(window.focusWidget(), first);
}

TEST(QtUserMessagesTest, WithoutWindowsTheTextGoesToStandardError) {
  QtUserMessages messages([] { return false; });
  ::testing::internal::CaptureStderr();
  messages.Show("ERROR MKDIR /x");
  const bool answer = messages.AskOkCancel("question");
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(err, "ERROR MKDIR /x\nquestion\n");
  EXPECT_FALSE(answer) << "a question nobody can answer counts as Cancel";
}

// A stop asked of the run while a box waits (a signal, with nobody there to
// answer) closes the box, a question as Cancel.
TEST(QtUserMessagesTest, AStopRequestClosesTheOpenBox) {
  testing::EnsureApplication();
  QtUserMessages messages([] { return true; });
  std::atomic<bool> stop{false};
  messages.closeWhen = [&stop] { return stop.load(); };
  QTimer::singleShot(300, [&stop] {
    ASSERT_NE(qobject_cast<QMessageBox*>(QApplication::activeModalWidget()), nullptr) << "the box is up";
    stop = true;
  });
  QElapsedTimer shown;
  shown.start();
  messages.Show("ERROR MKDIR /x");
  EXPECT_LT(shown.elapsed(), 5000);
  stop = false;
  QTimer::singleShot(300, [&stop] { stop = true; });
  EXPECT_FALSE(messages.AskOkCancel("ﾛｸﾞを消してよろしいですか？"));
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
}

}  // namespace
}  // namespace veldar
