#include "ui/logsize_dialog.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QToolButton>

#include "tests/test_util.h"
#include "ui/data_exchange.h"
#include "ui/ui_test_util.h"
#include "ui/up_down.h"

namespace veldar {
namespace {

class LogSizeDialogTest : public ::testing::Test {
 protected:
  LogSizeDialogTest() {
    testing::EnsureApplication();
    dialog.logSize = 500;
    dialog.successLog = 1;
    dialog.skipLog = 0;
    dialog.show();
  }
  QLineEdit* Size() { return static_cast<QLineEdit*>(dialog.GetDlgItem(1000)); }
  QCheckBox* Check(int id) { return static_cast<QCheckBox*>(dialog.GetDlgItem(id)); }
  void Ok() { static_cast<QPushButton*>(dialog.GetDlgItem(1))->click(); }

  testing::RecordingMessages messages;
  CVELDAR2Logsize dialog{messages};
};

TEST_F(LogSizeDialogTest, ShowsTheValues) {
  EXPECT_EQ(Size()->text(), "500");
  EXPECT_TRUE(Check(1010)->isChecked());
  EXPECT_FALSE(Check(1013)->isChecked());
  EXPECT_EQ(Check(1013)->text(), "スキップログを記録する。");
  EXPECT_EQ(dialog.windowTitle(), "Veldar");
}

TEST_F(LogSizeDialogTest, SizesOutsideTheBoundsKeepTheDialogOpen) {
  for (const char* typed : {"99", "10001"}) {
    messages.shown.clear();
    Size()->setText(typed);
    Ok();
    EXPECT_EQ(messages.shown, std::vector<std::string>{"100 から 10000 までの整数を入力してください。"}) << typed;
    EXPECT_TRUE(dialog.isVisible()) << typed;
    EXPECT_EQ(dialog.focusWidget(), Size());
  }
  messages.shown.clear();
  Size()->setText("");
  Ok();
  EXPECT_EQ(messages.shown, std::vector<std::string>{"整数を入力してください。"});
  EXPECT_TRUE(dialog.isVisible());
}

TEST_F(LogSizeDialogTest, OkTakesTheBoundsAndTheChecks) {
  Size()->setText("10000");
  Check(1013)->setChecked(true);
  Check(1010)->setChecked(false);
  Ok();
  EXPECT_TRUE(messages.shown.empty());
  EXPECT_FALSE(dialog.isVisible());
  EXPECT_EQ(dialog.result(), QDialog::Accepted);
  EXPECT_EQ(dialog.logSize, 10000u);
  EXPECT_EQ(dialog.successLog, 0);
  EXPECT_EQ(dialog.skipLog, 1);
}

TEST_F(LogSizeDialogTest, OnlyDigitsCanBeTyped) {
  Size()->clear();
  QTest::keyClicks(Size(), "1a2-3");
  EXPECT_EQ(Size()->text(), "123");
}

TEST_F(LogSizeDialogTest, ArrowsStopAtTheBounds) {
  CUpDownCtrl* spin = dialog.spin();
  EXPECT_EQ(spin->Lower(), 100);
  EXPECT_EQ(spin->Upper(), 10000);
  Size()->setText("101");
  spin->downButton()->click();
  spin->downButton()->click();
  spin->downButton()->click();
  EXPECT_EQ(Size()->text(), "100");
  Size()->setText("9999");
  spin->upButton()->click();
  QTest::keyClick(Size(), Qt::Key_Up);
  EXPECT_EQ(Size()->text(), "10000") << "plain digits, no thousands separator";
}

TEST(LogCommandUiTest, CancelLeavesTheValuesAlone) {
  testing::EnsureApplication();
  testing::RecordingMessages messages;
  testing::ScriptedServices services;
  services.onModal = [](QDialog& modal) {
    modal.show();
    static_cast<QLineEdit*>(static_cast<CVELDAR2Logsize&>(modal).GetDlgItem(1000))->setText("2000");
    static_cast<QPushButton*>(static_cast<CVELDAR2Logsize&>(modal).GetDlgItem(2))->click();
    return modal.result();
  };
  QtLogCommandUi ui(services, messages, nullptr);
  LogSizeValues values{700, 1, 1};
  EXPECT_FALSE(ui.RunLogSizeDialog(values));
  EXPECT_EQ(values.logSize, 700u);
}

TEST(DataExchangeTest, UnsignedFields) {
  struct Case {
    const char* text;
    UnsignedField::Result result;
    bool hasValue;
    std::uint32_t value;
  } cases[] = {
      {"0", UnsignedField::kOk, true, 0},
      {" 999 ", UnsignedField::kOk, true, 999},
      {"1000", UnsignedField::kOutOfRange, true, 1000},
      {"", UnsignedField::kNotANumber, false, 0},
      {"12a", UnsignedField::kNotANumber, false, 0},
      {"-1", UnsignedField::kOutOfRange, false, 0},
      {"99999999999", UnsignedField::kOutOfRange, false, 0},
  };
  for (const Case& c : cases) {
    const UnsignedField field = ParseUnsignedField(c.text, 0, 999);
    EXPECT_EQ(field.result, c.result) << c.text;
    EXPECT_EQ(field.hasValue, c.hasValue) << c.text;
    if (c.hasValue) {
      EXPECT_EQ(field.value, c.value) << c.text;
    }
  }
}

}  // namespace
}  // namespace veldar
