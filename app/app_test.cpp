#include "app/app.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <mutex>
#include <regex>
#include <set>
#include <sstream>

#include "app/progress_line.h"
#include "engine/manifest.h"
#include "engine/verify_marks.h"
#include "res/translation.h"
#include "testing/fake_environment.h"
#include "testing/fault_injector.h"
#include "tests/test_util.h"

namespace veldar {
namespace {

using testing::Exists;
using testing::ReadFile;

// Records every notification: its title and its text.
struct RecordingNotifier : Notifier {
  bool NotifyFailure(const std::string& summary, const std::string& body) override {
    told.push_back(summary);
    bodies.push_back(body);
    return true;
  }
  std::vector<std::string> told, bodies;
};

class AppTest : public ::testing::Test {
 protected:
  // The command line as a shell splits it, options written with '-'; the
  // Windows command line is tested beside the parameter text.
  AppTest() {
    environment.logDirOverride = dir / "state/";
    app.optionChar = '-';
  }
  int Run(const std::vector<std::string>& arguments) {
    out.str("");
    err.str("");
    return app.InitInstance(arguments, out, err);
  }
  std::string Log() { return ReadFile(environment.logDirOverride + "VELDAR2.LOG"); }
  std::string NotFoundText() { return real->ErrorText(real->Error(ErrorKind::kNotFound)); }
  // A batch run in `language` where no box can be shown: its messages go to
  // standard error, which it returns, as its exit status goes to `*status`.
  std::string RunWithoutABox(Language language, const std::vector<std::string>& arguments, int* status) {
    std::ostringstream stderrText;
    StreamMessages noBox(stderrText, language);
    CVELDAR2App batch(fault, noBox, settings);
    batch.optionChar = '-';
    batch.language = language;
    batch.standardErrorMessages = &noBox;
    *status = batch.InitInstance(arguments, out, stderrText);
    return stderrText.str();
  }

