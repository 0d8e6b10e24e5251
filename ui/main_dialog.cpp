#include "ui/main_dialog.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>

#include "engine/engine.h"
#include "log/log_commands.h"
#include "ui/about_dialog.h"
#include "ui/data_exchange.h"
#include "ui/desktop.h"
#include "ui/dialog_services.h"
#include "ui/logsize_dialog.h"
#include "ui/progress_window.h"
#include "res/string_table.h"
#include "ui/restore_dialog.h"
#include "ui/up_down.h"

namespace veldar {
namespace {

constexpr std::uint32_t kMaxGenerations = 999;

// The menu bar of the dialog template: the log menu and the help menu.
QMenuBar* MakeMenuBar() {
  auto* bar = new QMenuBar;
  bar->setNativeMenuBar(false);
  QMenu* log = bar->addMenu(QStringLiteral("ﾛｸﾞ(&L)"));
  log->addAction(QStringLiteral("ﾛｸﾞを見る(&L)"))->setData(ID_LOG_VIEW);
  log->addAction(QStringLiteral("ﾛｸﾞを消す(&D)"))->setData(ID_LOG_CLEAR);
  log->addAction(QStringLiteral("ﾛｸﾞｻｲｽﾞを変更する(&C)"))->setData(ID_LOG_SIZE);
  QMenu* help = bar->addMenu(QStringLiteral("ﾍﾙﾌﾟ(&H)"));
  QAction* helpItem = help->addAction(QStringLiteral("ﾍﾙﾌﾟ(&H)"));
  helpItem->setData(ID_HELP);
  helpItem->setShortcut(QKeySequence::HelpContents);
  helpItem->setShortcutContext(Qt::WindowShortcut);
  help->addSeparator();
  help->addAction(QStringLiteral("ﾊﾞｰｼﾞｮﾝ情報(&A)"))->setData(IDM_ABOUTBOX);
  return bar;
}

}  // namespace

CVELDAR2Dlg::CVELDAR2Dlg(CVELDAR2Engine& engine, DialogServices& services, QWidget* parent)
    : TemplateDialog(parent, QStringLiteral("Veldar"), 9, 163, 143, MakeMenuBar()),
      engine_(engine),
      services_(services),
      logUi_(std::make_unique<QtLogCommandUi>(services, engine.messages, this)) {
  // A window of its own, on the task bar, that can be minimised.
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);

  // Template order, which is the tab order.
  sourceEdit_ = AddEdit(1000, 7, 11, 120, 12);
  QPushButton* browseSource = AddButton(1004, QStringLiteral("検索"), 131, 11, 25, 12);
  backupDirEdit_ = AddEdit(1001, 7, 37, 120, 12);
  QPushButton* browseDest = AddButton(1005, QStringLiteral("検索"), 131, 37, 25, 12);
  generationEdit_ = AddEdit(1006, 68, 51, 16, 12);
  generationEdit_->setAlignment(Qt::AlignRight);
  spin_ = new CUpDownCtrl(generationEdit_, client());
  spin_->setGeometry(units().Rect(85, 51, 9, 11));
  Register(1012, spin_);
  noDeleteBox_ = AddCheck(1014, QStringLiteral("ﾌｧｲﾙ・ﾎﾙﾀﾞを消さない (/NODEL)"), 6, 73, 111, 10);
  noForceBox_ = AddCheck(1015, QStringLiteral("強制的に書きつぶす (/FORCE)"), 6, 87, 107, 10);
  QPushButton* restore = AddButton(1003, QStringLiteral("レストア"), 6, 120, 48, 14);
  QPushButton* ok = AddButton(1, QStringLiteral("バックアップ"), 57, 120, 48, 14, /*isDefault=*/true);
  QPushButton* cancel = AddButton(2, QStringLiteral("ｷｬﾝｾﾙ"), 107, 120, 48, 14);
  AddLabel(QStringLiteral("バックアップファイル・ディレクトリ（元）"), 7, 1, 115, 8);
  AddLabel(QStringLiteral("バックアップディレクトリ（先）"), 7, 27, 84, 8);
  AddLabel(QStringLiteral("バックアップ世代数"), 7, 53, 56, 8);
  noTimeBox_ = AddCheck(1016, QStringLiteral("時間比較をしない (/NOTIME)"), 6, 101, 101, 10);

  connect(browseSource, &QPushButton::clicked, this, [this] { OnBnClickedBrowseSource(); });
  connect(browseDest, &QPushButton::clicked, this, [this] { OnBnClickedBrowseDest(); });
  connect(restore, &QPushButton::clicked, this, [this] { OnBnClickedRestore(); });
  connect(ok, &QPushButton::clicked, this, [this] { OnBnClickedOk(); });
  connect(cancel, &QPushButton::clicked, this, [this] { OnBnClickedCancel(); });
  connect(generationEdit_, &QLineEdit::textChanged, this, [this] { OnEnChangeGenerations(); });

