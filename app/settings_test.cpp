#include "app/settings.h"

#include <gtest/gtest.h>

#include "tests/engine_fixture.h"
#include "tests/test_util.h"

namespace veldar {
namespace {

class LoadSettingsTest : public ::testing::Test, protected testing::EngineServices<> {
 protected:
  void Store(const std::string& key, const std::string& value) { store.values["SETTINGS/" + key] = value; }
  void Load() { LoadSettings(store, engine); }

  testing::MemorySettings& store = settings;
};

TEST_F(LoadSettingsTest, FirstStartGivesDefaults) {
  engine.logSizeLimit = 0;
  Load();
  EXPECT_EQ(engine.generationCount, 3);
  EXPECT_EQ(engine.logSizeLimit, 500);
  EXPECT_EQ(engine.sourcePath, "");
  EXPECT_EQ(engine.backupDir, "");
  EXPECT_EQ(engine.restoreDir, "");
  EXPECT_EQ(engine.noDelete + engine.noForce + engine.noTime, 0);
  EXPECT_EQ(engine.successLog, 1);
  EXPECT_EQ(engine.skipLog, 1);
}

TEST_F(LoadSettingsTest, StoredValues) {
  Store("DEFALUTFILES", "12");
  Store("LASTFILE", "/home/u/docs");
  Store("LASTDIR", "/backup");
  Store("LASTOPT", "101");
  Store("LOGSIZE", " 1000kb");
  Store("RESDIR", "/restore");
  Store("LOGOPT", "01");
  Store("LINK", "1");
  Store("EXCLUDE", "*.tmp | /build/");
  Load();
  EXPECT_EQ(engine.linkUnchanged, 1);
  EXPECT_EQ(engine.excludePatterns, (std::vector<std::string>{"*.tmp", "/build/"}));
  EXPECT_EQ(engine.generationCount, 12);
  EXPECT_EQ(engine.sourcePath, "/home/u/docs");
  EXPECT_EQ(engine.backupDir, "/backup");
  EXPECT_EQ(engine.noDelete, 1);
  EXPECT_EQ(engine.noForce, 0);
  EXPECT_EQ(engine.noTime, 1);
  EXPECT_EQ(engine.logSizeLimit, 1000);
  EXPECT_EQ(engine.restoreDir, "/restore");
  EXPECT_EQ(engine.successLog, 0);
  EXPECT_EQ(engine.skipLog, 1);
}

TEST_F(LoadSettingsTest, OddValues) {
  Store("DEFALUTFILES", "abc");  // only an empty value gives the default
  Store("LASTOPT", "x0y");       // any character but "0" sets the flag
  Store("LOGOPT", "1");          // a missing character reads as "0"
  Load();
  EXPECT_EQ(engine.generationCount, 0);
  EXPECT_EQ(engine.noDelete, 1);
  EXPECT_EQ(engine.noForce, 0);
  EXPECT_EQ(engine.noTime, 1);
  EXPECT_EQ(engine.successLog, 1);
  EXPECT_EQ(engine.skipLog, 0);

  Store("DEFALUTFILES", "-1");
  Store("LASTOPT", "1");
  Load();
  EXPECT_EQ(engine.generationCount, -1);
  EXPECT_EQ(engine.noDelete, 1);
  EXPECT_EQ(engine.noForce, 0);
  EXPECT_EQ(engine.noTime, 0);
}

TEST_F(LoadSettingsTest, SaveLastPathsWritesTheTwoPathsOnly) {
  engine.sourcePath = "/s";
  engine.backupDir = "/b";
  engine.SaveLastPaths();
  EXPECT_EQ(store.writes, (std::vector<std::string>{"LASTFILE=/s", "LASTDIR=/b"}));
}

}  // namespace
}  // namespace veldar
