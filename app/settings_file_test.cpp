#include "app/settings_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "tests/test_util.h"

namespace veldar {
namespace {

using testing::ReadFile;
using testing::WriteFile;

// Values and the form QSettings (Qt 6.4) writes them in, both ways: what
// this store writes, an older version reads, and the other way round.
TEST(SettingsFileTest, ValuesAreWrittenAndReadAsQSettingsWritesThem) {
  const struct {
    std::string value, written;
  } cases[] = {
      {"", ""},
      {"/home/u/docs", "/home/u/docs"},
      {"/home/u/ドキュメント", "/home/u/ドキュメント"},
      {"1,2", "\"1,2\""},
      {"a;b", "\"a;b\""},
      {" lead", "\" lead\""},
      {"q\"uote", "q\\\"uote"},
      {"back\\slash", "back\\\\slash"},
      {"tab\there\nnext", "tab\\there\\nnext"},
      {"\a\b\f\r\v\x1f x", "\\a\\b\\f\\r\\v\\x1f x"},
      {"x\x01y", "x\\x1y"},
      {"\x1b"
       "1F9g",
       "\\x1b\\x31\\x46\\x39g"},  // hex digits after \x are escaped too
      {"@home", "@@home"},
      {"@ByteArray(x)", "@@ByteArray(x)"},
      {std::string("a\0"
                   "1b",
                   4),
       "@String(a\\0\\x31\\x62)"},
      {"caf\xe9 1", "@ByteArray(caf\\xe9 1)"},
      {"\x7f\x80\xff"
       "a9 \x01"
       "1",
       "@ByteArray(\\x7f\\x80\\xff\\x61\\x39 \\x1\\x31)"},
      {"\xff\xfe,;=\"\\ a", "\"@ByteArray(\\xff\\xfe,;=\\\"\\\\ a)\""},
      {"\xed\xa0\x80", "@ByteArray(\\xed\\xa0\\x80)"},  // a surrogate is no UTF-8
  };
  for (const auto& c : cases) {
    EXPECT_EQ(IniEscape(c.value), c.written) << c.value;
    EXPECT_EQ(IniUnescape(c.written), c.value) << c.written;
  }
}

// What a user may write by hand, and what QSettings may have stored that
// the settings never hold.
TEST(SettingsFileTest, HandWrittenFilesRead) {
  const struct {
    const char* text;
    std::optional<std::string> value;  // of SETTINGS/K
  } cases[] = {
      {"[SETTINGS]\nK=1,2\n", "1,2"},  // QSettings: a list, no number
      {"[SETTINGS]\n  K =  /b ; nightly  \n", "/b ; nightly"},
      {"; mine\n# too\n[SETTINGS]\n;K=0\nK=1\n", "1"},
      {"[SETTINGS]\r\nK=1\r\n", "1"},
      {"[SETTINGS]\nK=1\nK=2\n", "2"},  // the last one counts
      {"[SETTINGS]\nK=1\n[OTHER]\nK=9\n[SETTINGS]\nJ=3\n", "1"},
      {"[SETTINGS]\nK=\"  padded  \"\n", "  padded  "},
      {"[SETTINGS]\nK=a\\;b\\,c\\ d\n", "a;b,c d"},
      {"[SETTINGS]\nK=trailing\\\n", "trailing\\"},
      {"[SETTINGS]\nK=\\101\\x41\\u\n", "AAu"},
      {"[SETTINGS]\nK=@Invalid()\n", ""},
      {"[SETTINGS]\nK=@Variant(\\0\\0\\0\\x7f)\n", ""},
      {"[SETTINGS]\nk=1\n", std::nullopt},  // keys are case-sensitive
      {"K=1\n[SETTINGS]\n", std::nullopt},
      {"[OTHER]\nK=1\n", std::nullopt},
      {"\xef\xbb\xbf[SETTINGS]\r\nK=1\r\n", "1"},  // a byte-order mark, as Windows editors write
  };
  for (const auto& c : cases) EXPECT_EQ(IniValue(c.text, "SETTINGS", "K"), c.value) << c.text;
}

// A write changes the line of its key and nothing else.
TEST(SettingsFileTest, AWriteKeepsEverythingButItsValue) {
  const struct {
    const char* before;
    const char* value;
    const char* after;
  } cases[] = {
      {"", "/b", "[SETTINGS]\nK=/b\n"},
      {"; my backups\n[SETTINGS]\nK = /old   \nLINK=1\n", "/new", "; my backups\n[SETTINGS]\nK = /new\nLINK=1\n"},
      {"[SETTINGS]\nK=1,2\n", "5", "[SETTINGS]\nK=5\n"},
      {"[SETTINGS]\nK=\n", "1,2", "[SETTINGS]\nK=\"1,2\"\n"},
      {"[SETTINGS]\nK=1\nK=2\n", "3", "[SETTINGS]\nK=1\nK=3\n"},
      {"[SETTINGS]\nA=1\n\n; other\n[OTHER]\nx=y\n", "2", "[SETTINGS]\nA=1\nK=2\n\n; other\n[OTHER]\nx=y\n"},
      {"[SETTINGS]\r\nA=1\r\n", "2", "[SETTINGS]\r\nA=1\r\nK=2\r\n"},
      {"[SETTINGS]\nA=1", "2", "[SETTINGS]\nA=1\nK=2\n"},
      {"[SETTINGS]\r\nA=1\r", "2", "[SETTINGS]\r\nA=1\r\nK=2\r\n"},
      {"[SETTINGS]\n; empty\n", "2", "[SETTINGS]\nK=2\n; empty\n"},
      {"[OTHER]\nx=y\n", "2", "[OTHER]\nx=y\n\n[SETTINGS]\nK=2\n"},
      {"[OTHER]\nx=y", "2", "[OTHER]\nx=y\n\n[SETTINGS]\nK=2\n"},
      {"\xef\xbb\xbf[SETTINGS]\nK=1\n", "2", "\xef\xbb\xbf[SETTINGS]\nK=2\n"},
      {"\xef\xbb\xbf", "2", "\xef\xbb\xbf[SETTINGS]\nK=2\n"},
  };
  for (const auto& c : cases) EXPECT_EQ(IniWithValue(c.before, "SETTINGS", "K", c.value), c.after) << c.before;
}

TEST(SettingsFileTest, PathFollowsXdgConfigHomeAsQSettingsDoes) {
  EXPECT_EQ(SettingsFilePath("/x/cfg", "/home/u"), "/x/cfg/Orvanta/VELDAR2.conf");
  EXPECT_EQ(SettingsFilePath("rel", "/home/u"), "rel/Orvanta/VELDAR2.conf");
  EXPECT_EQ(SettingsFilePath("", "/home/u"), "/home/u/.config/Orvanta/VELDAR2.conf");
  EXPECT_EQ(SettingsFilePath(nullptr, "/home/u"), "/home/u/.config/Orvanta/VELDAR2.conf");
}

// The file version 2.00 wrote through QSettings (app/testdata) reads back
// as the values it stored.
TEST(SettingsFileTest, ReadsWhatVersion200Wrote) {
  SettingsFile file(VELDAR2_TESTDATA_DIR "/settings_written_by_2.00.conf");
  const std::pair<const char*, std::string> expected[] = {
      {"DEFALUTFILES", "5"},
      {"LASTFILE", "/home/user/ドキュメント/report, draft; v2=final.odt"},
      {"LASTDIR", "/mnt/backup/caf\xe9 \"old\" 1"},
      {"LASTOPT", "101"},
      {"LOGSIZE", "800"},
      {"RESDIR",
       "@home/restore\\dir\there\x01"
       "9 "},
      {"LOGOPT", "01"},
      {"LINK", "1"},
  };
  for (const auto& [key, value] : expected) EXPECT_EQ(file.Read("SETTINGS", key), value) << key;
}

class SettingsFileOnDiskTest : public ::testing::Test {
 protected:
  mode_t Mode(const std::string& path) {
    struct stat status;
    return stat(path.c_str(), &status) == 0 ? status.st_mode & 07777 : 0;
  }
  testing::TempDir dir;
  std::string path = dir / "config/Orvanta/VELDAR2.conf";
};

TEST_F(SettingsFileOnDiskTest, FirstWriteMakesTheFileAsQSettingsWould) {
  const mode_t saved = umask(027);
  SettingsFile settings(path);
  EXPECT_EQ(settings.Read("SETTINGS", "LASTDIR"), "");
  settings.Write("SETTINGS", "LASTDIR", "/b");
  settings.Write("SETTINGS", "LASTFILE", "/a");
  umask(saved);
  EXPECT_EQ(ReadFile(path), "[SETTINGS]\nLASTDIR=/b\nLASTFILE=/a\n");
  EXPECT_EQ(Mode(dir / "config"), 0750u);
  EXPECT_EQ(Mode(dir / "config/Orvanta"), 0750u);
  EXPECT_EQ(Mode(path), 0640u);
  EXPECT_EQ(settings.Read("SETTINGS", "LASTDIR"), "/b");
  EXPECT_EQ(testing::ListNames(dir / "config/Orvanta"), std::vector<std::string>{"VELDAR2.conf"})
      << "no temporary file left";
}

TEST_F(SettingsFileOnDiskTest, WriteKeepsModeLinkAndOtherWritersKeys) {
  WriteFile(dir / "dotfiles/veldar2.conf", "; kept\n[SETTINGS]\nLASTDIR=/old\n");
  chmod((dir / "dotfiles/veldar2.conf").c_str(), 0600);
  testing::MakeDirs(dir / "config/Orvanta");
  ASSERT_TRUE(testing::MakeLink("../../dotfiles/veldar2.conf", path));

  SettingsFile first(path);
  EXPECT_EQ(first.Read("SETTINGS", "LASTDIR"), "/old");
  SettingsFile(path).Write("SETTINGS", "LOGSIZE", "800");  // another process, meanwhile
  first.Write("SETTINGS", "LASTDIR", "/new");

  EXPECT_EQ(ReadFile(dir / "dotfiles/veldar2.conf"), "; kept\n[SETTINGS]\nLASTDIR=/new\nLOGSIZE=800\n");
  struct stat status;
  ASSERT_EQ(lstat(path.c_str(), &status), 0);
  EXPECT_TRUE(S_ISLNK(status.st_mode)) << "the link stays a link";
  EXPECT_EQ(Mode(dir / "dotfiles/veldar2.conf"), 0600u);
}

TEST_F(SettingsFileOnDiskTest, AFileThatCannotBeReadIsLeftAlone) {
  WriteFile(path, "[SETTINGS]\nLASTDIR=/old\n");
  chmod(path.c_str(), 0200);
  // Root reads any file: the writer runs as nobody, who owns the tree.
  constexpr uid_t kNobody = 65534;
  if (geteuid() == 0) {
    chmod(dir.path().c_str(), 0755);
    for (const std::string& p : {dir / "config", dir / "config/Orvanta", path})
      ASSERT_EQ(chown(p.c_str(), kNobody, kNobody), 0);
  }
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (geteuid() == 0 && (setgid(kNobody) != 0 || setuid(kNobody) != 0)) _exit(1);
    SettingsFile(path).Write("SETTINGS", "LASTFILE", "/a");
    _exit(0);
  }
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_EQ(status, 0);
  chmod(path.c_str(), 0600);
  EXPECT_EQ(ReadFile(path), "[SETTINGS]\nLASTDIR=/old\n");
}

// Two processes writing different keys at once: every value is kept, as
// each writer holds the lock from reading the file to replacing it.
TEST_F(SettingsFileOnDiskTest, ConcurrentWritersLoseNoKey) {
  constexpr int kKeys = 25;
  pid_t children[2];
  for (int c = 0; c < 2; ++c) {
    children[c] = fork();
    ASSERT_GE(children[c], 0);
    if (children[c] == 0) {
      SettingsFile settings(path);
      for (int k = 0; k < kKeys; ++k)
        settings.Write("SETTINGS", "K" + std::to_string(c) + "_" + std::to_string(k), "v");
      _exit(0);
    }
  }
  for (pid_t child : children) {
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_EQ(status, 0);
  }
  SettingsFile settings(path);
  int present = 0;
  for (int c = 0; c < 2; ++c) {
    for (int k = 0; k < kKeys; ++k)
      present += settings.Read("SETTINGS", "K" + std::to_string(c) + "_" + std::to_string(k)) == "v";
  }
  EXPECT_EQ(present, 2 * kKeys);
}

}  // namespace
}  // namespace veldar

