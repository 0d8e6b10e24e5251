#include "engine/exclude.h"

#include <gtest/gtest.h>

#include "tests/exclude_setting.h"

namespace veldar {
namespace {

ExcludeSet Compile(const std::vector<std::string>& patterns, bool foldCase = false) {
  std::string error;
  auto set = ExcludeSet::Parse(patterns, foldCase, &error, Language::kEnglish);
  EXPECT_TRUE(set) << error;
  return set ? *set : ExcludeSet();
}

// Each row: one pattern, one path, and whether it is left out. A pattern
// that matches too much would delete copies, so most rows are near misses.
TEST(ExcludeSetTest, MatchesWhatThePatternSaysAndNothingMore) {
  struct Case {
    const char* pattern;
    const char* path;
    bool directory;
    bool excluded;
  } cases[] = {
      // '*' stays within one name; any depth without a leading '/'.
      {"*.tmp", "a.tmp", false, true},
      {"*.tmp", "x/y/a.tmp", false, true},
      {"*.tmp", "a.tmp.txt", false, false},
      {"*.tmp", "atmp", false, false},
      {"*.tmp", ".tmp", false, true},
      {"a*", "b/a", false, true},
      {"a*", "ba", false, false},
      {"x*y", "x/y", false, false},  // '*' never crosses a '/'
      {"*", "anything/at/all", false, true},
      // '?' is one character: a whole UTF-8 one, never a '/', never none.
      {"?.txt", "a.txt", false, true},
      {"?.txt", ".txt", false, false},
      {"?.txt", "ab.txt", false, false},
      {"?.txt", "\xC3\xA9.txt", false, true},      // é
      {"?.txt", "\xE5\xA5\xBD.txt", false, true},  // a three-byte character
      {"??.txt", "\xC3\xA9.txt", false, false},    // one character, not two bytes
      {"?.txt", "\xFF.txt", false, true},          // a byte that is no UTF-8 is one
      {"a?b", "a/b", false, false},
      {"*?\xA9", "\xC3\xA9", false, false},  // no half of a character
      // Several names: at any depth, but whole names only.
      {"a/b", "a/b", false, true},
      {"a/b", "x/a/b", false, true},
      {"a/b", "xa/b", false, false},
      {"a/b", "a/bc", false, false},
      // A leading '/' anchors at the source.
      {"/build", "build", true, true},
      {"/build", "src/build", true, false},
      {"/a/b", "x/a/b", false, false},
      // A trailing '/' is for directories only; what they hold goes with them.
      {"build/", "build", true, true},
      {"build/", "build", false, false},
      {"build/", "src/build/obj/x.o", false, true},
      {"build/", "src/build.txt", false, false},
      // "**": any number of whole names, none included.
      {"/docs/**/cache", "docs/cache", true, true},
      {"/docs/**/cache", "docs/a/b/cache", true, true},
      {"/docs/**/cache", "docs/acache", true, false},
      {"/docs/**/cache", "other/docs/cache", true, false},
      {"**/x", "a/b/x", false, true},
      {"a/**", "a/deep/file", false, true},
      {"a/**", "ab/file", false, false},
      {"/**/*.o", "x.o", false, true},
      // Inside an excluded directory everything is excluded; the source is never.
      {"node_modules", "web/node_modules/lib/index.js", false, true},
      {"*", "", true, false},
      // Bytes that are no UTF-8 and letters in another case stand for themselves.
      {"\xFE*", "\xFE\xFF", false, true},
      {"Makefile", "makefile", false, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Compile({c.pattern}).Excluded(c.path, c.directory), c.excluded)
        << "pattern " << c.pattern << ", path " << c.path << (c.directory ? "/" : "");
  }
}

// Bracket expressions and a "**" at the end, as rsync reads them: each row
// was tried with rsync --exclude.
TEST(ExcludeSetTest, ClassesAndTrailingAnyNamesMatchAsRsyncDoes) {
  struct Case {
    const char* pattern;
    const char* path;
    bool directory;
    bool excluded;
  } cases[] = {
      // "x/**" is what x holds, never x itself nor a file named x.
      {"x/**", "x", true, false},
      {"x/**", "x", false, false},
      {"x/**", "x/in", false, true},
      {"x/**", "y/x/sub/deep", false, true},
      {"/x/**", "y/x/in", false, false},
      {"x/**/", "x/f", false, false},
      {"x/**/", "x/d/f", false, true},
      // Classes: members, ranges, negation, a ']' first, named classes.
      {"k[12]", "k1", false, true},
      {"k[12]", "k[12]", false, false},
      {"k[1-2]", "k2", false, true},
      {"k[!12]", "k3", false, true},
      {"k[^12]", "ka", false, true},
      {"k[]]", "k]", false, true},
      {"k[!]]", "k]", false, false},
      {"k[!]]", "kb", false, true},
      {"k[a-]", "k-", false, true},
      {"[[]x", "[x", false, true},
      {"k[[:digit:]]", "k7", false, true},
      {"k[[:digit:]]", "ka", false, false},
      {"k[!a-z0-9]", "k!", false, true},
      {"*[12]", "ab1", false, true},
      // A class is one whole character, and never a '/'.
      {"[\xC3\xA9]", "\xC3\xA9", false, true},
      {"[\xC3\xA0-\xC3\xBF]x", "\xC3\xA9x", false, true},
      {"[!a]x", "\xC3\xA9x", false, true},
      {"a[!b]c", "a/c", false, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Compile({c.pattern}).Excluded(c.path, c.directory), c.excluded)
        << "pattern " << c.pattern << ", path " << c.path << (c.directory ? "/" : "");
  }
  EXPECT_TRUE(Compile({"[A-C]x"}, true).Excluded("bx", false));
  EXPECT_TRUE(Compile({"[[:upper:]]x"}, true).Excluded("bx", false));
  EXPECT_FALSE(Compile({"[A-C]x"}, false).Excluded("bx", false));
}

TEST(ExcludeSetTest, CaseIsFoldedOnlyWhenAskedAndOnlyForAsciiLetters) {
  const struct {
    const char* pattern;
    const char* path;
    bool folded, exact;
  } cases[] = {
      {"*.JPG", "photo.jpg", true, false},
      {"/Docs/", "docs", true, false},
      {"\xC3\x89t\xC3\xA9", "\xC3\xA9t\xC3\xA9", false, false},  // "Été" is not "été"
      {"?.TXT", "a.txt", true, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Compile({c.pattern}, true).Excluded(c.path, true), c.folded) << c.pattern;
    EXPECT_EQ(Compile({c.pattern}, false).Excluded(c.path, true), c.exact) << c.pattern;
  }
}

TEST(ExcludeSetTest, AnyPatternOfTheSetExcludesAndEmptyNamesInThePathAreSkipped) {
  const ExcludeSet set = Compile({"*.tmp", "/cache/"});
  EXPECT_TRUE(set.Excluded("cache//x", false));
  EXPECT_TRUE(set.Excluded("a/b.tmp", false));
  EXPECT_FALSE(set.Excluded("a/cache", true));
  EXPECT_FALSE(ExcludeSet().Excluded("a.tmp", false));
}

TEST(ExcludeSetTest, MalformedPatternsAreRefusedByName) {
  const struct {
    std::vector<std::string> patterns;
    const char* message;
  } cases[] = {
      {{"ok", ""}, "exclude pattern \"\" cannot be used: it names nothing"},
      {{"/"}, "exclude pattern \"/\" cannot be used: it names nothing"},
      {{"a//b"}, "exclude pattern \"a//b\" cannot be used: an empty name (//)"},
      {{"../x"}, "exclude pattern \"../x\" cannot be used: \".\" and \"..\" are no names here"},
      {{"a**"}, "exclude pattern \"a**\" cannot be used: ** stands alone between slashes (a/**/b)"},
      {{"build\\obj"}, "exclude pattern \"build\\obj\" cannot be used: names are separated by / (not \\)"},
      {{"a\nb"}, "exclude pattern \"a\\x0Ab\" cannot be used: it holds a control character"},
      {{"!keep"},
       "exclude pattern \"!keep\" cannot be used: there is no negation (write a name beginning with ! as ?name)"},
      {{"k["}, "exclude pattern \"k[\" cannot be used: a [ has no ] after it in the same name (write [ itself as [[])"},
      {{"p[/]q"},
       "exclude pattern \"p[/]q\" cannot be used: a [ has no ] after it in the same name (write [ itself as [[])"},
      {{"[[:word:]]"},
       "exclude pattern \"[[:word:]]\" cannot be used: between [: and :] comes one of alpha digit alnum upper "
       "lower space blank punct xdigit cntrl graph print"},
  };
  for (const auto& c : cases) {
    std::string error;
    EXPECT_FALSE(ExcludeSet::Parse(c.patterns, false, &error, Language::kEnglish));
    EXPECT_EQ(error, c.message);
  }
  std::string error = "stale";
  EXPECT_TRUE(ExcludeSet::Parse({"a/**/b", "/x/", "**"}, false, &error));
  EXPECT_EQ(error, "");
}

TEST(ExcludeSetTest, LogLineListsThePatternsAsGiven) {
  EXPECT_EQ(Compile({"*.tmp", "/build/"}, true).LogLine(), "Exclude : *.tmp | /build/ (case ignored)");
  EXPECT_EQ(Compile({"a"}).LogLine(), "Exclude : a");
  EXPECT_EQ(ExcludeSet().LogLine(), "");
}

TEST(ExcludeSettingTest, SplitTrimsAndJoinSplitsBack) {
  EXPECT_EQ(SplitExcludeSetting(" *.tmp | build/||\t/a b/\r"), (std::vector<std::string>{"*.tmp", "build/", "/a b/"}));
  EXPECT_EQ(SplitExcludeSetting(""), std::vector<std::string>{});

  const std::vector<std::string> storable{"*.tmp", "/My Documents/", "\xE5\xA5\xBD"};
  const auto value = testing::JoinExcludeSetting(storable);
  ASSERT_TRUE(value);
  EXPECT_EQ(*value, "*.tmp|/My Documents/|\xE5\xA5\xBD");
  EXPECT_EQ(SplitExcludeSetting(*value), storable);
  for (const char* unstorable : {"a|b", "", " lead", "trail\t"})
    EXPECT_FALSE(testing::JoinExcludeSetting({"ok", unstorable})) << unstorable;
  EXPECT_EQ(testing::JoinExcludeSetting({}), "");
}

}  // namespace
}  // namespace veldar