  testing::TempDir dir;
  std::unique_ptr<Os> real = MakeSystemOs();
  FakeEnvironment environment{*real};
  FaultInjector fault{environment};
  testing::RecordingMessages messages;
  testing::MemorySettings settings;
  CVELDAR2App app{fault, messages, settings};
  std::ostringstream out, err;
};

// A stop asked of the batch run (what Ctrl-C and SIGTERM do) while it copies:
// status 2, the summary says so, the log holds the line and is closed.
TEST_F(AppTest, StoppedBatchRunExitsWithTwo) {
  testing::WriteFile(dir / "src/a.txt", "a");
  testing::WriteFile(dir / "src/big.bin", std::string(9 << 20, 'b'));
  testing::MakeDirs(dir / "dst");
  std::vector<bool> batchRun;
  app.onBatchRun = [&](bool running) {
    batchRun.push_back(running);
    if (running) app.batchProgress.RequestCancel();
  };
  app.language = Language::kEnglish;
  EXPECT_EQ(Run({"-M2", dir / "src", dir / "dst"}), kExitFailure);
  EXPECT_EQ(batchRun, (std::vector<bool>{true, false}));
  EXPECT_EQ(err.str(),
            "veldar2: the backup was cancelled: no generation was replaced, and the next run carries on (see " +
                environment.logDirOverride + "VELDAR2.LOG)\n");
  EXPECT_NE(Log().find(CVELDAR2Engine::kCanceledLine), std::string::npos);
  EXPECT_FALSE(Exists(dir / "dst/src_1"));
}

// A stop once the new generation is complete, while the old copy it
// replaces is deleted: the generation stays, and the run still exits 2.
TEST_F(AppTest, StopDuringTheOldCopysDeletionExitsWithTwo) {
  testing::WriteFile(dir / "src/b.txt", "b");
  testing::MakeDirs(dir / "dst");
  app.language = Language::kEnglish;
  fault.onCall = [&](const FaultInjector::Call& call) {
    if (call.op == OsOp::DeleteFile && call.path.find(".src_1.veldar2-") != std::string::npos) {
      app.batchProgress.RequestCancel();
    }
  };
  for (const std::string content : {"1", "2", "3"}) {
    testing::WriteFile(dir / "src/a.txt", content);
    EXPECT_EQ(Run({"-M2", dir / "src", dir / "dst"}), content == "3" ? kExitFailure : kExitSuccess);
  }
  EXPECT_EQ(err.str(),
            "veldar2: the backup was cancelled once the new generation was complete: the next run "
            "deletes the old copy (see " +
                environment.logDirOverride + "VELDAR2.LOG)\n");
  EXPECT_EQ(ReadFile(dir / "dst/src_1/a.txt"), "3");
}

TEST(UsageTest, EnglishUsageHasNoJapanese) {
  const std::string english = UsageText('-', Language::kEnglish);
  EXPECT_EQ(english.rfind("Usage: veldar2 [-Mcount]", 0), 0u);
  EXPECT_EQ(english.find("\xe3"), std::string::npos) << "no Japanese in the English usage";
}

TEST_F(AppTest, HelpAndVersionAnswerWithoutReadingOrLogging) {
  settings.values["SETTINGS/DEFALUTFILES"] = "9";
  EXPECT_EQ(Run({"--help"}), kExitSuccess);
  EXPECT_EQ(out.str().rfind("使い方: veldar2", 0), 0u);
  EXPECT_EQ(Run({"-M3", "a", "--version"}), kExitSuccess);
  EXPECT_EQ(out.str(), "VELDAR2 2.00\n");
  EXPECT_EQ(Run({"-h"}), kExitSuccess);
  EXPECT_EQ(app.engine.generationCount, 0) << "settings were read";
  EXPECT_FALSE(Exists(environment.logDirOverride));
}

// A path taken for an option would be dropped, or read as "-M" with a count
// of 0 that mirrors the source over the stored backup directory and its
// generations.
TEST_F(AppTest, UnknownOptionIsRefusedBeforeAnythingIsRead) {
  settings.values["SETTINGS/DEFALUTFILES"] = "9";
  settings.values["SETTINGS/LASTDIR"] = dir / "dst";
  testing::WriteFile(dir / "src/a", "a");
  testing::WriteFile(dir / "dst/src_1/kept", "generation");
  EXPECT_EQ(Run({"-M3", dir / "src", "-mybackup"}), kExitFailure);
  EXPECT_EQ(
      err.str(),
      "veldar2: 不明なオプションです: -mybackup（「-」で始まるパスは ./-mybackup と書くか、-- のあとに書きます）\n");
  app.language = Language::kEnglish;
  EXPECT_EQ(Run({"-M3", dir / "src", "-mybackup"}), kExitFailure);
  EXPECT_EQ(err.str(),
            "veldar2: unknown option: -mybackup (a path beginning with \"-\" is written "
            "./-mybackup, or after --)\n");
  EXPECT_EQ(app.engine.generationCount, 0) << "settings were read";
  EXPECT_FALSE(Exists(environment.logDirOverride));
  EXPECT_EQ(ReadFile(dir / "dst/src_1/kept"), "generation");
}

// A name or a typed path reaches the terminal as the log writes it: an
// escape sequence in it (a window title, a cleared screen, a C1 control)
// is written as text, wherever the program shows it.
TEST_F(AppTest, ControlCharactersInNamesReachNoTerminalRaw) {
  const std::string hostile = "n\x1b]0;owned\x07\x1b[2J\xc2\x9b";
  const std::string escaped = "n\\x1b]0;owned\\x07\\x1b[2J\\u009b";
  RecordingNotifier notifier;
  const auto errOf = [&](std::vector<std::string> arguments) {
    Run(arguments);
    return err.str();
  };
  const struct {
    const char* name;
    bool namesOnDisk;  // Windows names hold no control character
    std::function<std::string()> written;
  } cases[] = {
      {"a typed source", false,
       [&] {
         return errOf({"-M3", dir / hostile, dir / "dst"});
       }},
      {"an unknown option", false,
       [&] {
         return errOf({"-M3", "-" + hostile, dir / "dst"});
       }},
      {"a path not used", false,
       [&] {
         return errOf({"-M3", dir / "src", dir / hostile, dir / "dst"});
       }},
      {"the restore of a missing generation", true,
       [&] {
         testing::MakeDirs(dir / (hostile + "/src_1"));
         const std::string text = errOf({"-RESTORE5", dir / "src", dir / hostile, dir / "rest"});
         std::filesystem::remove_all(dir / (hostile + "/src_1"));
         return text;
       }},
      {"a refusal the log cannot take", false,
       [&] {
         settings.values["SETTINGS/LOGSIZE"] = "0";
         const std::string text = errOf({"-M3", "-NOMSG", dir / hostile, dir / "dst"});
         settings.values.erase("SETTINGS/LOGSIZE");
         return text;
       }},
      {"the desktop notification", false,
       [&] {
         app.notifier = &notifier;
         Run({"-M3", dir / hostile, dir / "dst"});
         app.notifier = nullptr;
         return notifier.bodies.at(0);
       }},
      {"the progress line", false,
       [&] {
         RunProgress progress;
         progress.FileStarted(dir / hostile);
         std::mutex stream;
         std::ostringstream line;
         ProgressLineWriter(line, progress, 200, stream, Language::kEnglish).Stop();
         return line.str();
       }},
      {"the dry run", true,
       [&] {
         testing::WriteFile(dir / ("src/" + hostile), "x");
         Run({"-DRYRUN", "-M3", dir / "src", dir / "dst"});
         return out.str();
       }},
      {"the list", true,
       [&] {
         testing::MakeDirs(dir / hostile);
         testing::WriteFile(dir / ("dst/" + hostile + "_1/a"), "a");
         Run({"-LIST", dir / hostile, dir / "dst"});
         return out.str();
       }},
  };
  testing::WriteFile(dir / "src/a", "a");
  testing::MakeDirs(dir / "dst");
  for (const auto& c : cases) {
#ifdef _WIN32
    if (c.namesOnDisk) continue;
#endif
    const std::string written = c.written();
    EXPECT_NE(written.find(escaped), std::string::npos) << c.name << ": " << written;
    for (const char* raw : {"\x1b", "\x07", "\xc2\x9b"})
      EXPECT_EQ(written.find(raw), std::string::npos) << c.name << ": " << written;
  }
}

// A start refused while its parameters are read fails as a missing source
// does, and is told to the desktop as that is where no terminal watches.
TEST_F(AppTest, RefusedParametersAreNotifiedWhereNoTerminalWatches) {
  RecordingNotifier notifier;
  app.notifier = &notifier;
  app.language = Language::kEnglish;
  const struct {
    std::vector<std::string> arguments;
    const char* reason;  // the start of the refusal
  } cases[] = {
      {{"-M3", "-mybackup", "dst"}, "unknown option: -mybackup"},
      {{"-M3", "-Xa//b", "src", "dst"}, "exclude pattern \"a//b\" cannot be used"},
      {{"-M3", "-X", "src", "dst"}, "-X is followed by a pattern"},
      {{"-M3", "sr\"c", "dst"}, "a path with a double quote"},
      {{"-JSON", "src", "dst"}, "-JSON is used with -LIST"},
  };
  for (const bool terminal : {false, true}) {
    app.standardOutputIsTerminal = terminal;
    for (const auto& c : cases) {
      notifier.told.clear();
      notifier.bodies.clear();
      EXPECT_EQ(Run(c.arguments), kExitFailure) << c.reason;
      EXPECT_EQ(err.str().rfind(std::string("veldar2: ") + c.reason, 0), 0u) << err.str();
      if (terminal) {
        EXPECT_TRUE(notifier.told.empty()) << c.reason;
        continue;
      }
      EXPECT_EQ(notifier.told, std::vector<std::string>{"Veldar: the parameters are wrong; nothing was done"})
          << c.reason;
      EXPECT_EQ(notifier.bodies.at(0).rfind(c.reason, 0), 0u) << notifier.bodies.at(0);
    }
  }
}

// Under an English locale every line on standard error is English and one
// line: the restore's refusal, and a refusal or a lock failure the log could
// not take (told once, in the user's words, not as the log's line).
TEST_F(AppTest, EnglishLocaleGetsEnglishLines) {
  app.language = Language::kEnglish;
  testing::WriteFile(dir / "src/a", "a");
  testing::WriteFile(dir / "dst/src_1/a", "a");
  const struct {
    const char* name;
    std::vector<std::string> arguments;
    std::function<void()> setUp;
    const char* said;  // a line of what standard error holds
  } cases[] = {
      {"restore onto a link",
       {"-RESTORE1", dir / "src", dir / "dst", dir / "rest"},
       [&] {
         testing::MakeDirs(dir / "rest");
         std::filesystem::create_symlink(dir / "src", dir / "rest/src");
       },
       "is on the name restored to. Nothing was changed."},
      {"refusal, log size 0",
       {"-M3", "-NOMSG", dir / "missing", dir / "dst"},
       [&] { settings.values["SETTINGS/LOGSIZE"] = "0"; },
       "The parameters are wrong: [file or folder to back up] "},
      {"dry run refusal",
       {"-DRYRUN", "-M3", "-NOMSG", dir / "missing", dir / "dst"},
       [] {},
       "The parameters are wrong: [file or folder to back up]"},
      {"lock held, log size 0",
       {"-M3", "-NOMSG", dir / "src", dir / "dst"},
       [&] {
         settings.values["SETTINGS/LOGSIZE"] = "0";
         fault.FailAt(OsOp::Lock, "", real->Error(ErrorKind::kLocked));
       },
       "Another backup or restore is using the folder written to."},
  };
  for (const auto& c : cases) {
#ifdef _WIN32
    if (std::string(c.name) == "restore onto a link") continue;  // Wine makes no links
#endif
    fault.ClearRules();
    settings.values.erase("SETTINGS/LOGSIZE");
    c.setUp();
    EXPECT_EQ(Run(c.arguments) == kExitSuccess, false) << c.name;
    const std::string said = err.str();
    EXPECT_NE(said.find(c.said), std::string::npos) << c.name << ": " << said;
    EXPECT_EQ(said.find("\xe3"), std::string::npos) << c.name << ": no Japanese in " << said;
    EXPECT_EQ(said.find("\\n"), std::string::npos) << c.name << ": a log line in " << said;
    EXPECT_EQ(said.find(c.said), said.rfind(c.said)) << c.name << ": told twice in " << said;
  }
}

// Each language's usage is whole in that language: the Japanese one does
// not repeat the English block.
TEST(UsageTest, JapaneseUsageIsJapaneseOnly) {
  for (const char optionChar : {'-', '/'}) {
    const std::string japanese = UsageText(optionChar, Language::kJapanese);
    EXPECT_EQ(japanese.rfind("使い方: veldar2", 0), 0u);
    for (const char* english : {"Usage:", "SOURCE", "file or directory to back up", "exit status", "this text"})
      EXPECT_EQ(japanese.find(english), std::string::npos) << english;
  }
}

TEST_F(AppTest, NoParametersWithoutDialogPrintsUsageAndFails) {
  EXPECT_EQ(Run({}), kExitFailure);
  EXPECT_NE(out.str().find("使い方"), std::string::npos);
  EXPECT_FALSE(Exists(environment.logDirOverride));
}

TEST_F(AppTest, NoParametersShowsTheDialogOnTheLoadedEngine) {
  settings.values["SETTINGS/LASTFILE"] = "/docs";
  std::string seen;
  app.showMainDialog = [&](CVELDAR2Engine& engine) {
    seen = engine.sourcePath;
    return 0;
  };
  EXPECT_EQ(Run({}), kExitSuccess);
  EXPECT_EQ(seen, "/docs");
}

TEST_F(AppTest, AnOpenInstanceStopsEveryStartBeforeAnythingIsRead) {
  int asked = 0;
  app.findRunningInstance = [&] {
    ++asked;
    return false;
  };
  settings.values["SETTINGS/DEFALUTFILES"] = "9";
  // A batch start says why it did nothing: a scheduled run would otherwise
  // end without a word.
  EXPECT_EQ(Run({"-M2", "/nonexistent", "/x"}), kExitOtherInstance);
  EXPECT_EQ(err.str(),
            "veldar2: Veldar のウィンドウが開いているため、何もしませんでした（閉じてからやり直してください）\n");
  app.language = Language::kEnglish;
  EXPECT_EQ(Run({"-M2", "/nonexistent", "/x"}), kExitOtherInstance);
  EXPECT_EQ(err.str(), "veldar2: a Veldar window is open, so nothing was done (close it and start again)\n");
  EXPECT_EQ(Run({}), kExitSuccess);
  EXPECT_EQ(err.str(), "");
  EXPECT_EQ(asked, 3);
  EXPECT_EQ(app.engine.generationCount, 0);
  EXPECT_FALSE(Exists(environment.logDirOverride));
  EXPECT_TRUE(messages.shown.empty());
}

TEST_F(AppTest, MissingSourceIsRefusedWithAMessageAndStatus2) {
  testing::MakeDirs(dir / "dst");
  EXPECT_EQ(Run({"-M5", "-NODEL", dir / "missing", dir / "dst"}), kExitFailure);
  ASSERT_EQ(messages.shown.size(), 1u);
  EXPECT_EQ(messages.shown[0], "パラメタの指定誤りです。[バックアップするファイル]\n" + NotFoundText());
  // The log holds only the run's start and end: the summary does not send the user there.
  EXPECT_EQ(err.str(), "veldar2: パラメタの指定誤りです。[バックアップするファイル] " + dir / "missing" + ": " +
                           TranslateReason(Language::kJapanese, NotFoundText()) +
                           "\nveldar2: バックアップできませんでした\n");
  const auto lines = testing::Lines(Log());
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[0].find(" : Start with parameter"), std::string::npos);
  EXPECT_NE(lines[1].find(" : End : 0 copied, 0 shared, 0 deleted, 0 failed, 0 bytes, 0:00"), std::string::npos);
  EXPECT_TRUE(settings.writes.empty()) << "a failed run stores no paths";
}

TEST_F(AppTest, NoMsgSendsThePreCheckMessageToTheLog) {
  EXPECT_EQ(Run({"-NOMSG", dir / "missing", dir.path()}), kExitFailure);
  EXPECT_TRUE(messages.shown.empty());
  const auto lines = testing::Lines(Log());
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_NE(lines[1].find("パラメタの指定誤りです。[バックアップするファイル]\\n" + NotFoundText()), std::string::npos);
}

// Without a log the run's failure lines go to standard error, each told once
// (the one the run reports with the system's reason), and nothing sends the
// user to a log that does not hold them.
TEST_F(AppTest, FailuresTheLogCannotTakeGoToStandardError) {
  testing::WriteFile(dir / "src/a", "a");
  testing::MakeDirs(dir / "dst");
  const std::string tmp = environment.logDirOverride + "VELDAR2.TMP";
  const Status denied = real->Error(ErrorKind::kAccessDenied);
  // The last failure, with the system's reason.
  const std::string copyFailed =
      "veldar2: File Copy Failed : " + dir / "src/a to " + dir / "dst/a: " + real->ErrorText(denied) + "\n";
  struct Case {
    const char* name;
    std::vector<std::string> arguments;
    bool logOpens;
    const char* logSize;
    int status;
    std::string stderrText;
  } cases[] = {
      {"refused, no log",
       {"-NOMSG", dir / "missing", dir / "dst"},
       false,
       "500",
       kExitFailure,
       "veldar2: The parameters are wrong: [file or folder to back up] " + dir / "missing" + ": " + NotFoundText() +
           "\n"
           "veldar2: the backup failed or was refused (not in the log: " +
           environment.logDirOverride + "VELDAR2.LOG could not be opened or written)\n"},
      {"copy failed, no log",
       {"-M1", "-NOMSG", dir / "src", dir / "dst"},
       false,
       "500",
       kExitPartialFailure,
       copyFailed + "veldar2: the backup finished, but 1 operation(s) failed (not in the log: " +
           environment.logDirOverride + "VELDAR2.LOG could not be opened or written)\n"},
      {"copy failed, logged",
       {"-M1", "-NOMSG", dir / "src", dir / "dst"},
       true,
       "500",
       kExitPartialFailure,
       copyFailed + "veldar2: the backup finished, but 1 operation(s) failed (see " + environment.logDirOverride +
           "VELDAR2.LOG)\n"},
      // A log of size 0 keeps nothing: the reasons go to standard error.
      {"copy failed, log size 0",
       {"-M1", "-NOMSG", dir / "src", dir / "dst"},
       true,
       "0",
       kExitPartialFailure,
       copyFailed + "veldar2: the backup finished, but 1 operation(s) failed (the log size limit is 0: no log "
                    "is kept)\n"},
      {"refused, log size 0",
       {"-NOMSG", dir / "missing", dir / "dst"},
       true,
       "0",
       kExitFailure,
       "veldar2: The parameters are wrong: [file or folder to back up] " + dir / "missing" + ": " + NotFoundText() +
           "\n"
           "veldar2: the backup failed or was refused (the log size limit is 0: no log is kept)\n"},
  };
  app.language = Language::kEnglish;
  for (const auto& c : cases) {
    fault.ClearRules();
    fault.FailAt(OsOp::CopyFile, "", denied);
    fault.FailAt(OsOp::StageCopy, "", denied);
    if (!c.logOpens) fault.FailAt(OsOp::OpenExclusive, tmp, real->Error(ErrorKind::kLocked));
    settings.values["SETTINGS/LOGSIZE"] = c.logSize;
    EXPECT_EQ(Run(c.arguments), c.status) << c.name;
    EXPECT_EQ(err.str(), c.stderrText) << c.name;
  }
  EXPECT_TRUE(messages.shown.empty());
}

// Without a box (no display), a refusal or a failure says on standard error,
// in the user's language, what it is about and the system's reason; the
// summary sends the user to the log only where the log holds the reason.
TEST_F(AppTest, RefusalsAndFailuresNameThePathAndTheReason) {
  testing::WriteFile(dir / "src/a", "a");
  testing::MakeDirs(dir / "dst");
  const std::string log = environment.logDirOverride + "VELDAR2.LOG";
  const Status denied = real->Error(ErrorKind::kAccessDenied);
  const std::string working = dir / "dst/.src.veldar2-new";
  struct Case {
    const char* name;
    Language language;
    std::vector<std::string> arguments;
    bool denyWorkingDir;
    std::string stderrText;
  } cases[] = {
      {"missing source",
       Language::kEnglish,
       {"-M3", dir / "missing", dir / "dst"},
       false,
       "veldar2: The parameters are wrong: [file or folder to back up] " + dir / "missing" + ": " + NotFoundText() +
           "\nveldar2: the backup failed or was refused\n"},
      {"missing source, Japanese",
       Language::kJapanese,
       {"-M3", dir / "missing", dir / "dst"},
       false,
       "veldar2: パラメタの指定誤りです。[バックアップするファイル] " + dir / "missing" + ": " +
           TranslateReason(Language::kJapanese, NotFoundText()) + "\nveldar2: バックアップできませんでした\n"},
      {"missing source, -NOMSG: logged",
       Language::kEnglish,
       {"-M3", "-NOMSG", dir / "missing", dir / "dst"},
       false,
       "veldar2: The parameters are wrong: [file or folder to back up] " + dir / "missing" + ": " + NotFoundText() +
           "\nveldar2: the backup failed or was refused (see " + log + ")\n"},
      {"missing backup directory",
       Language::kEnglish,
       {"-M3", dir / "src", dir / "nowhere"},
       false,
       "veldar2: The parameters are wrong: [folder written to] " + dir / "nowhere" + ": " + NotFoundText() +
           "\nveldar2: the backup failed or was refused\n"},
      {"backup directory not writable",
       Language::kEnglish,
       {"-M3", dir / "src", dir / "dst"},
       true,
       "veldar2: ERROR MKDIR " + working + ": " + real->ErrorText(denied) +
           "\nveldar2: the backup failed or was refused (see " + log + ")\n"},
      {"backup directory not writable, -NOMSG",
       Language::kJapanese,
       {"-M3", "-NOMSG", dir / "src", dir / "dst"},
       true,
       "veldar2: ERROR MKDIR " + working + ": " + TranslateReason(Language::kJapanese, real->ErrorText(denied)) +
           "\nveldar2: バックアップできませんでした (ログ: " + log + ")\n"},
  };
  for (const Case& c : cases) {
    fault.ClearRules();
    if (c.denyWorkingDir) fault.FailAt(OsOp::CreateDir, ".src.veldar2-new", denied);
    int status = 0;
    EXPECT_EQ(RunWithoutABox(c.language, c.arguments, &status), c.stderrText) << c.name;
    EXPECT_EQ(status, kExitFailure) << c.name;
  }
  const auto lines = testing::Lines(Log());
  ASSERT_GE(lines.size(), 2u);
  EXPECT_NE(lines[lines.size() - 2].find(" : Directory Create Failed : " + working +
                                         " : ERR= " + std::to_string(denied.code())),
            std::string::npos)
      << "the log's own line stays as it was";
}

// The system's reason for a refusal or a failure is told on standard error
// in the program's language, whatever the C library's locale; the log keeps
// the system's own text, the same for every reader.
TEST_F(AppTest, SystemReasonsOnStandardErrorAreInTheUsersLanguage) {
  testing::WriteFile(dir / "src/a", "a");
  testing::MakeDirs(dir / "dst");
  const Status denied = real->Error(ErrorKind::kAccessDenied);
  const std::string notFound = NotFoundText(), notAllowed = real->ErrorText(denied);
  const std::string notFoundJa = TranslateReason(Language::kJapanese, notFound);
  const std::string notAllowedJa = TranslateReason(Language::kJapanese, notAllowed);
  ASSERT_NE(notFoundJa, notFound);
  ASSERT_NE(notAllowedJa, notAllowed);
  const std::string refusedJa = "veldar2: パラメタの指定誤りです。[バックアップするファイル] " + dir / "missing" + ": ";
  const std::string refusedEn =
      "veldar2: The parameters are wrong: [file or folder to back up] " + dir / "missing" + ": ";
  const std::string mkdir = "veldar2: ERROR MKDIR " + dir / "dst/.src.veldar2-new" + ": ";
  struct Case {
    const char* name;
    Language language;
    std::vector<std::string> arguments;
    std::string firstLine;  // on standard error
    std::string logged;     // what the log holds of it; empty: nothing
  } cases[] = {
      {"refused, Japanese", Language::kJapanese, {"-M3", dir / "missing", dir / "dst"}, refusedJa + notFoundJa, ""},
      {"refused, Japanese, -NOMSG",
       Language::kJapanese,
       {"-M3", "-NOMSG", dir / "missing", dir / "dst"},
       refusedJa + notFoundJa,
       "[バックアップするファイル]\\n" + notFound},
      {"refused, English", Language::kEnglish, {"-M3", dir / "missing", dir / "dst"}, refusedEn + notFound, ""},
      {"refused, English, -NOMSG",
       Language::kEnglish,
       {"-M3", "-NOMSG", dir / "missing", dir / "dst"},
       refusedEn + notFound,
       "[バックアップするファイル]\\n" + notFound},
      {"failed, Japanese",
       Language::kJapanese,
       {"-M3", "-NOMSG", dir / "src", dir / "dst"},
       mkdir + notAllowedJa,
       " : ERR= " + std::to_string(denied.code())},
      {"failed, English",
       Language::kEnglish,
       {"-M3", "-NOMSG", dir / "src", dir / "dst"},
       mkdir + notAllowed,
       " : ERR= " + std::to_string(denied.code())},
  };
  fault.FailAt(OsOp::CreateDir, ".src.veldar2-new", denied);
  for (const Case& c : cases) {
    const std::size_t logged = Log().size();
    int status = 0;
    EXPECT_EQ(testing::Lines(RunWithoutABox(c.language, c.arguments, &status)).at(0), c.firstLine) << c.name;
    EXPECT_EQ(status, kExitFailure) << c.name;
    const std::string log = Log().substr(logged);
    if (!c.logged.empty()) {
      EXPECT_NE(log.find(c.logged), std::string::npos) << c.name << ": " << log;
    }
    EXPECT_EQ(log.find(notFoundJa), std::string::npos) << c.name << ": " << log;
    EXPECT_EQ(log.find(notAllowedJa), std::string::npos) << c.name << ": " << log;
  }
}

// Each failure's line is made from its status, in its operation's form
// (" : ERR= " for a directory not made), and a run's last failures reach
// standard error, one line each with the system's reason, before what the
// run told last and the summary.
TEST_F(AppTest, SeveralFailuresReachStandardErrorEachWithItsReason) {
  testing::WriteFile(dir / "src/a", "a");
  testing::WriteFile(dir / "src/b", "b");
  testing::MakeDirs(dir / "src/sub");
  testing::MakeDirs(dir / "dst");
  const std::string working = dir / "dst/.src.veldar2-new";
  struct Case {
    OsOp op;
    const char* name;
    ErrorKind kind;
    std::string line;  // logged, up to the code
  } cases[] = {
      {OsOp::CopyFile, "a", ErrorKind::kAccessDenied,
       "File Copy Failed : " + dir / "src/a" + " to " + dir / "dst/.src.veldar2-new/a" + " : ERR = "},
      {OsOp::CopyFile, "b", ErrorKind::kNoSpace,
       "File Copy Failed : " + dir / "src/b" + " to " + dir / "dst/.src.veldar2-new/b" + " : ERR = "},
      {OsOp::CreateDir, "sub", ErrorKind::kReadOnlyFileSystem,
       "Directory Create Failed : " + dir / "dst/.src.veldar2-new/sub" + " : ERR= "},
  };
  for (const Case& c : cases) fault.FailAt(c.op, c.name, real->Error(c.kind));
  int status = 0;
  const std::vector<std::string> told =
      testing::Lines(RunWithoutABox(Language::kEnglish, {"-M3", "-NOMSG", dir / "src", dir / "dst"}, &status));
  EXPECT_EQ(status, kExitFailure);  // the copy is incomplete
  const std::vector<std::string> logged = testing::Lines(Log());
  for (const Case& c : cases) {
    const Status failure = real->Error(c.kind);
    const std::string line = " : " + c.line + std::to_string(failure.code());
    EXPECT_EQ(std::count_if(logged.begin(), logged.end(), [&](const std::string& l) { return l.ends_with(line); }), 1)
        << line;
    const std::string described =
        "veldar2: " + c.line.substr(0, c.line.rfind(" : ERR")) + ": " + real->ErrorText(failure);
    EXPECT_EQ(std::count(told.begin(), told.end(), described), 1) << described;
  }
  ASSERT_EQ(told.size(), std::size(cases) + 2);
  EXPECT_EQ(told[std::size(cases)].rfind("veldar2: Copy incomplete, no generation replaced : " + working + ": ", 0),
            0u);
}

// Paths beyond the second: the first is the source, the last the backup
// directory, and standard error names the ones not used (the log too, with
// -NOMSG). "-M 3" makes the 3 a path as well.
TEST_F(AppTest, PathsBeyondTheSecondAreNamedAsNotUsed) {
  testing::WriteFile(dir / "a/x", "x");
  testing::WriteFile(dir / "b/y", "y");
  testing::MakeDirs(dir / "dst");
  EXPECT_EQ(Run({"-M3", dir / "a", dir / "b", dir / "dst"}), kExitSuccess) << err.str();
  EXPECT_EQ(err.str(), "veldar2: パスが 3 個あります。最初の \"" + dir / "a" +
                           "\" をバックアップするファイル、最後の \"" + dir / "dst" +
                           "\" を書き込むディレクトリとし、次のパスは使いません: \"" + dir / "b" + "\"\n");
  EXPECT_TRUE(Exists(dir / "dst/a_1/x"));
  EXPECT_FALSE(Exists(dir / "dst/b_1"));
  EXPECT_EQ(Log().find("Not Used"), std::string::npos) << "logged only with -NOMSG";

  app.language = Language::kEnglish;
  EXPECT_EQ(Run({"-NOMSG", "-M", "3", dir / "a", dir / "b", dir / "dst"}), kExitFailure);
  EXPECT_EQ(err.str().substr(0, err.str().find('\n') + 1),
            "veldar2: 4 paths were given: the first (\"3\") is the source, the last (\"" + dir / "dst" +
                "\") the backup directory; not used: \"" + dir / "a" + "\", \"" + dir / "b" + "\"\n");
  EXPECT_NE(Log().find(" : Path Parameter Not Used : " + dir / "a"), std::string::npos) << Log();
  EXPECT_NE(Log().find(" : Path Parameter Not Used : " + dir / "b"), std::string::npos) << Log();
}

TEST_F(AppTest, BatchRunWithOnlyASourceTakesStoredDirectoryAndCountButNotFlags) {
  testing::WriteFile(dir / "src/a.txt", "a");
  testing::MakeDirs(dir / "dst");
  settings.values["SETTINGS/LASTDIR"] = dir / "dst";
  settings.values["SETTINGS/DEFALUTFILES"] = "2";
  settings.values["SETTINGS/LASTOPT"] = "111";
  EXPECT_EQ(Run({dir / "src"}), kExitSuccess) << err.str();
  EXPECT_EQ(app.engine.backupDir, dir / "dst");
  EXPECT_EQ(app.engine.generationCount, 2);
  EXPECT_EQ(app.engine.noDelete + app.engine.noForce + app.engine.noTime, 0);
  EXPECT_EQ(ReadFile(dir / "dst/src_1/a.txt"), "a");
  EXPECT_EQ(settings.values["SETTINGS/LASTFILE"], dir / "src");
}

// The parameter text cannot carry a double quote inside a path: the path
// would be cut at it and the backup would run on another directory.
TEST_F(AppTest, PathWithADoubleQuoteIsRefusedNotCutShort) {
#ifdef _WIN32
  GTEST_SKIP() << "no Windows name holds a double quote";
#endif
  testing::WriteFile(dir / "docs\"old/wanted.txt", "wanted");
  testing::WriteFile(dir / "docs/other.txt", "other");  // what the cut path names
  testing::WriteFile(dir / "dst/wanted.txt", "copy of wanted");
  EXPECT_EQ(Run({"-M1", dir / "docs\"old", dir / "dst"}), kExitFailure);
  EXPECT_NE(err.str().find(dir / "docs\"old"), std::string::npos) << err.str();
  EXPECT_EQ(ReadFile(dir / "dst/wanted.txt"), "copy of wanted");
  EXPECT_FALSE(Exists(dir / "dst/other.txt"));
  EXPECT_FALSE(Exists(environment.logDirOverride)) << "refused before anything was read or run";
  // An option may hold one: it is passed as it is, not quoted.
  testing::WriteFile(dir / "src/a.txt", "a");
  EXPECT_EQ(Run({"-M2\"", dir / "src", dir / "dst"}), kExitSuccess) << err.str();
}

// A run that found its backup directory held by another exits 3 and names
// it; one under which source entries vanished exits 1 and says so.
TEST_F(AppTest, BusyBackupDirectoryAndVanishedEntries) {
  testing::WriteFile(dir / "src/a", "a");
  testing::WriteFile(dir / "src/gone", "g");
  testing::MakeDirs(dir / "dst");
  fault.FailAt(OsOp::CopyFile, "gone", real->Error(ErrorKind::kNotFound));
  fault.FailAt(OsOp::StatAt, "gone", real->Error(ErrorKind::kNotFound));
  app.language = Language::kEnglish;
  EXPECT_EQ(Run({"-M2", dir / "src", dir / "dst"}), kExitPartialFailure);
  EXPECT_NE(err.str().find("1 entr(y/ies) vanished"), std::string::npos) << err.str();

  std::unique_ptr<OsDir> held;
  ASSERT_TRUE((real->OpenDir(dir / "dst", true, &held)).ok());
  ASSERT_TRUE((held->Lock(BackupRun::kLockFileName)).ok());
  EXPECT_EQ(Run({"-M2", dir / "src", dir / "dst"}), kExitOtherInstance);
  EXPECT_NE(err.str().find("another run is using the backup directory " + dir / "dst"), std::string::npos) << err.str();
}

// ---- Dry run, restore and summary of batch runs ----

// Every entry below `root` by its path relative to it ('/' between names):
// a directory as "dir", a file as its content and last-write time, a link
// (never followed) as its text.
std::map<std::string, std::string> Snapshot(const std::string& root) {
  namespace fs = std::filesystem;
  std::map<std::string, std::string> tree;
  if (!fs::exists(fs::symlink_status(root))) return tree;
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root)) {
    // A copy's manifest is the program's: never restored, and checked apart.
    if (entry.path().filename() == ".veldar2-manifest") continue;
    const std::string path = fs::relative(entry.path(), root).generic_string();
    const fs::file_status status = entry.symlink_status();
    if (fs::is_symlink(status)) {
      tree[path] = "link " + fs::read_symlink(entry.path()).generic_string();
    } else if (fs::is_directory(status)) {
      tree[path] = "dir";
    } else {
      tree[path] = testing::ReadFile(entry.path().string()) + " @" +
                   std::to_string(fs::last_write_time(entry.path()).time_since_epoch().count());
    }
  }
  return tree;
}

