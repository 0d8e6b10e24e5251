#include "platform/path_rules.h"

#include <gtest/gtest.h>

namespace veldar {
namespace {

struct Case {
  bool windows;
  const char* path;
  std::size_t root;
  const char* name;
  const char* parent;
  const char* trimmed;
  const char* components;  // joined with '|'
};

std::string Bar(const std::vector<std::string>& parts) {
  std::string joined;
  for (const auto& part : parts) joined += (joined.empty() ? "" : "|") + part;
  return joined;
}

TEST(PathRulesTest, SplitsPathsOfBothPlatforms) {
  const Case cases[] = {
      {false, "/", 1, "", "/", "/", ""},
      {false, "//a//b//", 1, "", "//a", "//a//b", "a|b"},
      {false, "/a/./b/../c", 1, "c", "/a/./b/..", "/a/./b/../c", "a|c"},
      {false, "rel/x", 0, "x", "rel", "rel/x", "rel|x"},
      {false, "x", 0, "x", "", "x", "x"},
      {false, "/a\\b", 1, "a\\b", "/", "/a\\b", "a\\b"},  // a backslash is a name's byte
      {true, "C:\\", 3, "", "C:\\", "C:\\", ""},
      {true, "C:\\\\", 3, "", "C:\\", "C:\\", ""},
      {true, "c:/data/docs/", 3, "", "c:/data", "c:/data/docs", "data|docs"},
      {true, "C:\\data", 3, "data", "C:\\", "C:\\data", "data"},
      {true, "C:rel", 2, "rel", "C:", "C:rel", "rel"},
      {true, "\\top\\x", 1, "x", "\\top", "\\top\\x", "top|x"},
      {true, "\\\\server\\share\\dir", 15, "dir", "\\\\server\\share\\", "\\\\server\\share\\dir", "dir"},
      {true, "\\\\server\\share", 14, "", "\\\\server\\share", "\\\\server\\share", ""},
      {true, "\\\\?\\C:\\long\\x", 7, "x", "\\\\?\\C:\\long", "\\\\?\\C:\\long\\x", "long|x"},
      {true, "\\\\?\\UNC\\srv\\sh\\x", 15, "x", "\\\\?\\UNC\\srv\\sh\\", "\\\\?\\UNC\\srv\\sh\\x", "x"},
      {true, "..\\a\\..\\..", 0, "..", "..\\a\\..", "..\\a\\..\\..", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    const PathRules& rules = c.windows ? PathRules::Windows() : PathRules::Posix();
    EXPECT_EQ(c.root, rules.RootLength(c.path));
    EXPECT_EQ(c.name, rules.NameOf(c.path));
    EXPECT_EQ(c.parent, rules.ParentOf(c.path));
    EXPECT_EQ(c.trimmed, rules.WithoutTrailingSeparators(c.path));
    EXPECT_EQ(c.components, Bar(rules.Components(c.path)));
  }
}

TEST(PathRulesTest, JoinsAbsoluteAndAncestry) {
  const PathRules& posix = PathRules::Posix();
  const PathRules& windows = PathRules::Windows();
  EXPECT_EQ("/a/b", posix.Join("/a", "b"));
  EXPECT_EQ("/b", posix.Join("/", "b"));
  EXPECT_EQ("b", posix.Join("", "b"));
  EXPECT_EQ("C:\\b", windows.Join("C:\\", "b"));
  EXPECT_EQ("C:/a/b", windows.Join("C:/a/", "b"));
  EXPECT_EQ("C:\\a\\b", windows.Join("C:\\a", "b"));

  EXPECT_TRUE(posix.IsAbsolute("/x"));
  EXPECT_FALSE(posix.IsAbsolute("x/y"));
  EXPECT_FALSE(posix.IsAbsolute("C:\\x"));
  for (const char* absolute : {"C:\\x", "d:/", "\\\\srv\\sh", "\\\\?\\C:\\x"}) {
    EXPECT_TRUE(windows.IsAbsolute(absolute)) << absolute;
  }
  for (const char* relative : {"x", "C:x", "\\x", "C:", ""}) {
    EXPECT_FALSE(windows.IsAbsolute(relative)) << relative;
  }

  EXPECT_EQ((std::vector<std::string>{"/a", "/a//b"}), posix.Ancestry("/a//b/"));
  EXPECT_EQ((std::vector<std::string>{"a", "a/.."}), posix.Ancestry("a/.."));
  EXPECT_EQ((std::vector<std::string>{"C:\\a", "C:\\a\\b"}), windows.Ancestry("C:\\a\\b"));
  EXPECT_EQ((std::vector<std::string>{"\\\\srv\\sh\\d"}), windows.Ancestry("\\\\srv\\sh\\d"));
}

}  // namespace
}  // namespace veldar
