#include "platform/system_reasons.h"

#include <gtest/gtest.h>
#include <locale.h>

#include <cerrno>
#include <clocale>
#include <string>

namespace veldar {
namespace {

// Where the system has a Japanese locale, the process may run in it (a
// toolkit sets the locale from the environment): the log's texts stay the
// C library's English, and a code the table leaves out is read in the C
// library's Japanese.
TEST(SystemReasonsTest, JapaneseLocaleKeepsTheLogsTextsAndTranslatesCodesBeyondTheTable) {
  const locale_t japanese = newlocale(LC_ALL_MASK, "ja_JP.UTF-8", static_cast<locale_t>(0));
  if (!japanese) GTEST_SKIP() << "no ja_JP.UTF-8 locale here (localedef -i ja_JP -f UTF-8 ja_JP.UTF-8)";
  freelocale(japanese);
  const std::string before = setlocale(LC_ALL, nullptr);
  ASSERT_NE(setlocale(LC_ALL, "ja_JP.UTF-8"), nullptr);
  const std::string missing = SystemErrorText(ENOENT), hostDown = SystemErrorText(EHOSTDOWN);
  setlocale(LC_ALL, before.c_str());
  EXPECT_EQ(missing, "No such file or directory");
  EXPECT_EQ(hostDown, "Host is down");
  EXPECT_EQ(JapaneseSystemReason(hostDown), "ホストが落ちています");
}

}  // namespace
}  // namespace veldar