  for (QAction* action : findChildren<QAction*>()) {
    const int id = action->data().toInt();
    if (id == 0) continue;
    addAction(action);  // so that its shortcut works wherever the focus is
    connect(action, &QAction::triggered, this, [this, id] {
      switch (id) {
        case ID_LOG_VIEW: OnLogView(); break;
        case ID_LOG_CLEAR: OnLogClear(); break;
        case ID_LOG_SIZE: OnLogSize(); break;
        case ID_HELP: OnHelp(); break;
        case IDM_ABOUTBOX: OnAppAbout(); break;
      }
    });
  }
}

CVELDAR2Dlg::~CVELDAR2Dlg() = default;

QAction* CVELDAR2Dlg::MenuCommand(int id) const {
  for (QAction* action : findChildren<QAction*>()) {
    if (action->data().toInt() == id) return action;
  }
  return nullptr;
}

bool CVELDAR2Dlg::OnInitDialog() {
  UpdateData(false);
  setWindowIcon(ProgramIcon());

  sourceText = QString::fromStdString(engine_.sourcePath);
  backupDirText = QString::fromStdString(engine_.backupDir);
  generationValue = static_cast<std::uint32_t>(engine_.generationCount);
  noDeleteCheck = engine_.noDelete ? 1 : 0;
  noForceCheck = engine_.noForce ? 1 : 0;
  noTimeCheck = engine_.noTime ? 1 : 0;

  // The arrows step within 0 to 99; typed values up to 999 are accepted.
  spin_->SetRange(0, 99);
  spin_->SetPos(static_cast<int>(generationValue & 0xFFFF));
  ApplyEnablingRule();
  UpdateData(false);
  return true;
}

bool CVELDAR2Dlg::UpdateData(bool saveAndValidate) {
  if (!saveAndValidate) {
    // Writing the generation text would report a change of it.
    updatingControls_ = true;
    sourceEdit_->setText(sourceText);
    backupDirEdit_->setText(backupDirText);
    generationEdit_->setText(QString::number(generationValue));
    noForceBox_->setChecked(noForceCheck != 0);
    noDeleteBox_->setChecked(noDeleteCheck != 0);
    noTimeBox_->setChecked(noTimeCheck != 0);
    updatingControls_ = false;
    return true;
  }
  sourceText = sourceEdit_->text();
  backupDirText = backupDirEdit_->text();
  if (!ExchangeUnsigned(generationEdit_, generationValue, 0, kMaxGenerations, engine_.messages)) return false;
  noForceCheck = noForceBox_->isChecked() ? 1 : 0;
  noDeleteCheck = noDeleteBox_->isChecked() ? 1 : 0;
  noTimeCheck = noTimeBox_->isChecked() ? 1 : 0;
  return true;
}

void CVELDAR2Dlg::showEvent(QShowEvent* event) {
  TemplateDialog::showEvent(event);
  OnShowWindow();
}

void CVELDAR2Dlg::OnShowWindow() {
  if (shown) return;
  shown = true;
  ApplyEnablingRule();
}

// The three option boxes only matter for a directory mirrored without
// generations: they are enabled while the generation value is 0.
void CVELDAR2Dlg::ApplyEnablingRule() {
  if (!shown) return;
  const bool enable = generationValue == 0;
  noDeleteBox_->setEnabled(enable);
  noForceBox_->setEnabled(enable);
  noTimeBox_->setEnabled(enable);
  previousGenerations = generationValue;
}

void CVELDAR2Dlg::OnEnChangeGenerations() {
  if (!shown || updatingControls_ || closing_) return;
  UpdateData(true);
  ApplyEnablingRule();
}

void CVELDAR2Dlg::OnBnClickedBrowseSource() {
  UpdateData(true);
  if (generationValue > 0) {
    const auto file = services_.ChooseFile(this, QStringLiteral("開く"), engine_.sourcePath,
                                           QStringLiteral("すべてのファイル(*.*) (*)"));
    if (!file) return;
    UpdateData(true);
    sourceText = QString::fromStdString(*file);
    UpdateData(false);
    return;
  }
  const auto folder = services_.ChooseFolder(this, QStringLiteral("バックアップするホルダﾞ"));
  if (!folder) return;
  UpdateData(true);
  if (folder->empty()) return;
  sourceText = QString::fromStdString(*folder);
  UpdateData(false);
}

