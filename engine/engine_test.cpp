#include "engine/engine.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>

#include "testing/fake_environment.h"
#include "tests/engine_fixture.h"
#include "tests/test_util.h"

namespace veldar {
namespace {

std::string Expand(const std::string& text, const std::map<std::string, std::string>& env) {
  return ExpandEnvVars(text, [&](const std::string& name) {
    auto found = env.find(name);
    return found == env.end() ? std::string() : found->second;
  });
}

TEST(ExpandEnvVarsTest, Tokens) {
  const std::map<std::string, std::string> env = {
      {"TEMP", "/t"}, {"A", "x"}, {"B", "yz"}, {"P", "5%"}, {"SP ACE", "s"}};
  struct Case {
    const char* in;
    const char* out;
  } cases[] = {
      {"%TEMP%/work", "/t/work"},
      {"a%UNSET_NAME%b", "ab"},
      {"100%", "100%"},
      {"a%%b", "ab"},
      {"%A%%B%", "xyz"},
      {"%P%", "5%"},  // a "%" brought in by a value starts no token
      {"%P%%A%", "5%x"},
      {"%A%/%A%", "x/x"},
      {"plain text", "plain text"},
      {"%SP ACE%", "s"},
      {"x%A%y%open", "xxy%open"},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(Expand(c.in, env), c.out) << c.in;
}

TEST(ExpandEnvVarsTest, ReadsTheEnvironmentThroughTheOsLayer) {
  testing::SetEnv("VELDAR2_TEST_VAR", "value");
  auto os = MakeSystemOs();
  EXPECT_EQ(ExpandEnvVars("[%VELDAR2_TEST_VAR%]", *os), "[value]");
  EXPECT_EQ(ExpandEnvVars("[%%]", *os), "[]");
  FakeEnvironment fault(*os);
  fault.env["VELDAR2_TEST_VAR"] = "overridden";
  EXPECT_EQ(ExpandEnvVars("[%VELDAR2_TEST_VAR%]", fault), "[overridden]");
}

TEST(EngineTest, ResetKeepsLogSettingsRestoreDirAndNoMessageFlag) {
  testing::EngineServices<> services;
  CVELDAR2Engine& engine = services.engine;
  engine.sourcePath = "s";
  engine.backupDir = "b";
  engine.targetPath = "t";
  engine.generationCount = 4;
  engine.noDelete = engine.noForce = engine.noTime = 1;
  engine.successLog = engine.skipLog = 0;
  engine.generations.resize(3);
  engine.restoreDir = "r";
  engine.logSizeLimit = 777;
  engine.noMessage = 1;

  engine.Reset();
  EXPECT_TRUE(engine.sourcePath.empty() && engine.backupDir.empty() && engine.targetPath.empty());
  EXPECT_EQ(engine.generationCount, 0);
  EXPECT_EQ(engine.noDelete + engine.noForce + engine.noTime, 0);
  EXPECT_EQ(engine.successLog + engine.skipLog, 2);
  EXPECT_TRUE(engine.generations.empty());
  EXPECT_EQ(engine.restoreDir, "r");
  EXPECT_EQ(engine.logSizeLimit, 777);
  EXPECT_EQ(engine.noMessage, 1);
}

// The engine object's own operations, one after another on the job its
// fields hold: what each returns, and what it did.
class EngineOperationsTest : public testing::EngineTest {};

TEST_F(EngineOperationsTest, EachWorksOnTheJobItHolds) {
  const std::string src = dir / "src", bk = dir / "bk", work = dir / "work";
  testing::WriteFile(src + "/a", "a");
  testing::MakeDirs(bk);
  engine.sourcePath = src;
  engine.backupDir = bk;
  engine.generationCount = 3;
  const auto generations = [&](int found) { return engine.generations.size() == std::size_t(found); };
  struct Step {
    const char* name;
    std::function<int()> call;
    std::function<bool()> done;
  } steps[] = {
      {"DirCreate", [&] { return engine.DirCreate(work); }, [&] { return testing::IsDir(work); }},
      {"FileCopy", [&] { return engine.FileCopy(src + "/a", work + "/a"); },
       [&] { return testing::ReadFile(work + "/a") == "a"; }},
      {"FileDelete", [&] { return engine.FileDelete(work + "/a"); }, [&] { return !testing::Exists(work + "/a"); }},
      {"MirrorDir", [&] { return engine.MirrorDir(src, work); }, [&] { return testing::ReadFile(work + "/a") == "a"; }},
      {"DeleteDirContents", [&] { return engine.DeleteDirContents(work); },
       [&] { return testing::ListNames(work).empty(); }},
      {"DirRemove", [&] { return engine.DirRemove(work); }, [&] { return !testing::Exists(work); }},
      {"CheckParameters", [&] { return engine.CheckParameters(); }, [&] { return messages.shown.empty(); }},
      {"Backup", [&] { return engine.Backup(); }, [&] { return engine.FindDirGenerations() && generations(1); }},
      {"MakeDirGenerationName", [&] { return int(engine.MakeDirGenerationName() == "src_2"); }, [] { return true; }},
      {"BackupDir", [&] { return engine.BackupDir(); }, [&] { return engine.FindDirGenerations() && generations(2); }},
      {"BackupFile",
       [&] {
         engine.sourcePath = src + "/a";
         return engine.BackupFile();
       },
       [&] { return engine.FindFileGenerations() && generations(1); }},
      {"MakeFileGenerationPath",
       [&] {
         engine.MakeFileGenerationPath();
         return int(engine.targetPath == engine.os.Paths().Join(bk, "_2.a_"));
       },
       [] { return true; }},
  };
  for (const Step& step : steps) {
    EXPECT_NE(step.call(), 0) << step.name;
    EXPECT_TRUE(step.done()) << step.name;
  }
}

}  // namespace
}  // namespace veldar
