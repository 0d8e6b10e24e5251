#include "engine/engine.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace veldar
