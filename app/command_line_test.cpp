#include "app/command_line.h"

#include <gtest/gtest.h>

#include "testing/fault_injector.h"
#include "tests/test_util.h"

namespace veldar {
namespace {

class CommandLineTest : public ::testing::Test {
 protected:
  CommandLineTest() : fault(*real), engine(fault, messages, settings) {
    // What the settings loaded before the parameters are parsed.
    engine.backupDir = "stored-dir";
    engine.generationCount = 7;
    engine.noDelete = engine.noForce = engine.noTime = 1;
  }
  int Parse(const std::string& text) { return ParseParameterText(text, '-', engine); }

  std::unique_ptr<Os> real = MakeSystemOs();
  FaultInjector fault{*real};
  testing::RecordingMessages messages;
  testing::MemorySettings settings;
  CVELDAR2Engine engine;
};

TEST_F(CommandLineTest, EmptyTextChangesNothing) {
  engine.sourcePath = "kept";
  EXPECT_EQ(Parse(""), 0);
  EXPECT_EQ(engine.sourcePath, "kept");
  EXPECT_EQ(engine.noDelete, 1);
}

TEST_F(CommandLineTest, CountAndTwoPathsClearStoredFlags) {
  EXPECT_EQ(Parse("-m5 src dst"), 1);
  EXPECT_EQ(engine.generationCount, 5);
  EXPECT_EQ(engine.sourcePath, "src");
  EXPECT_EQ(engine.backupDir, "dst");
  EXPECT_EQ(engine.noDelete + engine.noForce + engine.noTime, 0);
}

TEST_F(CommandLineTest, SinglePathKeepsStoredDirectoryAndCount) {
  Parse("src");
  EXPECT_EQ(engine.sourcePath, "src");
  EXPECT_EQ(engine.backupDir, "stored-dir");
  EXPECT_EQ(engine.generationCount, 7);
}

TEST_F(CommandLineTest, CountOptionReadsPastBlankAndNumberIsAlsoAPath) {
  Parse("-M 5 path");
  EXPECT_EQ(engine.generationCount, 5);
  EXPECT_EQ(engine.sourcePath, "5");
  EXPECT_EQ(engine.backupDir, "path");
}

TEST_F(CommandLineTest, CountOptionEdgeValues) {
  struct Case {
    const char* text;
    int count;
  } cases[] = {{"-M", 0}, {"-Mx a", 0}, {"-M-2 a", -2}, {"-M+3 a", 3}, {"-M99999999999 a", INT32_MAX}};
  for (const auto& c : cases) {
    engine.generationCount = 7;
    Parse(c.text);
    EXPECT_EQ(engine.generationCount, c.count) << c.text;
  }
}

TEST_F(CommandLineTest, SwitchesInOneAndTwoPasses) {
  struct Case {
    const char* text;
    int noDelete, noTime, noForce, noMessage, link = 0;
  } cases[] = {
      {"-nodel -notime", 1, 1, 0, 0}, {"-notime -nodel", 1, 1, 0, 0},
      {"-NODEL-NOTIME", 1, 0, 0, 0},  // the rest of the token after a switch is ignored
      {"-NODELETE", 1, 0, 0, 0},      {"-NOFORCE -NODEL -NOMSG -NOTIME", 1, 1, 1, 1},
      {"-NOMSG", 0, 0, 0, 1},         {"-link -NOTIME", 0, 1, 0, 0, 1},
  };
  for (const auto& c : cases) {
    engine.noMessage = engine.linkUnchanged = 0;
    Parse(c.text);
    EXPECT_EQ(engine.linkUnchanged, c.link) << c.text;
    EXPECT_EQ(engine.noDelete, c.noDelete) << c.text;
    EXPECT_EQ(engine.noTime, c.noTime) << c.text;
    EXPECT_EQ(engine.noForce, c.noForce) << c.text;
    EXPECT_EQ(engine.noMessage, c.noMessage) << c.text;
  }
}

TEST_F(CommandLineTest, NoMsgAloneLeavesSourceEmpty) {
  EXPECT_EQ(Parse("-NOMSG"), 1);
  EXPECT_TRUE(engine.sourcePath.empty());
}

TEST_F(CommandLineTest, UnknownOptionIsDroppedUpToItsBlankOnly) {
  Parse("-FORCE src -x dst");
  EXPECT_EQ(engine.sourcePath, "src");
  EXPECT_EQ(engine.backupDir, "dst");
  EXPECT_EQ(engine.noForce, 0);
}

TEST_F(CommandLineTest, QuotedPaths) {
  Parse("\"my src\" \"my dst\"");
  EXPECT_EQ(engine.sourcePath, "my src");
  EXPECT_EQ(engine.backupDir, "my dst");

  Parse("\"unclosed path -NODEL");
  EXPECT_EQ(engine.sourcePath, "unclosed path -NODEL");
  EXPECT_EQ(engine.noDelete, 0);

  engine.backupDir = "stored-dir";
  Parse("\"\" \"b\"");  // an empty quoted argument leaves the source empty
  EXPECT_EQ(engine.sourcePath, "b");
  EXPECT_EQ(engine.backupDir, "stored-dir");

  Parse("\"a\"\"b\"");  // text right after a closing quote is the next argument
  EXPECT_EQ(engine.sourcePath, "a");
  EXPECT_EQ(engine.backupDir, "b");
}

TEST_F(CommandLineTest, ThreePathsLastIsBackupDirAndTabDoesNotSeparate) {
  Parse("a b c");
  EXPECT_EQ(engine.sourcePath, "a");
  EXPECT_EQ(engine.backupDir, "c");
  Parse("a\tb");
  EXPECT_EQ(engine.sourcePath, "a\tb");
}

TEST_F(CommandLineTest, RequestOptionsAndHowTheyReadThePaths) {
  using Mode = BatchRequest::Mode;
  struct Case {
    const char* text;
    Mode mode;
    const char* source;
    const char* backupDir;
    const char* restoreDir = "";
    int restoreNumber = 0;
    std::vector<std::string> excludes = {};
    bool dryRun = false, json = false, verbose = false;
    std::vector<std::string> only = {};
  } cases[] = {
      {"-dryrun src dst", Mode::kBackup, "src", "dst", "", 0, {}, true},
      {"-NODEL -DRYRUN src", Mode::kBackup, "src", "stored-dir", "", 0, {}, true},
      // A list without paths is of the stored source and backup directory.
      {"-LIST", Mode::kList, "stored-src", "stored-dir"},
      {"-list -json -Verbose src", Mode::kList, "src", "stored-dir", "", 0, {}, false, true, true},
      // A restore takes three paths, options between them or not.
      {"-RESTORE2 src bak out", Mode::kRestore, "src", "bak", "out", 2},
      {"src -restore01 \"my bak\" out -DRYRUN", Mode::kRestore, "src", "my bak", "out", 1, {}, true},
      {"-RESTORE1 src bak", Mode::kRestore, "src", "bak", "", 1},
      {"-X*.tmp -x/build/ src dst", Mode::kBackup, "src", "dst", "", 0, {"*.tmp", "/build/"}},
      {"-X\"System Volume Information/\" src dst", Mode::kBackup, "src", "dst", "", 0, {"System Volume Information/"}},
      {"-X\"unclosed src dst", Mode::kBackup, "", "stored-dir", "", 0, {"unclosed src dst"}},
      {"-ONLY\"old mail/\" -onlya.txt -RESTORE1 src bak out",
       Mode::kRestore,
       "src",
       "bak",
       "out",
       1,
       {},
       false,
       false,
       false,
       {"old mail/", "a.txt"}},
      // A check without paths, as a list, is of the stored ones.
      {"-VERIFY", Mode::kVerify, "stored-src", "stored-dir"},
      {"-verify2 -JSON src dst", Mode::kVerify, "src", "dst", "", 0, {}, false, true},
      // Written wrongly: unknown, dropped up to the blank only.
      {"-RESTORE0 -RESTORE -RESTORE1x -DRYRUNX -LISTING -X -X\"\" -VERIFY0 -VERIFYx src dst", Mode::kBackup, "src",
       "dst"},
  };
  for (const Case& c : cases) {
    engine.sourcePath = "stored-src";
    engine.backupDir = "stored-dir";
    BatchRequest request;
    request.verbose = true;  // a request is read afresh
    EXPECT_EQ(ParseParameterText(c.text, '-', engine, nullptr, &request), 1);
    EXPECT_EQ(request.mode(), c.mode) << c.text;
    EXPECT_EQ(engine.sourcePath, c.source) << c.text;
    EXPECT_EQ(engine.backupDir, c.backupDir) << c.text;
    EXPECT_EQ(request.restoreDir, c.restoreDir) << c.text;
    EXPECT_EQ(request.restoreNumber, c.restoreNumber) << c.text;
    EXPECT_EQ(request.excludes, c.excludes) << c.text;
    EXPECT_EQ(request.dryRun, c.dryRun) << c.text;
    EXPECT_EQ(request.json, c.json) << c.text;
    EXPECT_EQ(request.verbose, c.verbose) << c.text;
    EXPECT_EQ(request.only, c.only) << c.text;
  }
}

// A caller that cannot see the request must not make a backup of a dry run,
// a list or a restore: the source stays empty and the pre-check refuses.
TEST_F(CommandLineTest, WithoutARequestOnlyABackupKeepsItsSource) {
  for (const char* text : {"-DRYRUN src dst", "-LIST src dst", "-RESTORE1 src dst out", "-VERIFY src dst"}) {
    Parse(text);
    EXPECT_EQ(engine.sourcePath, "") << text;
  }
  Parse("-X*.tmp -VERBOSE src dst");
  EXPECT_EQ(engine.sourcePath, "src");
}

TEST(CheckBatchRequestTest, RefusesWhatCannotBeDoneAsAsked) {
  const auto request = [](auto change) {
    BatchRequest r;
    change(r);
    return r;
  };
  const struct {
    BatchRequest request;
    std::size_t paths;
    const char* refusal;
  } cases[] = {
      {request([](BatchRequest& r) { r.dryRun = true; }), 2, ""},
      {request([](BatchRequest& r) { r.list = r.json = r.dryRun = true; }), 0, ""},
      {request([](BatchRequest& r) {
         r.restoreNumber = 3;
         r.dryRun = true;
       }),
       3, ""},
      {request([](BatchRequest& r) {
         r.list = true;
         r.restoreNumber = 1;
       }),
       3, "/LIST and /RESTORE cannot be used together"},
      {request([](BatchRequest& r) { r.json = true; }), 2, "/JSON is used with /LIST or /VERIFY"},
      {request([](BatchRequest& r) { r.json = true, r.verifyNumber = 0; }), 0, ""},
      {request([](BatchRequest& r) { r.list = true, r.verifyNumber = 2; }), 2,
       "/VERIFY and /LIST cannot be used together"},
      {request([](BatchRequest& r) { r.dryRun = true, r.verifyNumber = 0; }), 2,
       "/VERIFY and /DRYRUN cannot be used together"},
      {request([](BatchRequest& r) {
         r.restoreNumber = 1;
         r.excludes = {"a"};
       }),
       3, "/X is for backups only (/LIST and /RESTORE leave nothing out)"},
      {request([](BatchRequest& r) { r.restoreNumber = 1; }), 2,
       "/RESTORE takes three paths (source, backup directory, directory to restore into); 2 were given"},
      {request([](BatchRequest& r) { r.restoreNumber = 1; }), 4,
       "/RESTORE takes three paths (source, backup directory, directory to restore into); 4 were given"},
  };
  for (const auto& c : cases) EXPECT_EQ(CheckBatchRequest(c.request, c.paths, '/', Language::kEnglish), c.refusal);
}

TEST(BuildParameterTextTest, QuotesOnlyPathsThatNeedIt) {
  struct Case {
    std::vector<std::string> arguments;
    const char* text;
  } cases[] = {
      {{"-M5", "/home/u/my docs", "-NODEL", "/b"}, "-M5 \"/home/u/my docs\" -NODEL /b"},
      {{}, ""},
      {{"/NODEL"}, "/NODEL"},  // an absolute POSIX path, not an option
      {{"", "a\tb", "\nlead"}, "\"\" \"a\tb\" \"\nlead\""},
      // "--" ends the options and is left out; a path after it that begins
      // with "-" is quoted, so the parser takes it for a path. A later "--" is
      // a path.
      {{"-M1", "--", "-notes", "--", "x"}, "-M1 \"-notes\" \"--\" x"},
      {{"--"}, ""},
  };
  for (const auto& c : cases) EXPECT_EQ(BuildParameterText(c.arguments, '-'), c.text) << c.text;
}

// The rebuilt text reads as the words the shell handed over, "-M 3" as the
// parser reads it in a typed parameter text.
TEST_F(CommandLineTest, RebuiltArgumentsReadAsTheSameWords) {
  struct Case {
    std::vector<std::string> arguments;
    int count;
    const char* source;
    const char* backupDir;
    std::vector<std::string> excludes = {};
  } cases[] = {
      {{"-m3", "/src dir/x", "-notime", "/dst"}, 3, "/src dir/x", "/dst"},
      {{"-M", "3", "/dst"}, 3, "3", "/dst"},
      {{"-M", "+4", "-NODEL", "/dst"}, 4, "+4", "/dst"},
      {{"-M1", "--", "-notes", "photos"}, 1, "-notes", "photos"},
      {{"--", "", "-M3"}, 7, "-M3", "stored-dir"},
      {{"-XMy Documents/", "-x\"a b\"", "-Xc", "/src", "/dst"}, 7, "/src", "/dst", {"My Documents/", "a b", "c"}},
  };
  for (const auto& c : cases) {
    const std::string text = BuildParameterText(c.arguments, '-');
    engine.generationCount = 7;
    engine.backupDir = "stored-dir";
    BatchRequest request;
    EXPECT_EQ(ParseParameterText(text, '-', engine, nullptr, &request), 1) << text;
    EXPECT_EQ(engine.generationCount, c.count) << text;
    EXPECT_EQ(engine.sourcePath, c.source) << text;
    EXPECT_EQ(engine.backupDir, c.backupDir) << text;
    EXPECT_EQ(request.excludes, c.excludes) << text;
  }
}

TEST(RefuseArgumentsTest, UnknownOptionsAndPathsTheTextCannotCarry) {
  const auto unknown = [](const std::string& argument) {
    return "unknown option: " + argument + " (a path beginning with \"-\" is written ./" + argument + ", or after --)";
  };
  struct Case {
    std::vector<std::string> arguments;
    std::string refusal;
  } cases[] = {
      {{"-M3", "S", "-mybackup"}, unknown("-mybackup")},  // not "-M" with a count of 0
      {{"-M1", "-notes", "photos"}, unknown("-notes")},
      {{"-FORCE", "a"}, unknown("-FORCE")},
      {{"-", "a"}, unknown("-")},
      {{"-M", "a"}, unknown("-M")},
      {{"a", "-M"}, unknown("-M")},
      {{"-M", "3 x", "d"}, unknown("-M")},  // quoted, its number would not be read
      {{"-M+", "a"}, unknown("-M+")},
      {{"-NODEL x", "a"}, unknown("-NODEL x")},  // the blank would make "x" a path
      {{"a", "b\"c"}, "a path with a double quote (\") cannot be passed: b\"c"},
      {{"--", "-x\""}, "a path with a double quote (\") cannot be passed: -x\""},
      // Known options, any letter case, the rest of a switch's word ignored.
      {{"-M5", "-m-2", "-M", "3", "-nodelx", "-NoForce", "-NOMSG", "-notime", "a"}, ""},
      {{"-M2\"", "a"}, ""},
      {{"--", "-mybackup", "--", "-M"}, ""},
      {{"-dryrun", "-LIST", "-Json", "-VERBOSE", "-RESTORE12", "-X*.tmp", "-xMy Documents/", "-X\"a b\"", "a"}, ""},
      {{"-DRYRUNX", "a"}, unknown("-DRYRUNX")},
      {{"-VERBOSE x", "a"}, unknown("-VERBOSE x")},
      {{"-RESTORE", "a"}, "-RESTORE is followed by the number of a generation (-RESTORE1 is the newest): -RESTORE"},
      {{"-restore0"}, "-RESTORE is followed by the number of a generation (-RESTORE1 is the newest): -restore0"},
      {{"-RESTORE2x"}, "-RESTORE is followed by the number of a generation (-RESTORE1 is the newest): -RESTORE2x"},
      {{"-X", "*.tmp"}, "-X is followed by a pattern to exclude (in double quotes only as a whole): -X"},
      {{"-xa\"b"}, "-x is followed by a pattern to exclude (in double quotes only as a whole): -xa\"b"},
      {{"-X\"a"}, "-X is followed by a pattern to exclude (in double quotes only as a whole): -X\"a"},
      {{"-Xa//b"}, "exclude pattern \"a//b\" cannot be used: an empty name (//)"},
      {{"-ONLY", "a"}, "-ONLY is followed by a path relative to the source (in double quotes only as a whole): -ONLY"},
      {{"-ONLYa/../b"}, "path \"a/../b\" cannot be used: \".\" and \"..\" are no names here"},
      {{"-ONLY/etc"}, "path \"/etc\" cannot be used: write it relative to the source (not beginning with /)"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(RefuseArguments(c.arguments, '-', Language::kEnglish), c.refusal) << c.refusal;
  }
  // With "/" for options, as on Windows, "-" begins a path and "/" an option.
  EXPECT_EQ(RefuseArguments({"/M", "-3", "/NODEL", "-x", "/ONLY\"a b/c\""}, '/'), "");
  EXPECT_EQ(RefuseArguments({"/backup", "x"}, '/', Language::kEnglish),
            "unknown option: /backup (a path beginning with \"/\" is written after --)");
  EXPECT_EQ(RefuseArguments({"/backup", "x"}, '/'),
            "不明なオプションです: /backup（「/」で始まるパスは -- のあとに書きます）");
}

}  // namespace
}  // namespace veldar
