// Runs the built program as a separate process, as a script or a scheduler
// would, in private XDG directories, and checks what it left behind with tools
// that do not share its code.

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "tests/test_util.h"

namespace veldar {
namespace {

using testing::Lines;
using testing::ReadFile;
using testing::RunCommand;
using testing::WriteFile;

class BatchProgramTest : public ::testing::Test {
 protected:
  // Runs the program with `arguments` (already shell-quoted) and the
  // environment's `variables` ("NAME=value ..."); returns the exit status and
  // keeps standard error.
  // The locale is the C locale unless `variables` set another.
  int Run(const std::string& arguments, const std::string& variables = "",
          const std::string& program = VELDAR2_BINARY) {
    const std::string command = "cd '" + dir.path() +
                                "' && env -u DISPLAY -u WAYLAND_DISPLAY -u LANGUAGE -u LC_ALL "
                                "-u LC_MESSAGES LANG=C.UTF-8 " +
                                variables + " XDG_RUNTIME_DIR='" + dir.path() + "' XDG_CONFIG_HOME='" + dir.path() +
                                "/config' XDG_STATE_HOME='" + dir.path() + "/state' '" + program + "' " + arguments +
                                " 2>stderr.txt";
    int status = RunCommand(command, &out);
    err = ReadFile(dir / "stderr.txt");
    return status;
  }
  std::string Log() { return ReadFile(dir / "state/VELDAR2/VELDAR2.LOG"); }
  std::string Settings() { return ReadFile(dir / "config/Orvanta/VELDAR2.conf"); }