namespace veldar {
namespace {

// A settings file that is a device, a FIFO or a directory, or a link to
// one, reads as empty without waiting for a writer and is never replaced;
// one line says why, once for every key written. Each case runs in a child
// that is stopped if it hangs.
TEST_F(SettingsFileOnDiskTest, OnlyARegularFileIsReadOrReplaced) {
  const struct {
    mode_t kind;
    bool link;
    const char* what;
  } cases[] = {
      {S_IFCHR, true, "a device"},  // a null device of the test's own; only root makes one
      {S_IFIFO, false, "a FIFO"},
      {S_IFIFO, true, "a FIFO"},
      {S_IFDIR, false, "a directory"},
  };
  testing::MakeDirs(dir / "config/Orvanta");
  const std::string told = dir / "told";
  for (const auto& c : cases) {
    if (c.kind == S_IFCHR && geteuid() != 0) continue;
    const std::string node = c.link ? dir / "node" : path;
    ASSERT_EQ(c.kind == S_IFDIR ? mkdir(node.c_str(), 0700) : mknod(node.c_str(), c.kind | 0666, makedev(1, 3)), 0);
    if (c.link) {
      ASSERT_TRUE(testing::MakeLink(node, path));
    }
    struct stat before, after;
    ASSERT_EQ(stat(node.c_str(), &before), 0);
    const pid_t child = fork();
    if (child == 0) {
      alarm(5);
      SettingsFile settings(path);
      settings.language = Language::kEnglish;
      settings.onNotWritten = [&](const std::string& line) { std::ofstream(told, std::ios::app) << line << "\n"; };
      const bool empty = settings.Read("SETTINGS", "LASTDIR").empty();
      settings.Write("SETTINGS", "LASTDIR", "/secret/backups");
      settings.Write("SETTINGS", "LASTFILE", "/secret/data");
      _exit(empty ? 0 : 1);
    }
    int status = -1;
    waitpid(child, &status, 0);
    EXPECT_EQ(status, 0) << c.what << ": hung, or read something";
    EXPECT_EQ(ReadFile(told), "settings not saved: " + (c.link ? path + " -> " + node : path) +
                                  " is not a regular file (" + c.what + ")\n");
    ASSERT_EQ(lstat(node.c_str(), &after), 0);
    EXPECT_EQ(after.st_mode, before.st_mode) << c.what;
    EXPECT_EQ(after.st_rdev, before.st_rdev) << c.what;
    EXPECT_EQ(testing::ListNames(dir / "config/Orvanta"), std::vector<std::string>{"VELDAR2.conf"}) << c.what;
    testing::RunCommand("rm -rf '" + path + "' '" + node + "' '" + told + "'");
  }
}

// A write removes the temporary files of writers that were killed, and
// nothing else: not a living process's, not another user's, not a link or
// a name of another form.
TEST_F(SettingsFileOnDiskTest, AWriteRemovesTheTemporaryFilesOfWritersThatAreGone) {
  const pid_t gone = fork();
  if (gone == 0) _exit(0);
  waitpid(gone, nullptr, 0);
  const std::string dead = std::to_string(gone);
  const uid_t kOther = 65534;
  const struct {
    std::string name;
    bool link;
    uid_t owner;
    bool removed;
  } cases[] = {
      {"VELDAR2.conf." + dead + "-0.new", false, geteuid(), true},
      {"VELDAR2.conf." + dead + "-17.new", false, geteuid(), true},
      {"VELDAR2.conf." + std::to_string(getppid()) + "-0.new", false, geteuid(), false},
      {"VELDAR2.conf." + dead + "-1.new", false, kOther, false},
      {"VELDAR2.conf." + dead + "-2.new", true, geteuid(), false},
      {"VELDAR2.conf." + dead + "-0.new.bak", false, geteuid(), false},
      {"OTHER.conf." + dead + "-0.new", false, geteuid(), false},
  };
  const bool root = geteuid() == 0;
  for (const auto& c : cases) {
    const std::string at = dir / ("config/Orvanta/" + c.name);
    WriteFile(c.link ? dir / "elsewhere" : at, "[SETTINGS]\n");
    if (c.link) {
      ASSERT_TRUE(testing::MakeLink(dir / "elsewhere", at));
    }
    if (c.owner == kOther && root) {
      ASSERT_EQ(chown(at.c_str(), kOther, kOther), 0);
    }
  }
  SettingsFile(path).Write("SETTINGS", "LASTDIR", "/b");
  for (const auto& c : cases) {
    if (c.owner == kOther && !root) continue;
    EXPECT_EQ(testing::Exists(dir / ("config/Orvanta/" + c.name)), !c.removed) << c.name;
  }
  EXPECT_EQ(ReadFile(dir / "elsewhere"), "[SETTINGS]\n");
}

}  // namespace
}  // namespace veldar
