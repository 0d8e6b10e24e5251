// Pictures of the four dialogs, taken on the offscreen platform into the build
// directory (screenshots/*.png), and checks of where their controls sit.

#include <gtest/gtest.h>

#include <QAction>
#include <QDir>
#include <QFileInfo>
#include <QFontInfo>
#include <QLabel>
#include <QListWidget>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <functional>
#include <cstdlib>
#include <ctime>

#include "engine/engine.h"
#include "tests/engine_fixture.h"
#include "tests/test_util.h"
#include "ui/about_dialog.h"
#include "ui/logsize_dialog.h"
#include "ui/main_dialog.h"
#include "ui/qt/dialog_units.h"
#include "ui/qt/progress_window.h"
#include "ui/qt/qt_dialog.h"
#include "ui/qt/qt_services.h"
#include "ui/qt/translation.h"
#include "ui/qt/ui_test_util.h"
#include "ui/restore_dialog.h"

namespace veldar {
namespace {

class DialogPictureTest : public ::testing::Test, protected testing::EngineServices<> {
 protected:
  DialogPictureTest() {
    testing::EnsureApplication();
    setenv("TZ", "Asia/Tokyo", 1);
    tzset();
    QDir().mkpath(QStringLiteral(VELDAR2_SCREENSHOT_DIR));
    engine.sourcePath = "/home/hanako/書類/報告書";
    engine.backupDir = "/media/hanako/backup";
    engine.generationCount = 3;
    engine.restoreDir = "/home/hanako/復元";
  }
  static void Save(QWidget& dialog, const char* name) {
    dialog.show();
    const QString path = QStringLiteral(VELDAR2_SCREENSHOT_DIR "/%1.png").arg(QLatin1String(name));
    ASSERT_TRUE(dialog.grab().save(path)) << path.toStdString();
    EXPECT_GT(QPixmap(path).width(), 100);
  }
  // Controls sit inside the client area and do not overlap one another; a
  // static text counts with the extent of its text in the dialog font (its
  // box may be wider), so that no text runs under a control. The dialog has
  // a fixed size and offers no maximise button.
  static void ExpectTidy(QtDialog& dialog) {
    EXPECT_FALSE(dialog.windowFlags() & Qt::WindowMaximizeButtonHint) << dialog.windowTitle().toStdString();
    EXPECT_EQ(dialog.minimumSize(), dialog.maximumSize()) << dialog.windowTitle().toStdString();
    std::vector<std::pair<std::string, QRect>> controls;
    for (QWidget* child : dialog.findChildren<QWidget*>()) {
      bool isId = false;
      const int id = child->objectName().toInt(&isId);
      if (!isId) continue;
      const auto* label = qobject_cast<QLabel*>(child);
      if (auto* button = qobject_cast<QPushButton*>(child)) {
        EXPECT_LE(QtDialog::TextWidth(*button), button->width() - 4) << button->text().toStdString() << " is cut";
      }
      if (label && label->pixmap().isNull()) {
        controls.emplace_back(label->text().toStdString(), QtDialog::TextExtent(*label));
      } else if (id != 0 || label) {
        controls.emplace_back(std::to_string(id), child->geometry());
      }
    }
    ASSERT_FALSE(controls.empty());
    const QRect area = dialog.client()->rect();
    for (std::size_t i = 0; i < controls.size(); ++i) {
      EXPECT_TRUE(area.contains(controls[i].second)) << controls[i].first;
      for (std::size_t j = i + 1; j < controls.size(); ++j) {
        EXPECT_FALSE(controls[i].second.intersects(controls[j].second))
            << controls[i].first << " and " << controls[j].first;
      }
    }
  }