void CVELDAR2Dlg::OnBnClickedBrowseDest() {
  const auto folder = services_.ChooseFolder(this, QStringLiteral("バックアップするホルダﾞ"));
  if (!folder) return;
  UpdateData(true);
  if (folder->empty()) return;
  backupDirText = QString::fromStdString(*folder);
  UpdateData(false);
}

void CVELDAR2Dlg::OnBnClickedOk() {
  // A generation value the check has just refused is not run with.
  if (!UpdateData(true)) return;
  engine_.sourcePath = ExpandEnvVars(sourceText.toStdString(), engine_.os);
  engine_.backupDir = ExpandEnvVars(backupDirText.toStdString(), engine_.os);
  engine_.generationCount = static_cast<std::int32_t>(generationValue);
  engine_.noForce = noForceCheck;
  engine_.noDelete = noDeleteCheck;
  engine_.noTime = noTimeCheck;

  QApplication::setOverrideCursor(Qt::WaitCursor);
  engine_.OpenLog();
  engine_.WriteLog("Starting with Dialog OK button");
  const int failuresBefore = engine_.failureCount;
  const int vanishedBefore = engine_.vanishedCount;
  const int result = RunWithProgress(this, engine_, [this] { return engine_.Backup(); });
  if (result) {
    // Operations that failed and were passed over make no completed backup,
    // and neither do entries that vanished while it was made.
    int done = IDS_BACKUP_DONE;
    if (engine_.failureCount != failuresBefore) {
      done = engine_.activityLog.HoldsRun() ? IDS_BACKUP_PARTIAL : IDS_BACKUP_PARTIAL_UNLOGGED;
    } else if (engine_.vanishedCount != vanishedBefore) {
      done = IDS_BACKUP_VANISHED;
    }
    engine_.messages.Show(LoadString(done));
  }
  engine_.CloseLog();
  QApplication::restoreOverrideCursor();
}

void CVELDAR2Dlg::OnBnClickedRestore() {
  if (!UpdateData(true)) return;
  engine_.sourcePath = ExpandEnvVars(sourceText.toStdString(), engine_.os);
  engine_.backupDir = ExpandEnvVars(backupDirText.toStdString(), engine_.os);
  if (!engine_.CheckParameters()) return;

  // A source whose status cannot be read counts as a directory, as in the
  // backup run.
  FileStatus status;
  const bool directory =
      engine_.os.Stat(engine_.sourcePath, true, &status) != 0 || status.kind == EntryKind::Directory;
  const int listed = directory ? engine_.FindDirGenerations() : engine_.FindFileGenerations();
  if (!listed) return;

  CVELDAR2Res dialog(engine_, services_, this);
  services_.RunModal(dialog);
}

void CVELDAR2Dlg::OnBnClickedCancel() {
  UpdateData(true);
  const std::string section = LoadString(IDS_SECTION);
  SettingsStore& settings = engine_.settings;
  // A value the check refused is not stored: the next start would load it.
  if (generationValue <= kMaxGenerations) {
    settings.Write(section, LoadString(IDS_KEY_GENERATIONS), std::to_string(generationValue));
  }
  settings.Write(section, LoadString(IDS_KEY_LASTFILE), sourceText.toStdString());
  settings.Write(section, LoadString(IDS_KEY_LASTDIR), backupDirText.toStdString());
  settings.Write(section, LoadString(IDS_KEY_LASTOPT),
                 std::to_string(noDeleteCheck) + std::to_string(noForceCheck) + std::to_string(noTimeCheck));
  settings.Write(section, LoadString(IDS_KEY_LOGOPT),
                 std::to_string(engine_.successLog ? 1 : 0) + std::to_string(engine_.skipLog ? 1 : 0));
  engine_.Reset();
  closing_ = true;
  QDialog::reject();
}

void CVELDAR2Dlg::reject() {
  if (closing_) {
    QDialog::reject();
    return;
  }
  OnBnClickedCancel();
}

void CVELDAR2Dlg::OnLogView() { ViewLog(engine_, *logUi_); }
void CVELDAR2Dlg::OnLogClear() { ClearLog(engine_); }
void CVELDAR2Dlg::OnLogSize() { ChangeLogSize(engine_, *logUi_); }

void CVELDAR2Dlg::OnAppAbout() {
  CVELDAR2About about(this);
  services_.RunModal(about);
}

void CVELDAR2Dlg::OnHelp() { services_.OpenWithDesktop(HelpPagePath().toStdString()); }

void CVELDAR2Dlg::BringBack() {
  setWindowState(windowState() & ~Qt::WindowMinimized);
  show();
  raise();
  activateWindow();
  QWidget* modal = QApplication::activeModalWidget();
  if (modal && modal != this) {
    modal->raise();
    modal->activateWindow();
  }
}

}  // namespace veldar