// What a dry run printed, or a run logged, as "word path" lines relative to
// the copy: the dry run's own lines but the totals, or the log's lines of
// copies, shares, made directories and deletions (an entry inside a deleted
// directory is that directory's deletion).
std::set<std::string> DryRunLines(const std::string& printed) {
  std::set<std::string> lines;
  for (const std::string& line : testing::Lines(printed)) {
    if (line.rfind("into ", 0) == 0 || line.find(' ') == std::string::npos) continue;
    const std::string word = line.substr(0, line.find(' '));
    if (word == "copy" || word == "share" || word == "mkdir" || word == "delete" || word == "access") {
      lines.insert(word + " " + line.substr(line.find_first_not_of(' ', word.size())));
    }
  }
  return lines;
}
std::set<std::string> LoggedLines(const std::string& log, const std::vector<std::string>& targets) {
  const std::vector<std::pair<std::string, std::string>> words = {
      {"File Copied : ", "copy"},        {"File Linked : ", "share"},   {"File Cloned : ", "share"},
      {"Directory Created : ", "mkdir"}, {"File Deleted : ", "delete"}, {"Directory Deleted : ", "delete"},
      {"Permissions Set : ", "access"},  {"Owner Set : ", "access"}};
  std::set<std::string> lines;
  std::vector<std::string> deletedDirs;
  for (const std::string& line : testing::Lines(log)) {
    for (const auto& [text, word] : words) {
      const std::size_t at = line.find(text);
      if (at == std::string::npos) continue;
      std::string path = line.substr(at + text.size());
      if (const std::size_t to = path.find(" to "); to != std::string::npos) path = path.substr(to + 4);
      // What was set follows the path.
      if (word == "access") path = path.substr(0, path.rfind(" : "));
      // The copy's own top is the dry run's "into" line ("." for its access).
      if (std::find(targets.begin(), targets.end(), path) != targets.end()) {
        if (word == "access") lines.insert("access ./");
        continue;
      }
      for (const std::string& target : targets) {
        if (path.size() > target.size() && path.rfind(target, 0) == 0) path = path.substr(target.size() + 1);
      }
      if (word == "mkdir" || text == "Directory Deleted : ") path += "/";
      if (word == "access" && std::filesystem::is_directory(targets.back() + "/" + path)) path += "/";
      lines.insert(word + " " + path);
      if (text == "Directory Deleted : ") deletedDirs.push_back(path);
    }
  }
  for (std::string deleted : deletedDirs) {
    deleted.pop_back();  // the '/' that marks a directory; inside it the platform's separator follows
    std::erase_if(lines, [&](const std::string& line) {
      return line.size() > 7 + deleted.size() + 1 && line.rfind("delete " + deleted, 0) == 0 &&
             (line[7 + deleted.size()] == '/' || line[7 + deleted.size()] == '\\');
    });
  }
  return lines;
}

