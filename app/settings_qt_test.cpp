#include "app/settings_qt.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "tests/test_util.h"

namespace veldar {
namespace {

// QSettings reads XDG_CONFIG_HOME once per process, so one test does the round trip.
TEST(QtSettingsStoreTest, RoundTripThroughThePerUserIniFile) {
  testing::TempDir config;
  setenv("XDG_CONFIG_HOME", config.path().c_str(), 1);
  const std::string odd = std::string("/home/u/caf\xe9 \"q\", ; = [x]\n");
  {
    QtSettingsStore store;
    EXPECT_EQ(store.FileName(), config / "Orvanta/VELDAR2.conf");
    EXPECT_EQ(store.Read("SETTINGS", "LASTFILE"), "");
    store.Write("SETTINGS", "LASTFILE", "/home/u/ドキュメント");
    store.Write("SETTINGS", "LASTDIR", odd);
    store.Write("SETTINGS", "LASTOPT", "010");
    store.Write("SETTINGS", "DEFALUTFILES", "5");
  }
  const std::string text = testing::ReadFile(config / "Orvanta/VELDAR2.conf");
  EXPECT_NE(text.find("[SETTINGS]"), std::string::npos) << text;
  EXPECT_NE(text.find("LASTOPT=010"), std::string::npos) << text;

  QtSettingsStore store;
  EXPECT_EQ(store.Read("SETTINGS", "LASTFILE"), "/home/u/ドキュメント");
  EXPECT_EQ(store.Read("SETTINGS", "LASTDIR"), odd);
  EXPECT_EQ(store.Read("SETTINGS", "LASTOPT"), "010");
  EXPECT_EQ(store.Read("SETTINGS", "DEFALUTFILES"), "5");
}

}  // namespace
}  // namespace veldar
