#include "ui/qt/file_viewer.h"

#include <QDialog>
#include <QDialogButtonBox>
#include <QFile>
#include <QFileInfo>
#include <QFontDatabase>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTextBrowser>
#include <QUrl>
#include <QVBoxLayout>

#include "ui/qt/translation.h"

namespace veldar {
namespace {

// Larger files are shown up to here: a log is capped far below it.
constexpr qint64 kMaxBytes = 16 * 1024 * 1024;

}  // namespace

QWidget* ShowFileViewer(QWidget* parent, const QString& path) {
  auto* viewer = new QDialog(parent, Qt::Window);
  viewer->setAttribute(Qt::WA_DeleteOnClose);
  viewer->setWindowTitle(QStringLiteral("Veldar - %1").arg(QFileInfo(path).fileName()));
  viewer->resize(760, 520);
  auto* layout = new QVBoxLayout(viewer);

  QFile file(path);
  QString failure;
  QByteArray content;
  if (!file.open(QIODevice::ReadOnly)) {
    failure = QStringLiteral("%1\n%2\n%3").arg(Tr("ファイルを開けません。"), path, file.errorString());
  } else {
    content = file.read(kMaxBytes);
  }

  if (failure.isEmpty() && path.endsWith(QStringLiteral(".html"), Qt::CaseInsensitive)) {
    auto* browser = new QTextBrowser(viewer);
    browser->setOpenExternalLinks(true);
    browser->setSource(QUrl::fromLocalFile(QFileInfo(path).absoluteFilePath()));
    layout->addWidget(browser);
  } else {
    auto* text = new QPlainTextEdit(viewer);
    text->setReadOnly(true);
    text->setLineWrapMode(QPlainTextEdit::NoWrap);
    text->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    text->setPlainText(failure.isEmpty() ? QString::fromUtf8(content) : failure);
    // The newest lines of a log are at its end.
    text->moveCursor(QTextCursor::End);
    layout->addWidget(text);
  }
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, viewer);
  buttons->button(QDialogButtonBox::Close)->setText(Tr("閉じる"));
  QObject::connect(buttons, &QDialogButtonBox::rejected, viewer, &QDialog::close);
  layout->addWidget(buttons);
  // The keyboard goes to the text: arrows and Page Down scroll it at once,
  // Esc closes the viewer.
  if (QWidget* text = layout->itemAt(0)->widget()) text->setFocus(Qt::ActiveWindowFocusReason);
  viewer->show();
  viewer->raise();
  viewer->activateWindow();
  return viewer;
}

}  // namespace veldar