// A dry run changes nothing (the trees, the settings, the log) and lists
// exactly what the real run then does, for a new generation, one that shares
// unchanged files, and a mirror straight into the backup directory.
TEST_F(AppTest, DryRunChangesNothingAndListsWhatTheRunThenDoes) {
  struct Case {
    const char* name;
    std::vector<std::string> options;
    std::function<void()> change;  // what happens to the source after the first run
    std::string target;            // the copy the second run makes, relative to dir
    std::string source = "src";
  };
  const std::vector<Case> cases = {
      {"new generation", {"-M3"}, [&] { testing::WriteFile(dir / "src/sub/new.txt", "new"); }, "dst/src_2"},
      {"linked", {"-M3", "-LINK"}, [&] { testing::WriteFile(dir / "src/a.txt", "changed a"); }, "dst/src_2"},
      {"file", {"-M2"}, [&] { testing::WriteFile(dir / "src/a.txt", "changed a"); }, "dst", "src/a.txt"},
      {"excluded", {"-M1", "-X*.tmp"}, [&] { testing::WriteFile(dir / "src/sub/x.tmp", "x"); }, "dst"},
      {"mirror with deletions",
       {"-M1"},
       [&] {
         std::filesystem::remove_all(dir / "src/sub");
         testing::WriteFile(dir / "src/c.txt", "c");
       },
       "dst"},
      {"permissions changed",
       {"-M1"},
       [&] { std::filesystem::permissions(dir / "src/sub", std::filesystem::perms::owner_all); },
       "dst"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(dir / "src");
    std::filesystem::remove_all(dir / "dst");
    std::filesystem::remove_all(environment.logDirOverride);
    testing::WriteFile(dir / "src/a.txt", "a");
    testing::WriteFile(dir / "src/sub/b.txt", "b");
    testing::MakeDirs(dir / "dst");
    std::vector<std::string> arguments = c.options;
    arguments.insert(arguments.end(), {dir / c.source, dir / "dst"});
    ASSERT_EQ(Run(arguments), kExitSuccess) << err.str();
    c.change();
    const auto before = Snapshot(dir.path());
    settings.writes.clear();

    std::vector<std::string> dry = arguments;
    dry.insert(dry.begin(), "-DRYRUN");
    ASSERT_EQ(Run(dry), kExitSuccess) << err.str();
    EXPECT_EQ(before, Snapshot(dir.path()));
    EXPECT_TRUE(settings.writes.empty());
    const std::string printed = out.str();
    EXPECT_NE(printed.find("into    " + dir / c.target + "\n"), std::string::npos) << printed;
    EXPECT_EQ(
        printed.find("exclude " + std::string("sub") + fault.Paths().Separator() + "x.tmp\n") != std::string::npos,
        c.name == std::string("excluded"));

    const std::size_t logged = Log().size();
    ASSERT_EQ(Run(arguments), kExitSuccess) << err.str();
    const std::string working = dir / "dst/.src.veldar2-new";
    EXPECT_EQ(DryRunLines(printed), LoggedLines(Log().substr(logged), {working, dir / c.target}))
        << printed << Log().substr(logged);
  }
}

// A refused dry run says why as the refused run does: the same line, with
// the path it is about and the system's reason, with -NOMSG too.
TEST_F(AppTest, ARefusedDryRunSaysWhatTheRunSays) {
  testing::MakeDirs(dir / "dst");
  app.language = Language::kEnglish;
  for (const char* noMessage : {"-NODEL", "-NOMSG"}) {
    SCOPED_TRACE(noMessage);
    const std::vector<std::string> arguments = {"-M3", noMessage, dir / "missing", dir / "dst"};
    ASSERT_EQ(Run(arguments), kExitFailure);
    const std::string said = err.str().substr(0, err.str().find('\n') + 1);
    EXPECT_NE(said.find(dir / "missing"), std::string::npos) << said;
    std::vector<std::string> dry = arguments;
    dry.insert(dry.begin(), "-DRYRUN");
    EXPECT_EQ(Run(dry), kExitFailure);
    EXPECT_EQ(err.str(), said);
  }
}

// -RESTORE<n> restores the generation the restore dialog numbers n, over a
// newer tree too, as the dialog would: the target equals the generation, the
// restore directory is stored, the log tells it. A number beyond the
// generations is refused.
TEST_F(AppTest, RestoreFromTheCommandLineGivesEachGenerationExactly) {
  testing::WriteFile(dir / "src/a.txt", "old a");
  testing::WriteFile(dir / "src/sub/b.txt", "b");
  testing::MakeDirs(dir / "dst");
  ASSERT_EQ(Run({"-M3", dir / "src", dir / "dst"}), kExitSuccess) << err.str();
  testing::WriteFile(dir / "src/a.txt", "new a");
  testing::SetMtime(dir / "src/a.txt", testing::Mtime(dir / "dst/src_1/a.txt") + 100);
  testing::WriteFile(dir / "src/c.txt", "c");
  ASSERT_EQ(Run({"-M3", dir / "src", dir / "dst"}), kExitSuccess) << err.str();

  ASSERT_EQ(Run({"-LIST", dir / "src", dir / "dst"}), kExitSuccess) << err.str();
  EXPECT_NE(out.str().find("src_2\n"), std::string::npos) << out.str();
  EXPECT_LT(out.str().find("src_2\n"), out.str().find("src_1\n")) << "newest first, numbered as -RESTORE takes them";

  // Newer than either generation, of the same size: kept by a mirror that
  // trusts times.
  testing::WriteFile(dir / "rest/src/a.txt", "NEW A");
  testing::SetMtime(dir / "rest/src/a.txt", testing::Mtime(dir / "src/a.txt") + 100);
  testing::WriteFile(dir / "rest/src/extra.txt", "extra");
  for (const auto& [number, generation] : {std::pair{"2", "dst/src_1"}, {"1", "dst/src_2"}, {"2", "dst/src_1"}}) {
    SCOPED_TRACE(number);
    ASSERT_EQ(Run({std::string("-RESTORE") + number, dir / "src", dir / "dst", dir / "rest"}), kExitSuccess)
        << err.str();
    EXPECT_EQ(Snapshot(dir / generation), Snapshot(dir / "rest/src"));
  }
  EXPECT_EQ(settings.values["SETTINGS/RESDIR"], dir / "rest");
  // Its dry run changes nothing, and is refused where the restore is.
  testing::WriteFile(dir / "file", "f");
  for (const auto& [into, status] :
       {std::pair{dir / "rest", kExitSuccess}, {dir / "file", kExitFailure}, {dir / "dst/inside", kExitFailure}}) {
    const auto before = Snapshot(dir.path());
    EXPECT_EQ(Run({"-DRYRUN", "-RESTORE1", dir / "src", dir / "dst", into}), status) << into << err.str();
    EXPECT_EQ(before, Snapshot(dir.path())) << into;
    if (status != kExitSuccess) {
      EXPECT_EQ(Run({"-RESTORE1", dir / "src", dir / "dst", into}), status) << into;
    }
  }
  EXPECT_NE(Log().find("Starting with Restore button"), std::string::npos);
  // Its dry run lists the directories the restore makes (a restore directory
  // still to be made), as the restore then logs them.
  ASSERT_EQ(Run({"-DRYRUN", "-RESTORE1", dir / "src", dir / "dst", dir / "new/deeper"}), kExitSuccess) << err.str();
  const std::string printed = out.str();
  const std::size_t logged = Log().size();
  ASSERT_EQ(Run({"-RESTORE1", dir / "src", dir / "dst", dir / "new/deeper"}), kExitSuccess) << err.str();
  const std::vector<std::string> lines = testing::Lines(Log().substr(logged));
  for (const std::string& made : {dir / "new", dir / "new/deeper", dir / "new/deeper/src"}) {
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
      return line.ends_with("Directory Created : " + made);
    })) << made;
    EXPECT_NE(printed.find("mkdir   " + made + "/\n"), std::string::npos) << printed;
  }
  EXPECT_EQ(Run({"-RESTORE3", dir / "src", dir / "dst", dir / "rest"}), kExitFailure);
  EXPECT_NE(err.str().find(dir / "dst"), std::string::npos) << err.str();
}

