#include "ui/logsize_dialog.h"

#include "ui/data_exchange.h"
#include "ui/dialog_test_fixture.h"

namespace veldar {
namespace {

class LogSizeDialogTest : public testing::DialogTest {
 protected:
  LogSizeDialogTest() {
    logic.logSize = 500;
    logic.successLog = 1;
    logic.skipLog = 0;
    d = Open(logic);
  }

  CVELDAR2Logsize logic{messages};
  std::unique_ptr<testing::DialogDriver> d;
};
VELDAR2_ON_EVERY_TOOLKIT(LogSizeDialogTest);

TEST_P(LogSizeDialogTest, ShowsTheValues) {
  EXPECT_EQ(d->Text(IDC_EDIT1), "500");
  EXPECT_TRUE(d->Checked(IDC_SUCCESS_LOG));
  EXPECT_FALSE(d->Checked(IDC_SKIP_LOG));
  EXPECT_EQ(d->Text(IDC_SKIP_LOG), "スキップログを記録する。");
  EXPECT_EQ(d->Caption(), "Veldar");
}

TEST_P(LogSizeDialogTest, SizesOutsideTheBoundsKeepTheDialogOpen) {
  for (const char* typed : {"99", "10001"}) {
    messages.shown.clear();
    d->Type(IDC_EDIT1, typed);
    d->Click(IDC_OK);
    EXPECT_EQ(messages.shown, std::vector<std::string>{"100 から 10000 までの整数を入力してください。"}) << typed;
    EXPECT_TRUE(d->IsOpen()) << typed;
    EXPECT_EQ(d->Focused(), IDC_EDIT1);
  }
  messages.shown.clear();
  d->Type(IDC_EDIT1, "");
  d->Click(IDC_OK);
  EXPECT_EQ(messages.shown, std::vector<std::string>{"整数を入力してください。"});
  EXPECT_TRUE(d->IsOpen());
}

TEST_P(LogSizeDialogTest, OkTakesTheBoundsAndTheChecks) {
  d->Type(IDC_EDIT1, "10000");
  d->Click(IDC_SKIP_LOG);
  d->Click(IDC_SUCCESS_LOG);
  d->Click(IDC_OK);
  EXPECT_TRUE(messages.shown.empty());
  EXPECT_FALSE(d->IsOpen());
  EXPECT_EQ(d->Result(), IDC_OK);
  EXPECT_EQ(logic.logSize, 10000u);
  EXPECT_EQ(logic.successLog, 0);
  EXPECT_EQ(logic.skipLog, 1);
}

TEST_P(LogSizeDialogTest, ArrowsStopAtTheBounds) {
  d->Type(IDC_EDIT1, "101");
  for (int i = 0; i < 3; ++i) d->Step(IDC_SPIN, false);
  EXPECT_EQ(d->Text(IDC_EDIT1), "100");
  d->Type(IDC_EDIT1, "9999");
  d->Step(IDC_SPIN, true);
  d->Step(IDC_SPIN, true);
  EXPECT_EQ(d->Text(IDC_EDIT1), "10000") << "plain digits, no thousands separator";
}

TEST_P(LogSizeDialogTest, CancelLeavesTheValuesAlone) {
  d.reset();
  services.onModal = [](testing::DialogDriver& modal, DialogLogic&) {
    modal.Type(IDC_EDIT1, "2000");
    modal.Click(IDC_CANCEL);
  };
  DialogLogCommandUi ui(services, messages, nullptr);
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
      {"-0", UnsignedField::kOk, true, 0},
      {"0004294967295", UnsignedField::kOutOfRange, true, 4294967295u},
      {"4294967296", UnsignedField::kOutOfRange, false, 0},
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
