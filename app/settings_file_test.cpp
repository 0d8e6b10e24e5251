#include "app/settings_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
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
      {"\x1b" "1F9g", "\\x1b\\x31\\x46\\x39g"},  // hex digits after \x are escaped too
      {"@home", "@@home"},
      {"@ByteArray(x)", "@@ByteArray(x)"},
      {std::string("a\0" "1b", 4), "@String(a\\0\\x31\\x62)"},
      {"caf\xe9 1", "@ByteArray(caf\\xe9 1)"},
      {"\x7f\x80\xff" "a9 \x01" "1", "@ByteArray(\\x7f\\x80\\xff\\x61\\x39 \\x1\\x31)"},
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
      {"RESDIR", "@home/restore\\dir\there\x01" "9 "},
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
    for (const std::string& p : {dir / "config", dir / "config/Orvanta", path}) ASSERT_EQ(chown(p.c_str(), kNobody, kNobody), 0);
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
      for (int k = 0; k < kKeys; ++k) settings.Write("SETTINGS", "K" + std::to_string(c) + "_" + std::to_string(k), "v");
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
    for (int k = 0; k < kKeys; ++k) present += settings.Read("SETTINGS", "K" + std::to_string(c) + "_" + std::to_string(k)) == "v";
  }
  EXPECT_EQ(present, 2 * kKeys);
}

}  // namespace
}  // namespace veldar

namespace veldar {
namespace {

// Runs `body` in a child process that may take at most five seconds; what
// it writes to the given descriptor comes back. Fails the test when the
// child hangs or does not end with status 0.
std::string InChild(const std::function<void(int out)>& body) {
  int pipeEnds[2];
  if (pipe(pipeEnds) != 0) return "no pipe";
  const pid_t child = fork();
  if (child == 0) {
    close(pipeEnds[0]);
    alarm(5);
    body(pipeEnds[1]);
    _exit(0);
  }
  close(pipeEnds[1]);
  std::string got;
  char buffer[512];
  for (ssize_t n; (n = read(pipeEnds[0], buffer, sizeof buffer)) > 0;) got.append(buffer, static_cast<std::size_t>(n));
  close(pipeEnds[0]);
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child hung or failed: " << status;
  return got;
}

// A settings file that is a device, a FIFO or a directory, or a link to
// one, reads as empty without waiting and is never replaced; one line says
// why, once however many keys are written.
TEST_F(SettingsFileOnDiskTest, OnlyARegularFileIsReadOrReplaced) {
  enum Kind { kPrivateDevice, kFifo, kDirectory };
  const struct {
    Kind kind;
    bool link;
    const char* what;
  } cases[] = {
      {kPrivateDevice, true, "a device"},
      {kFifo, false, "a FIFO"},
      {kFifo, true, "a FIFO"},
      {kDirectory, false, "a directory"},
  };
  testing::MakeDirs(dir / "config/Orvanta");
  for (const auto& c : cases) {
    const std::string node = c.link ? dir / "node" : path;
    if (c.kind == kPrivateDevice) {
      if (geteuid() != 0) continue;  // only root makes device nodes
      ASSERT_EQ(mknod(node.c_str(), S_IFCHR | 0666, makedev(1, 3)), 0);  // a null device of the test's own
    } else if (c.kind == kFifo) {
      ASSERT_EQ(mkfifo(node.c_str(), 0600), 0);
    } else {
      testing::MakeDirs(node);
    }
    if (c.link) {
      ASSERT_TRUE(testing::MakeLink(node, path));
    }
    struct stat before;
    ASSERT_EQ(stat(node.c_str(), &before), 0);

    const std::string told = InChild([&](int out) {
      SettingsFile settings(path);
      settings.language = Language::kEnglish;
      settings.onNotWritten = [out](const std::string& line) {
        const std::string ended = line + "\n";
        if (write(out, ended.data(), ended.size()) < 0) _exit(2);
      };
      if (!settings.Read("SETTINGS", "LASTDIR").empty()) _exit(3);
      settings.Write("SETTINGS", "LASTDIR", "/secret/backups");
      settings.Write("SETTINGS", "LASTFILE", "/secret/data");
    });
    const std::string named = c.link ? path + " -> " + node : path;
    EXPECT_EQ(told, "settings not saved: " + named + " is not a regular file (" + c.what + ")\n") << c.what;
    struct stat after;
    ASSERT_EQ(lstat(node.c_str(), &after), 0) << c.what;
    EXPECT_EQ(after.st_mode, before.st_mode) << c.what;
    EXPECT_EQ(after.st_rdev, before.st_rdev) << c.what;
    EXPECT_EQ(testing::ListNames(dir / "config/Orvanta"),
              std::vector<std::string>{"VELDAR2.conf"}) << c.what << ": no temporary file left";
    testing::RunCommand("rm -rf '" + path + "' '" + node + "'");
  }
}

// Temporary files of writers that were killed are removed by the next
// write; nothing else is: not another process's, not another user's, not a
// link, a directory or a name of another form.
TEST_F(SettingsFileOnDiskTest, AWriteRemovesTheTemporaryFilesOfWritersThatAreGone) {
  const pid_t gone = fork();
  if (gone == 0) _exit(0);
  waitpid(gone, nullptr, 0);
  const std::string dead = std::to_string(gone), alive = std::to_string(getppid());
  enum Kind { kFile, kOtherUsersFile, kLink, kDirectory };
  const struct {
    std::string name;
    Kind kind;
    bool removed;
  } cases[] = {
      {"VELDAR2.conf." + dead + "-0.new", kFile, true},
      {"VELDAR2.conf." + dead + "-17.new", kFile, true},
      {"VELDAR2.conf." + alive + "-0.new", kFile, false},
      {"VELDAR2.conf." + dead + "-1.new", kOtherUsersFile, false},
      {"VELDAR2.conf." + dead + "-2.new", kLink, false},
      {"VELDAR2.conf." + dead + "-3.new", kDirectory, false},
      {"VELDAR2.conf." + dead + ".new", kFile, false},
      {"VELDAR2.conf." + dead + "-0.new.bak", kFile, false},
      {"OTHER.conf." + dead + "-0.new", kFile, false},
  };
  testing::WriteFile(dir / "elsewhere", "kept");
  for (const auto& c : cases) {
    const std::string at = dir / ("config/Orvanta/" + c.name);
    if (c.kind == kLink) {
      testing::MakeDirs(dir / "config/Orvanta");
      ASSERT_TRUE(testing::MakeLink(dir / "elsewhere", at));
    } else if (c.kind == kDirectory) {
      testing::MakeDirs(at);
    } else {
      WriteFile(at, "[SETTINGS]\n");
      if (c.kind == kOtherUsersFile && (geteuid() != 0 || chown(at.c_str(), 65534, 65534) != 0)) unlink(at.c_str());
    }
  }
  SettingsFile(path).Write("SETTINGS", "LASTDIR", "/b");
  for (const auto& c : cases) {
    if (c.kind == kOtherUsersFile && geteuid() != 0) continue;
    EXPECT_EQ(testing::Exists(dir / ("config/Orvanta/" + c.name)), !c.removed) << c.name;
  }
  EXPECT_EQ(ReadFile(dir / "elsewhere"), "kept");
}

}  // namespace
}  // namespace veldar