// With the source gone, a restore takes what it was (file or folder) from
// the generations held under its name, and gives back each of them; the
// pre-check still refuses what is really wrong.
TEST_F(AppTest, RestoreWithTheSourceGoneTakesItsKindFromItsGenerations) {
  testing::MakeDirs(dir / "dst");
  for (const std::string name : {"docs", "report.txt"}) {
    SCOPED_TRACE(name);
    const bool folder = name == "docs";
    const std::string source = dir / name;
    const std::string file = folder ? source + "/sub/a.txt" : source;
    for (const char* version : {"one", "two"}) {
      testing::WriteFile(file, version);
      testing::SetMtime(file, version == std::string("one") ? 1'700'000'000 : 1'700'000'100);
      ASSERT_EQ(Run({"-M3", source, dir / "dst"}), kExitSuccess) << err.str();
      testing::WaitForNewTimestamps();  // each generation born after the one before
    }
    std::filesystem::rename(source, dir / (name + ".gone"));
    // Each number is the generation the list (with the source gone too) gives it.
    ASSERT_EQ(Run({"-LIST", "-JSON", source, dir / "dst"}), kExitSuccess) << err.str();
    const std::vector<std::string> listed = testing::Lines(out.str());
    ASSERT_EQ(listed.size(), 2u) << out.str();
    for (const std::string number : {"1", "2"}) {
      const std::string& line = listed[std::stoul(number) - 1];
      const std::string start = "{\"number\":" + number + ",\"name\":\"";
      ASSERT_TRUE(line.starts_with(start)) << line;
      const std::string stored =
          dir / ("dst/" + line.substr(start.size(), line.find('"', start.size()) - start.size()));
      ASSERT_EQ(Run({"-RESTORE" + number, source, dir / "dst", dir / "rest"}), kExitSuccess) << number << err.str();
      if (folder) {
        EXPECT_EQ(Snapshot(dir / "rest/docs"), Snapshot(stored)) << number;
      } else {
        EXPECT_EQ(ReadFile(dir / "rest/report.txt"), ReadFile(stored)) << number;
        EXPECT_EQ(testing::Mtime(dir / "rest/report.txt"), testing::Mtime(stored)) << number;
      }
    }
    EXPECT_FALSE(Exists(source));
  }
  const auto trees = [&] { return std::pair(Snapshot(dir / "dst"), Snapshot(dir / "rest")); };
  const auto before = trees();
  for (const auto& [source, into] :
       {std::pair{dir / "never-backed-up", dir / "rest"}, {dir / "docs", dir / "dst/in"}}) {
    EXPECT_EQ(Run({"-RESTORE1", source, dir / "dst", into}), kExitFailure) << source;
    EXPECT_EQ(before, trees()) << source;
  }
}

