#include "app/generation_list.h"

#include <gtest/gtest.h>

#include <chrono>
#include <regex>

namespace veldar {
namespace {

using State = GenerationListRow::State;

std::string FixedTime(std::int64_t seconds) { return "T" + std::to_string(seconds); }

const std::vector<GenerationListRow> kRows = {
    {0, ".docs.veldar2-new", std::nullopt, 12, 40960, State::kWorking},
    {1, "docs_3", 1714521613, 1234, 5678901234, State::kComplete},
    {2, "docs_\xFF\n", 1714435211, 7, 100, State::kIncomplete},
};

TEST(GenerationListTest, TextTableNewestFirstWithTheWorkingDirectoryShownAsSuch) {
  EXPECT_EQ(GenerationListText(kRows, FixedTime, Language::kEnglish),
            "#  completed    files     size  state                            name\n"
            "-  -               12  40.0 KB  interrupted (working directory)  .docs.veldar2-new\n"
            "1  T1714521613   1234  5.29 GB  complete                         docs_3\n"
            "2  T1714435211      7    100 B  incomplete                       docs_\\xFF\\x0A\n");
  // Japanese headings are two columns a character wide, and still line up.
  const std::string japanese = GenerationListText({kRows[1]}, FixedTime, Language::kJapanese);
  EXPECT_EQ(japanese,
            "番号  完了日時     ファイル数   サイズ  状態  名前\n"
            "   1  T1714521613        1234  5.29 GB  完了  docs_3\n");
  EXPECT_EQ(GenerationListText({}, FixedTime, Language::kEnglish), "no generations\n");
}

TEST(GenerationListTest, JsonLinesEscapeNamesAndKeepTheirBytes) {
  const std::vector<GenerationListRow> rows = {
      kRows[0],
      kRows[1],
      {3, "a\"b\\c\t\x01\xE5\xA5\xBD", 5, 0, 0, State::kComplete},
      kRows[2],
  };
  EXPECT_EQ(GenerationListJson(rows, FixedTime),
            "{\"number\":null,\"name\":\".docs.veldar2-new\",\"completed\":null,\"completed_unix\":null,"
            "\"files\":12,\"bytes\":40960,\"state\":\"interrupted\"}\n"
            "{\"number\":1,\"name\":\"docs_3\",\"completed\":\"T1714521613\",\"completed_unix\":1714521613,"
            "\"files\":1234,\"bytes\":5678901234,\"state\":\"complete\"}\n"
            "{\"number\":3,\"name\":\"a\\\"b\\\\c\\t\\u0001\xE5\xA5\xBD\",\"completed\":\"T5\",\"completed_unix\":5,"
            "\"files\":0,\"bytes\":0,\"state\":\"complete\"}\n"
            "{\"number\":2,\"name\":\"docs_\xEF\xBF\xBD\\n\",\"name_hex\":\"646f63735fff0a\",\"completed\":\"T1714435211\","
            "\"completed_unix\":1714435211,\"files\":7,\"bytes\":100,\"state\":\"incomplete\"}\n");
  EXPECT_EQ(GenerationListJson({}, FixedTime), "");
}

// Whatever the time zone: ISO 8601 with an offset, naming the same instant.
TEST(GenerationListTest, IsoLocalTimeNamesTheInstantWithItsOffset) {
  const std::regex iso(R"((\d{4})-(\d\d)-(\d\d)T(\d\d):(\d\d):(\d\d)([+-])(\d\d):(\d\d))");
  for (std::int64_t seconds : {0LL, 1714521613LL, 951782400LL, 4102444799LL}) {
    const std::string text = IsoLocalTime(seconds);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(text, m, iso)) << text;
    using namespace std::chrono;
    const auto field = [&](int i) { return std::stoi(m[i].str()); };
    const sys_days day{year(field(1)) / month(static_cast<unsigned>(field(2))) / static_cast<unsigned>(field(3))};
    const std::int64_t local = day.time_since_epoch().count() * 86400LL + field(4) * 3600 + field(5) * 60 + field(6);
    const std::int64_t offset = (m[7].str() == "-" ? -1 : 1) * (field(8) * 3600 + field(9) * 60);
    EXPECT_EQ(local - offset, seconds) << text;
  }
}

}  // namespace
}  // namespace veldar