  testing::TempDir dir;
  std::string out, err;
};

// On a terminal (a pseudo-terminal made by script(1)) a run draws its
// progress line and blanks it before the summary; with standard error to a
// file (cron, a pipe) nothing but the summary is written.
TEST_F(BatchProgramTest, ProgressLineOnlyOnATerminal) {
  WriteFile(dir / "src/a.txt", "alpha");
  WriteFile(dir / "src/b.bin", std::string(3 << 20, 'b'));
  testing::MakeDirs(dir / "dst");
  testing::MakeDirs(dir / "dst2");
  EXPECT_EQ(Run("-M2 src dst"), 0);
  EXPECT_EQ(err, "");

  // In the user's language: English for a German locale, Japanese for C.
  const std::pair<const char*, const char*> locales[] = {{"de_DE.UTF-8", "\r100% 2/2 files 3.00 MB/3.00 MB"},
                                                         {"C", "\r100% 2/2 ファイル 3.00 MB/3.00 MB"}};
  for (const auto& [lang, expected] : locales) {
    const std::string inner =
        "env -u DISPLAY -u WAYLAND_DISPLAY -u LANGUAGE -u LC_ALL -u LC_MESSAGES LANG=" + std::string(lang) +
        " XDG_RUNTIME_DIR='" + dir.path() + "' XDG_CONFIG_HOME='" + dir.path() + "/config' XDG_STATE_HOME='" +
        dir.path() + "/state' '" + VELDAR2_BINARY + "' -M2 src dst2";
    std::string terminal;
    ASSERT_EQ(RunCommand("cd '" + dir.path() + "' && script -qec \"" + inner + "\" /dev/null", &terminal), 0);
    EXPECT_NE(terminal.find(expected), std::string::npos) << terminal;
    EXPECT_EQ(terminal.substr(terminal.rfind('\r', terminal.size() - 2)).find_first_not_of(" \r\n"), std::string::npos)
        << "the line is blanked at the end";
  }
}

// The locale changes the usage text, never the log.
TEST_F(BatchProgramTest, EnglishLocaleLogsTheSameLines) {
  WriteFile(dir / "src/a.txt", "alpha");
  testing::MakeDirs(dir / "dst");
  std::vector<std::string> texts[2];
  int run = 0;
  for (const char* lang : {"ja_JP.UTF-8", "en_US.UTF-8"}) {
    ASSERT_EQ(
        RunCommand("rm -rf '" + dir.path() + "/state' '" + dir.path() + "/dst' && mkdir '" + dir.path() + "/dst'"), 0);
    EXPECT_EQ(Run("-M2 src dst", std::string("LC_ALL= LANG=") + lang), 0);
    for (const std::string& line : Lines(Log())) {
      texts[run].push_back(line.substr(line.find(" : ", line.find(" : ") + 3)));
    }
    ++run;
  }
  EXPECT_GE(texts[0].size(), 3u);
  EXPECT_EQ(texts[0], texts[1]);
  EXPECT_EQ(Run("--help", "LC_ALL= LANG=en_US.UTF-8"), 0);
  EXPECT_EQ(out.rfind("Usage: veldar2", 0), 0u) << out;
}

TEST_F(BatchProgramTest, HelpVersionAndNoParameters) {
  EXPECT_EQ(Run("--version"), 0);
  EXPECT_EQ(out, "VELDAR2 2.00\n");
  EXPECT_EQ(Run("--help"), 0);
  EXPECT_NE(out.find("-NOMSG"), std::string::npos);
  EXPECT_FALSE(testing::Exists(dir / "state"));

  // Installed without the dialog program beside it, a start without
  // parameters says which package holds the dialogs.
  testing::MakeDirs(dir / "bin");
  ASSERT_EQ(RunCommand("cp '" VELDAR2_BINARY "' '" + dir.path() + "/bin/veldar2'"), 0);
  EXPECT_EQ(Run("", "LANG=en_US.UTF-8", dir / "bin/veldar2"), 2);
  EXPECT_EQ(err,
            "veldar2: the dialogs are in the package veldar2-gui (to install it: sudo apt install veldar2-gui)\n"
            "veldar2: start it with parameters for a backup without a window (--help)\n");
}

// Without a display the refusal is written to standard error in the user's
// language, naming the path and the system's reason; the summary sends the
// user to the log only where the log holds the reason (with -NOMSG).
TEST_F(BatchProgramTest, MissingSourceIsNamedOnStandardErrorInTheUsersLanguage) {
  testing::MakeDirs(dir / "dst");
  EXPECT_EQ(Run("-M5 -NODEL missing dst", "LANG=en_US.UTF-8"), 2);
  EXPECT_EQ(err,
            "veldar2: The parameters are wrong: [file or folder to back up] missing: No such file or directory\n"
            "veldar2: the backup failed or was refused\n");
  const auto lines = Lines(Log());
  ASSERT_EQ(lines.size(), 2u) << Log();
  EXPECT_NE(lines[0].find(" : Start with parameter"), std::string::npos);
  EXPECT_NE(lines[1].find(" : End : 0 copied"), std::string::npos);

  EXPECT_EQ(Run("-M5 -NOMSG missing dst", "LANG=fr_FR.UTF-8 LANGUAGE=de:ja"), 2);
  EXPECT_EQ(err,
            "veldar2: パラメタの指定誤りです。[バックアップするファイル] missing: "
            "そのようなファイルやディレクトリはありません\n"
            "veldar2: バックアップできませんでした (ログ: " +
                dir / "state/VELDAR2/VELDAR2.LOG)\n");
  EXPECT_NE(Log().find(" : パラメタの指定誤りです。[バックアップするファイル]\\nNo such file or directory"),
            std::string::npos)
      << "the log's own line, the same in every language";
}

// The dialog program's batch run: with a display and without -NOMSG a
// refusal is a message box; a SIGTERM (systemd stopping the unit, a
// shutdown) closes it and stops the run as any stop does: status 2,
// "Canceled by User" in the log.
TEST_F(BatchProgramTest, StopSignalClosesAnOpenMessageBox) {
  if (RunCommand("command -v xvfb-run && command -v xwininfo") != 0) GTEST_SKIP() << "needs xvfb-run and xwininfo";
  testing::MakeDirs(dir / "dst");
  const std::string script =
      "env -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM XDG_RUNTIME_DIR='" + dir.path() + "' XDG_CONFIG_HOME='" + dir.path() +
      "/config' XDG_STATE_HOME='" + dir.path() + "/state' LANG=en_US.UTF-8 '" + VELDAR2_GUI_BINARY +
      "' -M3 missing dst 2>stderr.txt & pid=$!\n"
      "i=0; while [ $i -lt 300 ] && ! xwininfo -root -tree | grep -q '\"VELDAR2\"'; do sleep 0.1; i=$((i+1)); done\n"
      "xwininfo -root -tree | grep -q '\"VELDAR2\"' && echo box\n"
      "kill -TERM $pid\n"
      "i=0; while [ $i -lt 100 ] && kill -0 $pid 2>/dev/null; do sleep 0.1; i=$((i+1)); done\n"
      "kill -0 $pid 2>/dev/null && { echo hung; kill -KILL $pid; }\n"
      "wait $pid; echo status $?\n";
  WriteFile(dir / "stop.sh", script);
  std::string output;
  RunCommand("cd '" + dir.path() + "' && xvfb-run -a sh stop.sh", &output);
  EXPECT_EQ(output, "box\nstatus 2\n");
  EXPECT_NE(ReadFile(dir / "stderr.txt").find("veldar2: the backup was cancelled"), std::string::npos)
      << ReadFile(dir / "stderr.txt");
  EXPECT_NE(Log().find(" : Canceled by User"), std::string::npos) << Log();
}

// A backup directory whose name begins with "-" is refused as an unknown
// option, never read as "-M" with a count of 0 (which would mirror the source
// over it); written ./-name or after "--" it is a path.
TEST_F(BatchProgramTest, ADashPathIsAPathOnlyWrittenAsOne) {
  WriteFile(dir / "S/a.txt", "a");
  WriteFile(dir / "-mybackup/S_1/old.txt", "generation");
  EXPECT_EQ(Run("-M3 S -mybackup", "LANG=en_GB.UTF-8"), 2);
  EXPECT_EQ(err,
            "veldar2: unknown option: -mybackup (a path beginning with \"-\" is written "
            "./-mybackup, or after --)\n");
  EXPECT_FALSE(testing::Exists(dir / "state"));
  EXPECT_EQ(testing::ListNames(dir / "-mybackup"), std::vector<std::string>{"S_1"});

  EXPECT_EQ(Run("-M3 S ./-mybackup"), 0) << err;
  EXPECT_EQ(Run("-M3 -- S -mybackup"), 0) << err;
  EXPECT_EQ(testing::ListNames(dir / "-mybackup"), (std::vector<std::string>{"S_1", "S_2", "S_3"}));
  EXPECT_EQ(ReadFile(dir / "-mybackup/S_1/old.txt"), "generation");
}

// With no working file to be had, the run's failure lines go to standard
// error, and its summary does not send the user to the log.
TEST_F(BatchProgramTest, WithoutALogFailuresGoToStandardError) {
  testing::MakeDirs(dir / "state/VELDAR2/VELDAR2.TMP");  // a directory: no working file opens
  testing::MakeDirs(dir / "dst");
  EXPECT_EQ(Run("-NOMSG missing dst", "LANG=en_US.UTF-8"), 2);
  // In the user's language and on one line, not as the log's own line.
  EXPECT_NE(err.find("veldar2: The parameters are wrong: [file or folder to back up] missing: No such file"),
            std::string::npos)
      << err;
  EXPECT_EQ(err.find("\\n"), std::string::npos) << err;
  EXPECT_EQ(err.find("(see "), std::string::npos) << err;
  EXPECT_NE(err.find("could not be opened"), std::string::npos) << err;
}

// Another user (65534) sharing a sticky backup directory with root's runs,
// or the other way round, and a first backup of a tree its user cannot read
// whole. Each case prepares the test directory with shell commands as root,
// runs `-M3 -NOMSG src shared` (as root or as 65534) `runs` + 1 times, with
// `between` done as root before the last run, and checks that run.
TEST_F(BatchProgramTest, SharedBackupDirectoriesAndUnreadableSources) {
  if (geteuid() != 0 || RunCommand("command -v setpriv") != 0) GTEST_SKIP() << "needs root, 65534 and setpriv";
  const std::string nobody = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
  struct Case {
    std::string setup;
    bool asNobody;
    int runs;
    std::string between;
    int status;
    std::string said;                    // in its standard error
    std::string listed, copyOf, copied;  // `ls -A shared`, and of `copyOf` after it
  } cases[] = {
      {nobody + "mkdir shared/.veldar2.lock && " + nobody + "touch shared/.veldar2.lock/theirs", false, 0, "", 2,
       "Something that is not a lock file holds the lock file's name", ".veldar2.lock", ".veldar2.lock", "theirs"},
      {"true", true, 3, "ln -s /etc shared/.src_1.veldar2-old", 0, "", ".src_1.veldar2-old src_1 src_2 src_3", "src_1",
       "a"},
      {"mkdir src/closed && echo s > src/secret && chown 0:0 src/secret && chmod 600 src/secret && chmod 000 "
       "src/closed",
       true, 0, "", 1, "operation(s) failed", "src_1", "src_1", "a"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.setup);
    const std::string here = "cd '" + dir.path() + "' && ", state = dir / (c.asNobody ? "nobody" : "root");
    ASSERT_EQ(RunCommand(here +
                         "chmod 755 . && rm -rf src shared nobody root && mkdir -m 1777 shared && "
                         "install -d -m 700 root && install -d -m 700 -o 65534 nobody && mkdir src && echo a > "
                         "src/a && chown -R 65534:65534 src && " +
                         c.setup),
              0);
    const std::string run = here + (c.asNobody ? nobody : "") + "env -u DISPLAY -u WAYLAND_DISPLAY -u LC_ALL " +
                            "LANG=en_US.UTF-8 XDG_RUNTIME_DIR=" + state + " XDG_CONFIG_HOME=" + state +
                            " XDG_STATE_HOME=" + state + " '" VELDAR2_BINARY "' -M3 -NOMSG src shared";
    for (int i = 0; i < c.runs; ++i) ASSERT_EQ(RunCommand(run + " 2>/dev/null"), 0);
    if (!c.between.empty()) {
      ASSERT_EQ(RunCommand(here + c.between), 0);
    }
    EXPECT_EQ(RunCommand(run + " 2>said"), c.status);
    EXPECT_NE(ReadFile(dir / "said").find(c.said), std::string::npos) << ReadFile(dir / "said");
    std::string listed, copied;
    RunCommand(here + "LC_ALL=C ls -A shared | xargs", &listed);
    RunCommand(here + "LC_ALL=C ls -A -I .veldar2-manifest shared/" + c.copyOf + " | xargs", &copied);
    EXPECT_EQ(listed, c.listed + "\n");
    EXPECT_EQ(copied, c.copied + "\n") << "another's entry stays; what cannot be read is left out";
  }
}

TEST_F(BatchProgramTest, ThreeRunsMakeGenerationsEqualToTheSource) {
  WriteFile(dir / "src/a.txt", "alpha");
  WriteFile(dir / "src/sub/b.bin", std::string(100000, 'b'));
  WriteFile(dir / "src/sub/deeper/c", "");
  testing::MakeDirs(dir / "src/empty");
  ASSERT_EQ(RunCommand("ln -s a.txt '" + dir.path() + "/src/link'"), 0);
  testing::MakeDirs(dir / "dst");

  for (int run = 1; run <= 3; ++run) {
    if (run == 3) {
      WriteFile(dir / "src/a.txt", "alpha changed");
      ASSERT_EQ(::unlink((dir / "src/sub/deeper/c").c_str()), 0);
      WriteFile(dir / "src/new.txt", "new");
    }
    ASSERT_EQ(Run("-M2 src dst"), 0) << err << Log();
  }
  EXPECT_EQ(testing::ListNames(dir / "dst"), (std::vector<std::string>{"src_1", "src_2"}));

  // The newest generation is the one made last; rsync compares it with the
  // source by content, names, types, permissions and times.
  std::string newest;
  RunCommand("cd '" + dir.path() + "/dst' && ls -td src_* | head -n 1 | tr -d '\\n'", &newest);
  std::string changes;
  ASSERT_EQ(RunCommand("rsync -a --dry-run --itemize-changes --checksum --delete --no-t --omit-dir-times "
                       "--exclude=/.veldar2-manifest '" +
                           dir.path() + "/src/' '" + dir.path() + "/dst/" + newest + "/'",
                       &changes),
            0);
  EXPECT_EQ(changes, "") << "newest generation " << newest << " differs from the source";
  std::string times;
  ASSERT_EQ(RunCommand("rsync -a --dry-run --itemize-changes '" + dir.path() + "/src/' '" + dir.path() + "/dst/" +
                           newest + "/' | grep -v '^\\.d' || true",
                       &times),
            0);
  EXPECT_EQ(times, "") << "file times differ";

  EXPECT_NE(Settings().find("LASTFILE=src"), std::string::npos) << Settings();
  EXPECT_NE(Settings().find("LASTDIR=dst"), std::string::npos) << Settings();
  EXPECT_NE(Log().find("File Copied : src/a.txt to dst/"), std::string::npos) << Log();
}

TEST_F(BatchProgramTest, FileSourceRotatesItsGenerationFiles) {
  testing::MakeDirs(dir / "dst");
  for (int run = 1; run <= 4; ++run) {
    WriteFile(dir / "report.tar.gz", "version " + std::to_string(run));
    ASSERT_EQ(Run("-M3 report.tar.gz dst"), 0) << err;
  }
  // Three generations, each with its manifest beside it; the fourth run
  // overwrote the oldest, which is now the newest.
  EXPECT_EQ(testing::ListNames(dir / "dst"),
            (std::vector<std::string>{".report_1.tar.gz_.veldar2-manifest", ".report_2.tar.gz_.veldar2-manifest",
                                      ".report_3.tar.gz_.veldar2-manifest", "report_1.tar.gz_", "report_2.tar.gz_",
                                      "report_3.tar.gz_"}));
  std::string newest;
  RunCommand("cd '" + dir.path() + "/dst' && ls -t | head -n 1 | tr -d '\\n'", &newest);
  EXPECT_EQ(ReadFile(dir / ("dst/" + newest)), "version 4");
  EXPECT_EQ(ReadFile(dir / "dst/report_1.tar.gz_"), "version 4");
}

// Patterns that leave no file of the source refuse the run as an empty
// source does, the dry run too, before any generation is touched.
TEST_F(BatchProgramTest, ExcludesThatLeaveNothingAreRefusedAsAnEmptySource) {
  WriteFile(dir / "src/a.txt", "alpha");
  WriteFile(dir / "src/sub/b.txt", "beta");
  testing::MakeDirs(dir / "dst");
  ASSERT_EQ(Run("-M3 src dst"), 0) << err;
  for (const char* pattern : {"*", "**", "/**", "*.txt"}) {
    const std::string option = std::string(" '-X") + pattern + "' ";
    for (const char* flags : {"-M3 -NOMSG", "-DRYRUN -M3"}) {
      EXPECT_EQ(Run(flags + option + "src dst", "LANG=en_US.UTF-8"), 2) << flags << option;
      EXPECT_NE(
          err.find(std::string("No file of the folder to back up is left after the exclude patterns: ") + pattern),
          std::string::npos)
          << err;
    }
  }
  EXPECT_EQ(testing::ListNames(dir / "dst"), std::vector<std::string>{"src_1"});
  EXPECT_EQ(ReadFile(dir / "dst/src_1/sub/b.txt"), "beta");
}

// Side by side with rsync -a --delete --exclude, from the same copy: the
// same tree where the patterns match what rsync's match, and where a
// directory of the copy that holds what they keep stands where the source
// now has a file (rsync cannot make way for it either, and exits 23). Where
// the patterns keep that directory itself, rsync replaces it; here it stays
// and the run fails. Never a silent success.
TEST_F(BatchProgramTest, ExcludesLeaveWhatRsyncLeaves) {
  const struct {
    const char* pattern;
    std::vector<std::string> source, copy;
    int status;
    bool sameAsRsync;
  } cases[] = {
      {"x/**", {"x/in", "x/sub/deep", "y/x"}, {}, 0, true},
      {"k[12]", {"k1", "k2", "k3", "k[12]"}, {}, 0, true},
      {"k[!1-2]", {"k1", "k3", "ka"}, {}, 0, true},
      {"k[]a]", {"k]", "ka", "kb"}, {}, 0, true},
      {"[[:digit:]]*", {"1a", "a1"}, {}, 0, true},
      {"*.tmp", {"n"}, {"n/ab", "n/x.tmp"}, 1, true},
      {"x/", {"x"}, {"x/in"}, 1, false},
  };
  for (const auto& c : cases) {
    const std::string i = std::to_string(&c - cases), s = "s" + i, d = "d" + i, r = "r" + i;
    for (const std::string& name : c.source) WriteFile(dir / (s + "/" + name), name);
    for (const std::string& name : c.copy) WriteFile(dir / (d + "/" + name), "old");
    testing::MakeDirs(dir / d);
    ASSERT_EQ(RunCommand("cd '" + dir.path() + "' && cp -a " + d + " " + r), 0);
    const std::string option = std::string("'-X") + c.pattern + "' ";

    EXPECT_EQ(Run("-DRYRUN -M1 " + option + s + " " + d), 0) << c.pattern << err;
    const bool blocked = err.find("what is there is kept by the exclude patterns") != std::string::npos;
    EXPECT_EQ(blocked, c.status == 1) << c.pattern << err;
    EXPECT_EQ(out.find("exclude n\n"), std::string::npos) << out;

    EXPECT_EQ(Run("-M1 -NOMSG " + option + s + " " + d), c.status) << c.pattern << err;
    RunCommand("cd '" + dir.path() + "' && rsync -a --delete '--exclude=" + c.pattern + "' " + s + "/ " + r +
               "/ 2>/dev/null");
    std::string changes;
    RunCommand("cd '" + dir.path() +
                   "' && rsync -rlc --dry-run --itemize-changes --delete --exclude=.veldar2.lock "
                   "--exclude=/.veldar2-manifest " +
                   r + "/ " + d + "/",
               &changes);
    EXPECT_EQ(changes.empty(), c.sameAsRsync) << c.pattern << ": " << changes;
  }
  EXPECT_EQ(ReadFile(dir / "d6/x/in"), "old");
  EXPECT_EQ(testing::ListNames(dir / "d5/n"), std::vector<std::string>{"x.tmp"});
}

}  // namespace
}  // namespace veldar
