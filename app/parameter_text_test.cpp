// The Windows way in: the command line's text after the program name, handed
// to the application whole. Checked on every platform with '/' options.

#include <gtest/gtest.h>

#include <sstream>

#include "app/app.h"
#include "testing/fake_environment.h"
#include "testing/fault_injector.h"
#include "tests/test_util.h"

namespace veldar {
namespace {

TEST(ProgramParameterTextTest, EverythingAfterTheProgramName) {
  const struct {
    const char* commandLine;
    const char* parameters;
  } cases[] = {
      {"veldar2.exe /M3 C:\\data D:\\backup", "/M3 C:\\data D:\\backup"},
      {"\"C:\\Program Files\\VELDAR2\\veldar2.exe\" /M3 \"C:\\my data\" D:\\b", "/M3 \"C:\\my data\" D:\\b"},
      {"C:\\\"Program Files\"\\veldar2.exe  /NOMSG x", "/NOMSG x"},
      {"veldar2.exe\t/M2 a  b ", "/M2 a  b "},
      {"veldar2.exe \"  quoted blanks stay\"", "\"  quoted blanks stay\""},
      {"veldar2.exe", ""},
      {"\"veldar2.exe\"", ""},
      {"veldar2.exe   ", ""},
      {"\"C:\\unterminated name /M3 a b", ""},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(ProgramParameterText(c.commandLine), c.parameters) << c.commandLine;
}

class ParameterTextTest : public ::testing::Test {
 protected:
  ParameterTextTest() {
    environment.logDirOverride = dir.path() + "/state/";
    app.optionChar = '/';  // Windows' option character
    settings.values["SETTINGS/DEFALUTFILES"] = "9";
  }
  int Run(const std::string& text) {
    out.str("");
    err.str("");
    app.commandLine = "(not set)";
    return app.InitInstanceFromText(text, out, err);
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

// Help, version and refusals answer before anything is read; everything else
// reaches the parser exactly as it was typed (here stopped by an open
// instance, the first thing after the refusals).
TEST_F(ParameterTextTest, AnsweredRefusedOrPassedOnWhole) {
  enum Outcome { kHelp, kVersion, kRefused, kPassedOn };
  const struct {
    const char* text;
    Outcome outcome;
    const char* said = "";  // how a refusal begins
  } cases[] = {
      {"/?", kHelp},
      {"/M3 C:\\a --help", kHelp},
      {"-h", kHelp},
      {"--version", kVersion},
      {"/M3 /MYBACKUP C:\\a", kRefused, "unknown option: /MYBACKUP ("},
      {"/Mx C:\\a D:\\b", kRefused, "unknown option: /Mx ("},      // "/M" with a count of 0
      {"/M \"3\" C:\\a D:\\b", kRefused, "unknown option: /M ("},  // a quote stops the count at 0 too
      {"/M3 C:\\a /NOMSGX /X /Y", kRefused, "/X is followed by a pattern to exclude"},  // a switch takes any tail
      {"/M3 \"C:\\--help\" D:\\b", kPassedOn},                                          // a quoted word is a path
      {"/M 3 C:\\a D:\\b", kPassedOn},                                                  // the count read past the blank
      {"/m3 /nomsg /NOFORCE /NoDel /NOTIME /LINK C:\\a D:\\b", kPassedOn},
      {"\"/data\"  \"D:\\my backup\"", kPassedOn},
      {"C:\\a   D:\\b\t", kPassedOn},
      {"/M3 /X\"My Documents/\" /x*.tmp C:\\a D:\\b", kPassedOn},                     // a quoted pattern is one word
      {"/M3 /X\"a C:\\a D:\\b", kRefused, "/X is followed by a pattern to exclude"},  // never closed
  };
  app.language = Language::kEnglish;
  int asked = 0;
  app.findRunningInstance = [&asked] {
    ++asked;
    return false;
  };
  for (const auto& c : cases) {
    const int status = Run(c.text);
    switch (c.outcome) {
      case kHelp:
        EXPECT_EQ(status, kExitSuccess) << c.text;
        EXPECT_NE(out.str().find("[/NOMSG]"), std::string::npos) << c.text;
        break;
      case kVersion:
        EXPECT_EQ(status, kExitSuccess) << c.text;
        EXPECT_EQ(out.str(), "VELDAR2 2.00\n") << c.text;
        break;
      case kRefused:
        EXPECT_EQ(status, kExitFailure) << c.text;
        EXPECT_EQ(err.str().rfind("veldar2: " + std::string(c.said), 0), 0u) << c.text << ": " << err.str();
        break;
      case kPassedOn:
        EXPECT_EQ(status, kExitOtherInstance) << c.text;
        EXPECT_EQ(app.commandLine, c.text);
        break;
    }
    if (c.outcome != kPassedOn) {
      EXPECT_EQ(app.commandLine, "(not set)") << c.text;
    }
  }
  EXPECT_EQ(asked, 6) << "only what is passed on looks for an open instance";
  EXPECT_EQ(Run(""), kExitSuccess) << "a start without parameters only shows the open window";
  EXPECT_EQ(app.engine.generationCount, 0) << "settings were read";
  EXPECT_FALSE(testing::Exists(environment.logDirOverride));
}

// A malformed exclude or restore option is told for what it is, as on the
// command line a shell splits: a backslash between names above all, the
// mistake a Windows user makes.
TEST_F(ParameterTextTest, MalformedOptionsAreToldWhy) {
  app.language = Language::kEnglish;
  const struct {
    const char* text;
    const char* said;
  } cases[] = {
      {"/M3 /Xsub\\tmp C:\\a D:\\b", "exclude pattern \"sub\\tmp\" cannot be used: names are separated by / (not \\)"},
      {"/M3 /X C:\\a D:\\b", "/X is followed by a pattern to exclude (in double quotes only as a whole): /X"},
      {"/M3 /Xa//b C:\\a D:\\b", "exclude pattern \"a//b\" cannot be used: an empty name (//)"},
      {"/RESTORE0 C:\\a D:\\b C:\\r",
       "/RESTORE is followed by the number of a generation (/RESTORE1 is the newest): /RESTORE0"},
      {"/RESTOREx C:\\a D:\\b C:\\r",
       "/RESTORE is followed by the number of a generation (/RESTORE1 is the newest): /RESTOREx"},
      {"/M3 /NOPE C:\\a D:\\b", "unknown option: /NOPE (a path beginning with \"/\" is written in double quotes)"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Run(c.text), kExitFailure) << c.text;
    EXPECT_EQ(err.str(), "veldar2: " + std::string(c.said) + "\n") << c.text;
  }
}

// Quoted paths with blanks reach the parser with their quotes and make the
// generations they name.
TEST_F(ParameterTextTest, QuotedPathsWithBlanksRunABackup) {
  testing::WriteFile(dir / "my docs/a.txt", "a");
  testing::MakeDirs(dir / "my backup");
  const std::string text = "/M2  \"" + dir / "my docs" + "\" \"" + dir / "my backup" + "\" /NOMSG";
  EXPECT_EQ(Run(text), kExitSuccess) << err.str();
  EXPECT_EQ(app.engine.generationCount, 2);
  EXPECT_EQ(app.engine.noMessage, 1);
  EXPECT_EQ(testing::ReadFile(dir / "my backup/my docs_1/a.txt"), "a");
  EXPECT_EQ(settings.values["SETTINGS/LASTFILE"], dir / "my docs");
}

}  // namespace
}  // namespace veldar
