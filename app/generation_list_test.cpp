#include "app/generation_list.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <regex>

#include "platform/os_paths.h"
#include "testing/fault_injector.h"
#include "testing/memory_os.h"

namespace veldar {
namespace {

using State = GenerationListRow::State;

std::string FixedTime(std::int64_t seconds) { return "T" + std::to_string(seconds); }

const std::vector<GenerationListRow> kRows = {
    {0, ".docs.veldar2-new", std::nullopt, 12, 40960, State::kWorking, 8192},
    {1, "docs_3", 1714521613, 1234, 5678901234, State::kComplete, 16384},
    {2, "docs_\xFF\n", 1714435211, 7, 100, State::kIncomplete, 4096},
};

TEST(GenerationListTest, TextTableNewestFirstWithTheWorkingDirectoryShownAsSuch) {
  EXPECT_EQ(GenerationListText(kRows, FixedTime, Language::kEnglish),
            "#  completed    files     size      own  state                            name\n"
            "-  -               12  40.0 KB  8.00 KB  interrupted (working directory)  .docs.veldar2-new\n"
            "1  T1714521613   1234  5.29 GB  16.0 KB  complete                         docs_3\n"
            "2  T1714435211      7    100 B  4.00 KB  incomplete                       docs_\\xFF\\n\n");
  // Japanese headings are two columns a character wide, and still line up.
  const std::string japanese = GenerationListText({kRows[1]}, FixedTime, Language::kJapanese);
  EXPECT_EQ(japanese,
            "番号  完了日時     ファイル数   サイズ     専有  状態  名前\n"
            "   1  T1714521613        1234  5.29 GB  16.0 KB  完了  docs_3\n");
  EXPECT_EQ(GenerationListText({}, FixedTime, Language::kEnglish), "no generations\n");
}

TEST(GenerationListTest, JsonLinesEscapeNamesAndKeepTheirBytes) {
  const std::vector<GenerationListRow> rows = {
      kRows[0],
      kRows[1],
      {3, "a\"b\\c\t\x01\xE5\xA5\xBD", 5, 0, 0, State::kComplete},
      kRows[2],
  };
  EXPECT_EQ(
      GenerationListJson(rows, FixedTime),
      "{\"number\":null,\"name\":\".docs.veldar2-new\",\"completed\":null,\"completed_unix\":null,"
      "\"files\":12,\"bytes\":40960,\"own_bytes\":8192,\"state\":\"interrupted\"}\n"
      "{\"number\":1,\"name\":\"docs_3\",\"completed\":\"T1714521613\",\"completed_unix\":1714521613,"
      "\"files\":1234,\"bytes\":5678901234,\"own_bytes\":16384,\"state\":\"complete\"}\n"
      "{\"number\":3,\"name\":\"a\\\"b\\\\c\\t\\u0001\xE5\xA5\xBD\",\"completed\":\"T5\",\"completed_unix\":5,"
      "\"files\":0,\"bytes\":0,\"own_bytes\":0,\"state\":\"complete\"}\n"
      "{\"number\":2,\"name\":\"docs_\xEF\xBF\xBD\\n\",\"name_hex\":\"646f63735fff0a\",\"completed\":\"T1714435211\","
      "\"completed_unix\":1714435211,\"files\":7,\"bytes\":100,\"own_bytes\":4096,\"state\":\"incomplete\"}\n");
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

// One backup directory for every case: two directory generations of "docs"
// (docs_1 made last, so the newer) that share one file (a hard link), the
// working directory an interrupted run left, two file generations of
// "report.doc" (report_1 the newer), and entries that only look like
// generations or belong to a directory source of that name. Last-write times
// are set apart from creation times, which order the generations; a
// directory generation's newest directory time is when it was completed.
void BuildBackupDir(MemoryOs& os) {
  os.AddDir("/src/docs");
  os.AddFile("/src/report.doc", "r");
  os.AddFile("/bk/docs_2/old", "0123456789");
  os.AddFile("/bk/docs_2/shared", "666666");
  os.AddFile("/bk/docs_1/a.txt", "abc");
  os.AddFile("/bk/docs_1/sub/b.txt", "bbbbb");
  os.AddFile("/bk/docs_1/sub/deeper/c", "ccccccc");
  os.AddLink("/bk/docs_1/escape", "/src");  // one file, never followed
  os.AddSpecial("/bk/docs_1/fifo");
  std::unique_ptr<OsDir> older, newer;
  FileStatus shared;
  ASSERT_TRUE(os.OpenDir("/bk/docs_2", false, &older).ok());
  ASSERT_TRUE(os.OpenDir("/bk/docs_1", false, &newer).ok());
  ASSERT_TRUE(older->StatAt("shared", &shared).ok());
  ASSERT_TRUE(older->LinkFile("shared", *newer, "shared", shared).ok());
  os.AddFile("/bk/.docs.veldar2-new/part", "pp");
  os.AddFile("/bk/report_2.doc_", "older!", 4);
  os.AddFile("/bk/report_1.doc_", "new", 5);
  os.AddDir("/bk/.report.doc.veldar2-new");
  os.AddFile("/bk/docs_3", "a file");
  os.AddLink("/bk/docs_4", "/bk/docs_1");
  os.AddDir("/bk/docs_99");
  os.AddLink("/link-to-bk", "/bk");
  os.AddDir("/empty");
  ASSERT_TRUE(ChangeEntry(os, "/bk/docs_1", {.times = 5}).ok());
  ASSERT_TRUE(ChangeEntry(os, "/bk/docs_1/sub", {.times = 1'650'000'100}).ok());
  ASSERT_TRUE(ChangeEntry(os, "/bk/docs_1/sub/deeper", {.times = 1'650'000'200}).ok());
  ASSERT_TRUE(ChangeEntry(os, "/bk/docs_2", {.times = 1'650'000'000}).ok());
  ASSERT_TRUE(ChangeEntry(os, "/bk/.docs.veldar2-new", {.times = 77}).ok());
}

TEST(GenerationListTest, FindsTheRowsOfTheSourceAndChangesNothing) {
  struct Row {
    int number;
    std::string name;
    std::uint64_t files, bytes;
    State state;
    // The shared file counts with docs_2, the older; the link with its text.
    std::uint64_t own;
    std::int64_t completed;
  };
  const std::vector<Row> docs = {{0, ".docs.veldar2-new", 1, 2, State::kWorking, 2, 77},
                                 {1, "docs_1", 5, 21, State::kComplete, 3 + 5 + 7 + 4, 1'650'000'200},
                                 {2, "docs_2", 2, 16, State::kComplete, 16, 1'650'000'000}};
  // A file generation completed when the run stamped it.
  const std::vector<Row> reports = {{1, "report_1.doc_", 1, 3, State::kComplete, 3, 5},
                                    {2, "report_2.doc_", 1, 6, State::kComplete, 6, 4}};
  const Status denied = MemoryOs().Error(ErrorKind::kAccessDenied);
  struct Case {
    const char* what;
    std::string source, backupDir;
    std::function<void(FaultInjector&)> breakIt;
    std::vector<Row> rows;
    std::string error;  // not empty: the failure's
  } cases[] = {
      {"directory source", "/src/docs", "/bk", {}, docs, ""},
      {"file source, backup directory typed as a link", "/src/report.doc", "/link-to-bk/", {}, reports, ""},
      {"gone source with directory generations", "/gone/docs", "/bk", {}, docs, ""},
      {"gone source with file generations", "/gone/report.doc", "/bk", {}, reports, ""},
      {"parts unreadable",
       "/src/docs",
       "/bk",
       [&](FaultInjector& os) {
         os.FailAt(OsOp::OpenDir, "docs_1/sub", denied);
         os.FailAt(OsOp::List, "docs_2", denied);
       },
       // Unread, docs_2 holds no share of the file: docs_1 counts it.
       {docs[0],
        {1, "docs_1", 3, 9, State::kIncomplete, 3 + 4 + 6, 1'650'000'100},
        {2, "docs_2", 0, 0, State::kIncomplete, 0, 1'650'000'000}},
       ""},
      {"empty backup directory", "/src/docs", "/empty", {}, {}, ""},
      {"no backup directory",
       "/src/docs",
       "/none",
       {},
       {},
       "書き込むディレクトリを読めません: /none: " + MemoryOs().ErrorText(MemoryOs().Error(ErrorKind::kNotFound))},
      {"unreadable backup directory",
       "/src/docs",
       "/bk/",
       [&](FaultInjector& os) { os.FailAt(OsOp::List, "/bk", denied); },
       {},
       "書き込むディレクトリを読めません: /bk: " + MemoryOs().ErrorText(denied)},
      // Refused as a restore of it is: a root has no generations.
      {"root source", "/", "/bk", {}, {}, "ルートディレクトリはバックアップできません。 /"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    MemoryOs memory;
    BuildBackupDir(memory);
    FaultInjector os(memory);
    if (c.breakIt) c.breakIt(os);
    std::vector<GenerationListRow> rows;
    std::string error;
    const int found = FindGenerationRows(os, c.source, c.backupDir, &rows, &error);
    EXPECT_EQ(found, c.error.empty() ? 1 : 0);
    EXPECT_EQ(error, c.error);
    ASSERT_EQ(rows.size(), c.rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
      const Row& want = c.rows[i];
      SCOPED_TRACE(want.name);
      EXPECT_EQ(rows[i].number, want.number);
      EXPECT_EQ(rows[i].name, want.name);
      EXPECT_EQ(rows[i].files, want.files);
      EXPECT_EQ(rows[i].bytes, want.bytes);
      EXPECT_EQ(rows[i].state, want.state);
      EXPECT_EQ(rows[i].ownBytes, want.own);
      EXPECT_EQ(rows[i].completed, want.completed);
    }
    EXPECT_EQ(os.changeCount, 0);
    for (const FaultInjector::Call& call : os.calls) EXPECT_NE(call.op, OsOp::Lock) << call.path;
  }
}

}  // namespace
}  // namespace veldar
