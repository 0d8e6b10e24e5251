#include "ui/dialog_template.h"

namespace veldar {

const DialogTemplate& MainDialogTemplate() {
  using K = ControlKind;
  static const DialogTemplate dialog{
      204,
      "Veldar",
      "ＭＳ Ｐゴシック",
      9,
      163,
      143,
      DialogFrame::kMain,
      {
          {IDC_EDIT1, K::kEdit, "", 7, 11, 120, 12},
          {IDC_BROWSE, K::kButton, "検索", 131, 11, 25, 12},
          {IDC_EDIT2, K::kEdit, "", 7, 37, 120, 12},
          {IDC_BROWSE_DEST, K::kButton, "検索", 131, 37, 25, 12},
          {IDC_GENERATIONS, K::kEdit, "", 68, 51, 16, 12, kRightAligned},
          {IDC_SPIN, K::kUpDown, "Spin1", 85, 51, 9, 11},
          {IDC_NODELETE, K::kCheckBox, "ﾌｧｲﾙ・ﾎﾙﾀﾞを消さない (/NODEL)", 6, 73, 111, 10},
          {IDC_NOFORCE, K::kCheckBox, "強制的に書きつぶさない (/NOFORCE)", 6, 87, 121, 10},
          {IDC_RESTORE, K::kButton, "レストア", 6, 120, 48, 14},
          {IDC_OK, K::kDefaultButton, "バックアップ", 57, 120, 48, 14},
          {IDC_CANCEL, K::kButton, "ｷｬﾝｾﾙ", 107, 120, 48, 14},
          {0, K::kLabel, "バックアップファイル・ディレクトリ（元）", 7, 1, 115, 8},
          {0, K::kLabel, "バックアップディレクトリ（先）", 7, 27, 84, 8},
          {0, K::kLabel, "バックアップ世代数", 7, 53, 56, 8},
          {IDC_NOTIME, K::kCheckBox, "時間比較をしない (/NOTIME)", 6, 101, 101, 10},
      },
      {
          {"ﾛｸﾞ(&L)",
           {{ID_LOG_VIEW, "ﾛｸﾞを見る(&L)"}, {ID_LOG_CLEAR, "ﾛｸﾞを消す(&D)"}, {ID_LOG_SIZE, "ﾛｸﾞｻｲｽﾞを変更する(&C)"}}},
          {"ﾍﾙﾌﾟ(&H)", {{ID_HELP, "ﾍﾙﾌﾟ(&H)"}, {0, ""}, {IDM_ABOUTBOX, "ﾊﾞｰｼﾞｮﾝ情報(&A)"}}},
      },
      "バージョン情報 VELDAR2(&A)...",
  };
  return dialog;
}

const DialogTemplate& RestoreDialogTemplate() {
  using K = ControlKind;
  static const DialogTemplate dialog{
      201,
      "Veldar",
      "ＭＳ Ｐゴシック",
      9,
      159,
      163,
      DialogFrame::kModal,
      {
          {0, K::kLabel, "レストアするディレクトリ・ファイル（元）", 7, 7, 113, 8},
          {IDC_LIST, K::kListBox, "", 7, 16, 145, 76},
          {IDC_OPEN_FOLDER, K::kButton, "フォルダを開く", 84, 95, 68, 13},
          {0, K::kLabel, "復元するディレクトリ（先）", 7, 110, 78, 9},
          {IDC_EDIT1, K::kEdit, "", 7, 121, 115, 12},
          {IDC_BROWSE, K::kButton, "検索", 127, 122, 25, 12},
          {IDC_OK, K::kDefaultButton, "ﾚｽﾄｱ", 53, 142, 48, 14},
          {IDC_CANCEL, K::kButton, "ｷｬﾝｾﾙ", 104, 142, 48, 14},
      },
      {},
      {},
  };
  return dialog;
}

const DialogTemplate& LogSizeDialogTemplate() {
  using K = ControlKind;
  static const DialogTemplate dialog{
      205,
      "Veldar",
      "MS Shell Dlg",
      8,
      108,
      81,
      DialogFrame::kModal,
      {
          {0, K::kLabel, "ログサイズ", 7, 9, 34, 9},
          {IDC_EDIT1, K::kEdit, "", 43, 7, 31, 12, kRightAligned | kDigitsOnly},
          {IDC_SPIN, K::kUpDown, "", 76, 7, 11, 13},
          {0, K::kLabel, "KB", 56, 20, 26, 8, kCentred},
          {IDC_SUCCESS_LOG, K::kCheckBox, "成功ログを記録する。", 7, 31, 94, 12},
          {IDC_SKIP_LOG, K::kCheckBox, "スキップログを記録する。", 7, 43, 94, 12},
          {IDC_OK, K::kDefaultButton, "OK", 7, 60, 45, 14},
          {IDC_CANCEL, K::kButton, "キャンセル", 56, 60, 45, 14},
      },
      {},
      {},
  };
  return dialog;
}

const DialogTemplate& AboutDialogTemplate() {
  using K = ControlKind;
#ifdef _WIN32
  constexpr std::string_view kBuiltWith = "Windows 版 (MinGW-w64)";
#else
  constexpr std::string_view kBuiltWith = "Qt 6 (LGPLv3) を使用しています。";
#endif
  static const DialogTemplate dialog{
      202,
      "Veldar [ﾊﾞｰｼﾞｮﾝ情報]",
      "ＭＳ Ｐゴシック",
      9,
      217,
      55,
      DialogFrame::kModal,
      {
          {0, K::kIcon, "", 11, 17, 20, 20},
          {0, K::kLabel, "バックアップ  Version 2.00", 40, 10, 119, 8},
          {0, K::kLabel, "Copyright (C) Orvanta", 40, 21, 119, 8},
          {IDC_ABOUT_BUILT_WITH, K::kLabel, kBuiltWith, 40, 33, 119, 8},
          {IDC_OK, K::kDefaultButton, "OK", 178, 20, 32, 14},
      },
      {},
      {},
  };
  return dialog;
}

const DialogTemplate& ProgressTemplate() {
  using K = ControlKind;
  static const DialogTemplate dialog{
      0,
      "Veldar",
      "ＭＳ Ｐゴシック",
      9,
      220,
      86,
      DialogFrame::kProgress,
      {
          {0, K::kLabel, "コピーしています...", 7, 7, 206, 8},
          {IDC_PROGRESS_PATH, K::kLabel, "", 7, 18, 206, 8},
          {IDC_PROGRESS_BAR, K::kProgressBar, "", 7, 30, 206, 10},
          {IDC_PROGRESS_COUNT, K::kLabel, "", 7, 44, 206, 8},
          {IDC_PROGRESS_RATE, K::kLabel, "", 7, 55, 206, 8},
          {IDC_CANCEL, K::kButton, "キャンセル", 165, 66, 48, 14},
      },
      {},
      {},
  };
  return dialog;
}

const ControlTemplate* FindControl(const DialogTemplate& dialog, int id) {
  for (const ControlTemplate& control : dialog.controls) {
    if (control.id == id) return &control;
  }
  return nullptr;
}

}  // namespace veldar
