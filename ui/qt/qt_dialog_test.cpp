// What only the Qt drawing of the dialogs decides: the tab order, the keys,
// the window coming back, the help page's place and the picker filters.

#include "ui/qt/qt_dialog.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QFileInfo>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTextBrowser>
#include <QDialogButtonBox>
#include <QPointer>
#include <QPushButton>
#include <QTest>

#include "engine/engine.h"
#include "tests/engine_fixture.h"
#include "tests/test_util.h"
#include "ui/logsize_dialog.h"
#include "ui/main_dialog.h"
#include "ui/qt/qt_services.h"
#include "ui/qt/translation.h"
#include "ui/qt/ui_test_util.h"

namespace veldar {
namespace {

class QtDialogTest : public ::testing::Test, protected testing::EngineServices<> {
 protected:
  QtDialogTest() { testing::EnsureApplication(); }

  QtDialogServices services;
};

TEST_F(QtDialogTest, MainDialogTabOrderKeysAndComingBack) {
  CVELDAR2Dlg logic(engine, services);
  QtDialog dialog(logic);
  dialog.show();
  std::vector<int> order;
  QWidget* start = dialog.GetDlgItem(IDC_EDIT1);
  QWidget* widget = start;
  do {
    bool isId = false;
    const int id = widget->objectName().toInt(&isId);
    if (isId && id != 0 && widget->focusPolicy() & Qt::TabFocus) order.push_back(id);
    widget = widget->nextInFocusChain();
  } while (widget != start);
  EXPECT_EQ(order, (std::vector<int>{1000, 1004, 1001, 1005, 1006, 1014, 1015, 1003, 1, 2, 1016}));
  EXPECT_EQ(dialog.MenuCommand(ID_HELP)->shortcut(), QKeySequence(QKeySequence::HelpContents));

  dialog.showMinimized();
  ASSERT_TRUE(dialog.isMinimized());
  dialog.BringBack();
  EXPECT_FALSE(dialog.isMinimized());
  EXPECT_TRUE(dialog.isVisible());
}

TEST_F(QtDialogTest, LogSizeEditTakesDigitsOnly) {
  CVELDAR2Logsize logic(messages);
  QtDialog dialog(logic);
  dialog.show();
  auto* size = static_cast<QLineEdit*>(dialog.GetDlgItem(IDC_EDIT1));
  size->clear();
  QTest::keyClicks(size, "1a2-3");
  EXPECT_EQ(size->text(), "123");
}

TEST_F(QtDialogTest, HelpPageIsBesideTheProgramAndFiltersAreQts) {
  const QFileInfo page(QString::fromStdString(services.HelpPagePath()));
  EXPECT_EQ(page.fileName(), "veldar2_help.html");
  EXPECT_TRUE(page.exists()) << services.HelpPagePath();
  // Both pages name every option and the check boxes as the dialog shows them.
  for (const Language language : {Language::kJapanese, Language::kEnglish}) {
    UseLanguage(language);
    const std::string path = services.HelpPagePath();
    const std::string text = testing::ReadFile(path);
    for (const char* option : {"-M", "-NOFORCE", "-NODEL", "-NOMSG", "-NOTIME", "-LINK", "$XDG_STATE_HOME"}) {
      EXPECT_NE(text.find(option), std::string::npos) << path << " lacks " << option;
    }
    for (int id : {IDC_NODELETE, IDC_NOFORCE, IDC_NOTIME}) {
      const std::string label = Tr(FindControl(MainDialogTemplate(), id)->text).toStdString();
      EXPECT_NE(text.find(label), std::string::npos) << path << " lacks " << label;
    }
  }
  UseLanguage(Language::kJapanese);
  EXPECT_EQ(QtNameFilters("すべてのファイル(*.*)|*.*||"), "すべてのファイル(*.*) (*)");
  EXPECT_EQ(QtNameFilters("Text|*.txt;*.log|All|*.*||"), "Text (*.txt *.log);;All (*)");
}

// Where the desktop cannot open a file (no program for it, or none that
// works), it is shown in the program's own viewer; where it can, it is not.
TEST_F(QtDialogTest, FilesTheDesktopCannotOpenAreShownInTheViewer) {
  testing::TempDir dir;
  testing::WriteFile(dir / "VELDAR2.LOG", "05/02/04 09:19:55 : Starting with Dialog OK button\n");
  auto viewers = [] {
    std::vector<QWidget*> found;
    for (QWidget* widget : QApplication::topLevelWidgets()) {
      if (widget->isVisible() && widget->windowTitle().startsWith("Veldar - ")) found.push_back(widget);
    }
    return found;
  };
  QtDialogServices working(QStringLiteral("true"));
  working.OpenWithDesktop(nullptr, dir / "VELDAR2.LOG");
  QTest::qWait(300);
  EXPECT_TRUE(viewers().empty());

  for (const QString& opener : {QStringLiteral("false"), QStringLiteral("/nonexistent/xdg-open")}) {
    QtDialogServices failing(opener);
    failing.OpenWithDesktop(nullptr, dir / "VELDAR2.LOG");
    ASSERT_TRUE(QTest::qWaitFor([&] { return !viewers().empty(); }, 5000)) << opener.toStdString();
    QWidget* viewer = viewers().front();
    EXPECT_EQ(viewer->windowTitle(), "Veldar - VELDAR2.LOG");
    auto* text = viewer->findChild<QPlainTextEdit*>();
    ASSERT_NE(text, nullptr);
    EXPECT_TRUE(text->isReadOnly());
    EXPECT_TRUE(text->toPlainText().contains("Starting with Dialog OK button"));
    viewer->close();
    QTest::qWait(0);
  }

  QtDialogServices failing(QStringLiteral("false"));
  failing.OpenWithDesktop(nullptr, failing.HelpPagePath());
  ASSERT_TRUE(QTest::qWaitFor([&] { return !viewers().empty(); }, 5000));
  EXPECT_NE(viewers().front()->findChild<QTextBrowser*>(), nullptr) << "the help page is shown formatted";
  viewers().front()->close();
}

// The viewer opens above the dialog that asked for it while that dialog runs
// modally (as the main dialog does): it has the keyboard, and its 閉じる
// button, Esc and its close box close it. The key comes as the window system
// brings it, which is where a window that a modal dialog blocks gets none.
TEST_F(QtDialogTest, TheViewerWorksAboveTheModalDialogThatAskedForIt) {
  testing::TempDir dir;
  testing::WriteFile(dir / "VELDAR2.LOG", "05/02/04 09:19:55 : Start with parameter\n");
  CVELDAR2Dlg logic(engine, services);
  QtDialog dialog(logic);
  dialog.setWindowModality(Qt::ApplicationModal);
  dialog.show();
  QtDialogServices failing(QStringLiteral("false"));
  const std::vector<std::function<void(QDialog&)>> closings = {
      [](QDialog& viewer) { QTest::keyClick(viewer.windowHandle(), Qt::Key_Escape); },
      // The window system's close, as the close box asks for it.
      [](QDialog& viewer) { viewer.windowHandle()->close(); },
      [](QDialog& viewer) { viewer.findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Close)->click(); },
  };
  for (std::size_t way = 0; way < closings.size(); ++way) {
    failing.OpenWithDesktop(&dialog, dir / "VELDAR2.LOG");
    QPointer<QDialog> viewer;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
          for (QWidget* widget : QApplication::topLevelWidgets()) {
            if (widget->isVisible() && widget->windowTitle() == "Veldar - VELDAR2.LOG")
              viewer = qobject_cast<QDialog*>(widget);
          }
          return !viewer.isNull();
        },
        5000));
    EXPECT_TRUE(viewer->isWindow());
    EXPECT_EQ(viewer->parentWidget(), &dialog) << "above the dialog that asked";
    EXPECT_TRUE(QTest::qWaitForWindowActive(viewer.data())) << "it takes the keyboard";
    EXPECT_TRUE(
        QTest::qWaitFor([&] { return QApplication::focusWidget() == viewer->findChild<QPlainTextEdit*>(); }, 2000))
        << (QApplication::focusWidget() ? QApplication::focusWidget()->metaObject()->className() : "none");
    closings[way](*viewer);
    EXPECT_TRUE(QTest::qWaitFor([&] { return viewer.isNull(); }, 2000)) << "way " << way;
  }
}

}  // namespace
}  // namespace veldar