  QtDialogServices services;
};

TEST_F(DialogPictureTest, MainDialog) {
  CVELDAR2Dlg logic(engine, services);
  QtDialog dialog(logic);
  Save(dialog, "main-dialog");
  ExpectTidy(dialog);
  const DialogUnits units(DialogFont(9));
  EXPECT_EQ(QFontInfo(dialog.font()).family(), "Noto Sans CJK JP");
  EXPECT_EQ(dialog.GetDlgItem(1)->geometry(), units.Rect(57, 120, 48, 14));
  // The count's edit and arrows move right of their label's text, keeping
  // their size and row.
  EXPECT_EQ(dialog.GetDlgItem(1012)->size(), units.Size(9, 11));
  EXPECT_EQ(dialog.GetDlgItem(1012)->y(), units.Y(51));
  EXPECT_EQ(dialog.GetDlgItem(1012)->x() - dialog.GetDlgItem(1006)->x(), units.X(85) - units.X(68));
  EXPECT_EQ(dialog.GetDlgItem(1000)->parentWidget()->size(), units.Size(163, 143));
}

TEST_F(DialogPictureTest, RestoreDialog) {
  const char* names[] = {"報告書_1", "報告書_2", "報告書_3"};
  for (int i = 0; i < 3; ++i) {
    CFileEntry entry;
    entry.name = names[i];
    entry.time = 1700000000 - (2 - i) * 86400;
    entry.generation = 2 - i;
    entry.isDirectory = true;
    engine.generations.push_back(entry);
  }
  CVELDAR2Res logic(engine, services);
  QtDialog dialog(logic);
  Save(dialog, "restore-dialog");
  ExpectTidy(dialog);
  EXPECT_EQ(static_cast<QListWidget*>(dialog.GetDlgItem(IDC_LIST))->count(), 3);
}

TEST_F(DialogPictureTest, LogSizeDialog) {
  CVELDAR2Logsize logic(messages);
  QtDialog dialog(logic);
  Save(dialog, "logsize-dialog");
  ExpectTidy(dialog);
  EXPECT_EQ(dialog.font().pointSize(), 8);
}

// Half-way through a large file: its name from the start of its copy, the
// bar and the totals with its bytes so far, the rate; キャンセル, Esc and the
// close box ask the run to stop.
TEST_F(DialogPictureTest, ProgressWindowInALargeFile) {
  // The run's own clock, so the picture does not depend on the machine: a
  // millisecond per small file, then 100 MB/s.
  double now = 0;
  RunProgress progress([&now] { return now; });
  progress.AddPlanned(602, 1073748466 + 5492);
  for (int i = 0; i < 600; ++i) {
    progress.FileStarted("/home/hanako/書類/メモ" + std::to_string(i) + ".txt");
    now += 0.001;
    progress.FileFinished(5492 / 600);
  }
  progress.FileStarted("/home/hanako/動画/旅行 2024.mp4");
  now += 4.0;
  progress.Advance(400ull << 20);
  CVELDAR2Progress window(progress);
  window.Refresh();
  Save(window, "progress-window");
  ExpectTidy(window);
  EXPECT_EQ(static_cast<QLabel*>(window.GetDlgItem(IDC_PROGRESS_PATH))->text(), "/home/hanako/動画/旅行 2024.mp4");
  EXPECT_EQ(static_cast<QProgressBar*>(window.GetDlgItem(IDC_PROGRESS_BAR))->value(),
            424);  // by time: 4.6 s done, about 6 s left
  EXPECT_EQ(static_cast<QLabel*>(window.GetDlgItem(IDC_PROGRESS_COUNT))->text(),
            "600 / 602 ファイル、400 MB / 1.00 GB");
  progress.Flushing(true);  // after the last byte, until the disk has it all
  window.Refresh();
  EXPECT_EQ(static_cast<QLabel*>(window.GetDlgItem(IDC_PROGRESS_RATE))->text(), "ディスクに書き込んでいます...");

  using Stop = std::function<void(CVELDAR2Progress&)>;
  for (const Stop& stop : std::vector<Stop>{
           [](CVELDAR2Progress& w) { static_cast<QPushButton*>(w.GetDlgItem(IDC_CANCEL))->click(); },
           [](CVELDAR2Progress& w) { QTest::keyClick(&w, Qt::Key_Escape); }, [](CVELDAR2Progress& w) { w.close(); }}) {
    RunProgress fresh;
    CVELDAR2Progress asked(fresh);
    asked.show();
    stop(asked);
    EXPECT_TRUE(fresh.Cancelled());
    EXPECT_TRUE(asked.isVisible()) << "the window stays until the run has stopped";
    asked.Refresh();
    EXPECT_EQ(static_cast<QLabel*>(asked.GetDlgItem(IDC_PROGRESS_RATE))->text(), "中止しています...");
    EXPECT_FALSE(asked.GetDlgItem(IDC_CANCEL)->isEnabled());
  }
}

// In an English locale every dialog shows English texts, none of them cut,
// and messages are translated phrase by phrase around their paths.
TEST_F(DialogPictureTest, EnglishDialogsAndMessages) {
  UseLanguage(Language::kEnglish);
  CVELDAR2Dlg mainLogic(engine, services);
  QtDialog main(mainLogic);
  Save(main, "main-dialog-en");
  ExpectTidy(main);
  EXPECT_EQ(main.ItemText(IDC_OK), "Back Up");
  EXPECT_EQ(main.ItemText(IDC_NOFORCE), "Never overwrite existing copies (/NOFORCE)");
  EXPECT_EQ(main.MenuCommand(ID_LOG_VIEW)->text(), "&View Log");
  CVELDAR2Res restoreLogic(engine, services);
  QtDialog restore(restoreLogic);
  Save(restore, "restore-dialog-en");
  ExpectTidy(restore);
  CVELDAR2Logsize sizeLogic(messages);
  QtDialog size(sizeLogic);
  Save(size, "logsize-dialog-en");
  ExpectTidy(size);
  CVELDAR2About aboutLogic;
  QtDialog about(aboutLogic);
  Save(about, "about-dialog-en");
  ExpectTidy(about);
  EXPECT_EQ(about.windowTitle(), "Veldar [About]");

  EXPECT_EQ(TrMessage("パラメタの指定誤りです。[バックアップするファイル]\n/home/花子/missing\nNo such file"),
            "The parameters are wrong: [file or folder to back up]\n/home/花子/missing\nNo such file");
  EXPECT_EQ(TrMessage("0 から 999 までの整数を入力してください。"), "Enter a whole number from 0 to 999.");
  EXPECT_EQ(TrMessage("120 / 800 ファイル、1.20 GB / 2.70 GB"), "120 / 800 files, 1.20 GB / 2.70 GB");
  EXPECT_EQ(TrMessage("ディスクに書き込んでいます..."), "Writing to the disk...");
  EXPECT_EQ(QFileInfo(QString::fromStdString(services.HelpPagePath())).fileName(), "veldar2_help_en.html");
  UseLanguage(Language::kJapanese);
  EXPECT_EQ(TrMessage("バックアップ完了しました。"), "バックアップ完了しました。");
}

TEST_F(DialogPictureTest, AboutBox) {
  CVELDAR2About logic;
  QtDialog dialog(logic);
  Save(dialog, "about-dialog");
  ExpectTidy(dialog);
}

}  // namespace
}  // namespace veldar