// -ONLY brings back just the files and folders named, each exactly as the
// generation holds it, at its place below the restored source; every other
// entry of the restore directory stays as it was.
TEST_F(AppTest, RestoreOfPartOfAGenerationTouchesNothingElse) {
  testing::WriteFile(dir / "src/a.txt", "a");
  testing::WriteFile(dir / "src/sub/b.txt", "b");
  testing::WriteFile(dir / "src/sub/deep/c.txt", "c");
  testing::WriteFile(dir / "src/sub/deep/d.txt", "d");
  testing::MakeDirs(dir / "dst");
  ASSERT_EQ(Run({"-M3", dir / "src", dir / "dst"}), kExitSuccess) << err.str();
  const struct {
    std::vector<std::string> only;
    std::vector<std::string> restored;  // relative to the restored source
  } cases[] = {
      {{"-ONLYsub/b.txt"}, {"sub/b.txt"}},
      {{"-ONLYsub/deep/"}, {"sub/deep", "sub/deep/c.txt", "sub/deep/d.txt", "sub/deep/extra"}},
      {{"-ONLYa.txt", "-ONLYsub/deep/c.txt"}, {"a.txt", "sub/deep/c.txt"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.only.front());
    std::filesystem::remove_all(dir / "rest");
    for (const char* path : {"src/a.txt", "src/sub/b.txt", "src/sub/deep/c.txt", "src/sub/deep/d.txt",
                             "src/sub/deep/extra", "src/sub/new.txt", "other/x"}) {
      testing::WriteFile(dir / ("rest/" + std::string(path)), "changed since");
    }
    const auto before = Snapshot(dir / "rest");
    std::vector<std::string> arguments = {"-RESTORE1"};
    arguments.insert(arguments.end(), c.only.begin(), c.only.end());
    arguments.insert(arguments.end(), {dir / "src", dir / "dst", dir / "rest"});
    ASSERT_EQ(Run(arguments), kExitSuccess) << err.str();
    auto after = Snapshot(dir / "rest");
    const auto stored = Snapshot(dir / "dst/src_1");
    for (const std::string& path : c.restored) {
      const auto in = stored.find(path);
      if (in == stored.end()) {
        EXPECT_FALSE(after.contains("src/" + path)) << path;
      } else {
        EXPECT_EQ(after["src/" + path], in->second) << path;
      }
    }
    for (const auto& [path, entry] : before) {
      const bool restored = std::any_of(c.restored.begin(), c.restored.end(),
                                        [&](const std::string& each) { return path == "src/" + each; });
      if (!restored) {
        EXPECT_EQ(after[path], entry) << path;
      }
    }
  }
  // Nothing is written for a path the generation lacks, or for one beside
  // the source.
  const auto trees = [&] { return std::pair(Snapshot(dir / "dst"), Snapshot(dir / "rest")); };
  const auto before = trees();
  for (const char* only : {"-ONLYmissing.txt", "-ONLY../src_1", "-ONLY/etc"}) {
    EXPECT_EQ(Run({"-RESTORE1", only, "-ONLYa.txt", dir / "src", dir / "dst", dir / "rest"}), kExitFailure) << only;
    EXPECT_EQ(before, trees()) << only;
  }
}

// -LIST -ONLY names each generation that holds the file, newest first, and
// whether it is the very file of the next newer one, an equal copy, or
// another version; it changes nothing.
// -VERIFY reads the generations and changes nothing: a byte flipped in a
// file of the older one (same size, same time) is named, and so is the state
// of a generation without a manifest; the exit status says whether all hold.
// A restore finds the same damage as it copies.
TEST_F(AppTest, VerifyNamesWhatNoLongerHoldsAndChangesNothing) {
  testing::MakeDirs(dir / "dst");
  testing::WriteFile(dir / "src/a.txt", "alpha");
  // A whole second, which the test can set again where the library's
  // setting of a time keeps no more (MinGW's).
  std::filesystem::last_write_time(
      dir / "src/a.txt", std::chrono::floor<std::chrono::seconds>(std::filesystem::last_write_time(dir / "src/a.txt")));
  ASSERT_EQ(Run({"-M3", dir / "src", dir / "dst"}), kExitSuccess) << err.str();
  testing::WriteFile(dir / "src/b.txt", "beta");
  ASSERT_EQ(Run({"-M3", dir / "src", dir / "dst"}), kExitSuccess) << err.str();
  ASSERT_EQ(Run({"-VERIFY", dir / "src", dir / "dst"}), kExitSuccess) << err.str() << out.str();

  const std::string older = dir / "dst/src_1/a.txt";
  const auto written = std::filesystem::last_write_time(older);
  testing::WriteFile(older, "alphA");
  std::filesystem::last_write_time(older, written);
  const auto snapshot = Snapshot(dir.path());
  const struct {
    std::vector<std::string> options;
    int exit;
    std::vector<std::string> lines;
  } cases[] = {
      {{"-VERIFY1", "-JSON"}, kExitSuccess, {"\"number\":1,\"name\":\"src_2\",\"result\":\"holds\""}},
      {{"-VERIFY", "-JSON"},
       kExitPartialFailure,
       {"\"result\":\"holds\"",
        "\"result\":\"damaged\",\"files\":1,\"bytes\":5,"
        "\"findings\":[{\"kind\":\"damaged\",\"path\":\"a.txt\"}]}"}},
      {{"-VERIFY3"}, kExitFailure, {}},
  };
  for (const auto& c : cases) {
    std::vector<std::string> arguments = c.options;
    arguments.insert(arguments.end(), {dir / "src", dir / "dst"});
    EXPECT_EQ(Run(arguments), c.exit) << err.str();
    const std::vector<std::string> lines = testing::Lines(out.str());
    ASSERT_EQ(lines.size(), c.lines.size()) << out.str();
    for (std::size_t i = 0; i < lines.size(); ++i) EXPECT_NE(lines[i].find(c.lines[i]), std::string::npos) << lines[i];
  }
  EXPECT_EQ(snapshot, Snapshot(dir.path()));

  // A restore of the damaged generation brings it back as it is, names the
  // file, and where the newer generation holds the same version intact.
  EXPECT_EQ(Run({"-RESTORE2", dir / "src", dir / "dst", dir / "rest"}), kExitPartialFailure) << err.str();
  EXPECT_EQ(testing::ReadFile(dir / "rest/src/a.txt"), "alphA");
  EXPECT_NE(Log().find("File Damaged In Generation : " + dir / "dst/src_1/a.txt"), std::string::npos) << Log();
  EXPECT_NE(Log().find("Intact Copy In Generation : " + dir / "dst/src_2/a.txt"), std::string::npos) << Log();
  EXPECT_EQ(Run({"-RESTORE1", dir / "src", dir / "dst", dir / "rest"}), kExitSuccess) << err.str();

  std::filesystem::remove(dir / "dst/src_2/.veldar2-manifest");
  EXPECT_EQ(Run({"-VERIFY1", "-JSON", dir / "src", dir / "dst"}), kExitPartialFailure);
  EXPECT_NE(out.str().find("\"result\":\"no_manifest\""), std::string::npos) << out.str();
}

// A single-file source's generations keep their manifests beside them:
// -VERIFY and the restore check them as a directory generation's, -LIST
// lists none of them, and each goes with its generation.
TEST_F(AppTest, FileGenerationsKeepAManifestBesideThem) {
  testing::MakeDirs(dir / "dst");
  testing::WriteFile(dir / "report.txt", "alpha");
  std::filesystem::last_write_time(dir / "report.txt", std::chrono::floor<std::chrono::seconds>(
                                                           std::filesystem::last_write_time(dir / "report.txt")));
  ASSERT_EQ(Run({"-M3", dir / "report.txt", dir / "dst"}), kExitSuccess) << err.str();
  ASSERT_EQ(Run({"-M3", dir / "report.txt", dir / "dst"}), kExitSuccess) << err.str();
  ASSERT_EQ(Run({"-VERIFY", dir / "report.txt", dir / "dst"}), kExitSuccess) << out.str();
  ASSERT_EQ(Run({"-LIST", "-JSON", dir / "report.txt", dir / "dst"}), kExitSuccess) << err.str();
  EXPECT_EQ(testing::Lines(out.str()).size(), 2u) << out.str();

  const std::string older = dir / "dst/report_1.txt_";
  const auto written = std::filesystem::last_write_time(older);
  testing::WriteFile(older, "alphA");
  std::filesystem::last_write_time(older, written);
  EXPECT_EQ(Run({"-VERIFY2", "-JSON", dir / "report.txt", dir / "dst"}), kExitPartialFailure);
  EXPECT_NE(out.str().find("\"findings\":[{\"kind\":\"damaged\",\"path\":\"report_1.txt_\"}]"), std::string::npos)
      << out.str();
  EXPECT_EQ(Run({"-RESTORE2", dir / "report.txt", dir / "dst", dir / "rest"}), kExitPartialFailure) << err.str();
  EXPECT_EQ(testing::ReadFile(dir / "rest/report.txt"), "alphA");
  EXPECT_NE(Log().find("File Damaged In Generation : " + older), std::string::npos) << Log();
  EXPECT_NE(Log().find("Intact Copy In Generation : " + dir / "dst/report_2.txt_"), std::string::npos) << Log();

  // Edited by hand (another size; its time put back, so that it still
  // ranks oldest where the creation time is the last-write time): changed,
  // not damaged. A lowered count takes the surplus generation's manifest
  // with it; the new copy has its own.
  testing::WriteFile(older, "alpha, edited");
  std::filesystem::last_write_time(older, written);
  EXPECT_EQ(Run({"-VERIFY2", "-JSON", dir / "report.txt", dir / "dst"}), kExitPartialFailure);
  EXPECT_NE(out.str().find("\"kind\":\"changed\""), std::string::npos) << out.str();
  ASSERT_EQ(Run({"-M1", dir / "report.txt", dir / "dst"}), kExitSuccess) << err.str();
  EXPECT_EQ(testing::ListNames(dir / "dst"),
            (std::vector<std::string>{".report_2.txt_.veldar2-manifest", "report_2.txt_"}));
  EXPECT_EQ(Run({"-VERIFY", dir / "report.txt", dir / "dst"}), kExitSuccess) << out.str();
}

// A restore of part of a generation checks what it copies as a whole
// restore does: a damaged file, alone or in a folder, is named with the
// generation that holds it intact.
TEST_F(AppTest, RestoreOfPartNamesTheDamagedFilesItCopies) {
  testing::MakeDirs(dir / "dst");
  testing::WriteFile(dir / "src/a.txt", "alpha");
  testing::WriteFile(dir / "src/sub/deeper/c.txt", "gamma");
  for (const char* file : {"src/a.txt", "src/sub/deeper/c.txt"}) {
    std::filesystem::last_write_time(
        dir / file, std::chrono::floor<std::chrono::seconds>(std::filesystem::last_write_time(dir / file)));
  }
  ASSERT_EQ(Run({"-M3", dir / "src", dir / "dst"}), kExitSuccess) << err.str();
  ASSERT_EQ(Run({"-M3", dir / "src", dir / "dst"}), kExitSuccess) << err.str();
  const std::string damaged = dir / "dst/src_1/sub/deeper/c.txt";
  const auto written = std::filesystem::last_write_time(damaged);
  testing::WriteFile(damaged, "gammA");
  std::filesystem::last_write_time(damaged, written);

  const struct {
    const char* only;
    int exit;
  } cases[] = {
      {"-ONLYsub/deeper/c.txt", kExitPartialFailure},
      {"-ONLYsub", kExitPartialFailure},
      {"-ONLYsub/deeper", kExitPartialFailure},
      {"-ONLYa.txt", kExitSuccess},
  };
  for (const auto& c : cases) {
    std::filesystem::remove_all(dir / "rest");
    std::filesystem::remove(environment.logDirOverride + "VELDAR2.LOG");
    EXPECT_EQ(Run({"-RESTORE2", c.only, dir / "src", dir / "dst", dir / "rest"}), c.exit) << c.only << err.str();
    const bool named = Log().find("File Damaged In Generation : " + damaged) != std::string::npos;
    EXPECT_EQ(named, c.exit != kExitSuccess) << c.only << "\n" << Log();
    if (c.exit == kExitSuccess) continue;
    EXPECT_EQ(testing::ReadFile(dir / "rest/src/sub/deeper/c.txt"), "gammA") << c.only;
    EXPECT_NE(Log().find("Intact Copy In Generation : " + dir / "dst/src_2/sub/deeper/c.txt"), std::string::npos)
        << c.only << "\n"
        << Log();
  }
}

// The generations a verify finds wrong are marked in the user's settings
// (the backup directory stays as it was) until a verify finds them whole;
// a new copy that takes a marked generation's name is not marked.
TEST_F(AppTest, VerifyMarksFailedGenerationsUntilTheyHoldOrAreReplaced) {
  testing::MakeDirs(dir / "dst");
  testing::WriteFile(dir / "src/a.txt", "alpha");
  std::filesystem::last_write_time(
      dir / "src/a.txt", std::chrono::floor<std::chrono::seconds>(std::filesystem::last_write_time(dir / "src/a.txt")));
  ASSERT_EQ(Run({"-M2", dir / "src", dir / "dst"}), kExitSuccess) << err.str();
  ASSERT_EQ(Run({"-M2", dir / "src", dir / "dst"}), kExitSuccess) << err.str();
  const std::string older = dir / "dst/src_1/a.txt";
  const auto written = std::filesystem::last_write_time(older);
  const auto put = [&](const char* content) {
    testing::WriteFile(older, content);
    std::filesystem::last_write_time(older, written);
  };
  // Which of src_1 and src_2 the restore list would mark.
  const auto marked = [&] {
    const VerifyMarks marks(settings, real->Paths(), dir / "dst/");
    std::unique_ptr<OsDir> backup;
    EXPECT_TRUE(real->OpenDir(dir / "dst", true, &backup).ok());
    std::string found;
    for (const char* name : {"src_1", "src_2"}) {
      CFileEntry generation;
      generation.name = name;
      generation.isDirectory = true;
      if (marks.Marked(GenerationIdentity(*backup, generation))) found += name;
    }
    return found;
  };
  const struct {
    std::function<void()> before;
    std::string verify;
    std::string marked;
  } steps[] = {
      {[&] { put("alphA"); }, "-VERIFY", "src_1"},
      {[] {}, "-VERIFY1", "src_1"},  // the other one holds; the mark stays
      {[&] { put("alpha"); }, "-VERIFY2", ""},
      {[&] { put("alphA"); }, "-VERIFY", "src_1"},
      // The run's new copy replaces the oldest generation, under its name.
      {[&] {
         ASSERT_EQ(Run({"-M2", dir / "src", dir / "dst"}), kExitSuccess) << err.str();
       },
       "", ""},
      {[] {}, "-VERIFY", ""},
  };
  for (const auto& step : steps) {
    step.before();
    if (!step.verify.empty()) (void)Run({step.verify, dir / "src", dir / "dst"});
    EXPECT_EQ(marked(), step.marked) << step.verify << "\n" << out.str();
  }
  EXPECT_EQ(settings.values["VERIFY/D" + ChecksumText(ChecksumOf(dir / "dst"))], "") << "no mark is left behind";
}

TEST_F(AppTest, ListOfOneFileSaysWhichGenerationsHoldTheSameVersion) {
  testing::MakeDirs(dir / "dst");
  testing::WriteFile(dir / "src/keep.txt", "k");
  // The runs' versions, oldest first: changed before the third and the
  // fifth (of the same size: only its time tells); the fourth shares
  // unchanged files with the third.
  const struct {
    const char* content;
    bool link;
  } runs[] = {{"v1", false}, {"v1", false}, {"v2 longer", false}, {"v2 longer", true}, {"v2 LONGER", false}};
  std::int64_t time = 1'700'000'000;
  for (const auto& run : runs) {
    if (testing::ReadFile(dir / "src/report.txt") != run.content) {
      testing::WriteFile(dir / "src/report.txt", run.content);
      testing::SetMtime(dir / "src/report.txt", time += 100);
    }
    std::vector<std::string> arguments = {"-M5", dir / "src", dir / "dst"};
    if (run.link) arguments.insert(arguments.begin(), "-LINK");
    ASSERT_EQ(Run(arguments), kExitSuccess) << err.str();
  }
  const auto before = Snapshot(dir.path());
  ASSERT_EQ(Run({"-LIST", "-JSON", "-ONLYreport.txt", dir / "src", dir / "dst"}), kExitSuccess) << err.str();
  const std::vector<std::string> lines = testing::Lines(out.str());
  const char* same[] = {"null", "\"different\"", "\"shared\"", "\"different\"", "\"equal\""};
  const char* names[] = {"src_5", "src_4", "src_3", "src_2", "src_1"};
  ASSERT_EQ(lines.size(), 5u) << out.str();
  for (std::size_t i = 0; i < lines.size(); ++i) {
    EXPECT_TRUE(lines[i].starts_with("{\"number\":" + std::to_string(i + 1) + ",\"name\":\"" + names[i] + "\""))
        << lines[i];
    EXPECT_TRUE(lines[i].ends_with(",\"same_as_newer\":" + std::string(same[i]) + "}")) << lines[i];
  }
  app.language = Language::kEnglish;
  ASSERT_EQ(Run({"-LIST", "-ONLYreport.txt", dir / "src.gone", dir / "dst"}), kExitSuccess) << err.str();
  EXPECT_EQ(testing::Lines(out.str()).size(), 1u) << "a source of another name has no generations here";
  ASSERT_EQ(Run({"-LIST", "-ONLYreport.txt", dir / "src", dir / "dst"}), kExitSuccess) << err.str();
  const std::vector<std::string> table = testing::Lines(out.str());
  ASSERT_EQ(table.size(), 6u) << out.str();
  EXPECT_NE(table[3].find("same (shared)"), std::string::npos) << out.str();
  EXPECT_EQ(before, Snapshot(dir.path()));
}

// Every run ends with its figures: a line in the log, and one on standard
// output where that is a terminal or -VERBOSE asks; a failed run that no
// terminal watches is told to the desktop.
TEST_F(AppTest, RunsEndWithTheirSummaryAndUnwatchedFailuresAreNotified) {
  RecordingNotifier notifier;
  app.notifier = &notifier;
  app.language = Language::kEnglish;
  testing::WriteFile(dir / "src/a.txt", "a");
  testing::WriteFile(dir / "src/b.txt", "bb");
  testing::MakeDirs(dir / "dst");
  struct Case {
    bool terminal, verbose, fails;
    bool printed, notified;
  };
  for (const Case& c : {Case{false, false, false, false, false}, Case{true, false, false, true, false},
                        Case{false, true, false, true, false}, Case{false, false, true, false, true},
                        Case{true, false, true, true, false}}) {
    SCOPED_TRACE(::testing::Message() << c.terminal << c.verbose << c.fails);
    std::filesystem::remove_all(dir / "dst/src_1");
    notifier.told.clear();
    app.standardOutputIsTerminal = c.terminal;
    std::vector<std::string> arguments = {"-M3", dir / (c.fails ? "missing" : "src"), dir / "dst"};
    if (c.verbose) arguments.insert(arguments.begin(), "-VERBOSE");
    EXPECT_EQ(Run(arguments), c.fails ? kExitFailure : kExitSuccess) << err.str();
    const std::string figures = c.fails ? "0 copied, 0 shared, 0 deleted, 0 failed, 0 bytes, "
                                        : "2 copied, 0 shared, 0 deleted, 0 failed, 3 bytes, ";
    // The run's duration ends both lines; on a busy machine it is not 0:00.
    const std::regex duration("[0-9]+:[0-9][0-9](\n?)$");
    EXPECT_EQ(std::regex_replace(out.str(), duration, "$1"), c.printed ? figures + "\n" : "");
    const std::string log = Log();
    const std::size_t end = log.rfind("End : ");
    ASSERT_NE(end, std::string::npos) << log;
    const std::string endLine = log.substr(end, log.find_first_of("\r\n", end) - end);
    EXPECT_EQ(std::regex_replace(endLine, duration, ""), "End : " + figures);
    EXPECT_EQ(notifier.told,
              c.notified ? std::vector<std::string>{"Veldar: the backup failed"} : std::vector<std::string>{});
  }
}

// No-force mode leaves changed copies as they were: the dry run's totals,
// the log's last line and the terminal's summary count them, and the run
// still succeeds.
TEST_F(AppTest, NoForceCountsWhatItLeftAsItWas) {
  app.language = Language::kEnglish;
  app.standardOutputIsTerminal = true;
  testing::WriteFile(dir / "src/a.txt", "a");
  testing::WriteFile(dir / "src/b.txt", "b");
  testing::MakeDirs(dir / "dst");
  ASSERT_EQ(Run({"-M1", dir / "src", dir / "dst"}), kExitSuccess) << err.str();
  testing::WriteFile(dir / "src/a.txt", "changed a");
  const std::string undone = ", 1 left as they were (no-force), ";

  EXPECT_EQ(Run({"-DRYRUN", "-NOFORCE", "-M1", dir / "src", dir / "dst"}), kExitSuccess) << err.str();
  EXPECT_NE(out.str().find(", 1 left as they were (no-force)\n"), std::string::npos) << out.str();
  EXPECT_EQ(Run({"-NOFORCE", "-M1", dir / "src", dir / "dst"}), kExitSuccess) << err.str();
  EXPECT_EQ(out.str().rfind("0 copied, 0 shared, 0 deleted, 0 failed" + undone, 0), 0u) << out.str();
  EXPECT_NE(Log().find("End : 0 copied, 0 shared, 0 deleted, 0 failed" + undone), std::string::npos) << Log();
  EXPECT_EQ(ReadFile(dir / "dst/a.txt"), "a");
  // Forced, nothing is left undone and the line is as it always was.
  EXPECT_EQ(Run({"-M1", dir / "src", dir / "dst"}), kExitSuccess) << err.str();
  EXPECT_EQ(out.str().find("left as they were"), std::string::npos) << out.str();
}

}  // namespace
}  // namespace veldar
