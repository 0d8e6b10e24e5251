// The settings file against QSettings, which versions up to 2.00 kept it
// with: QSettings reads what this store writes as the value stored, so that
// an older version can take the file over. (The other way round:
// settings_file_test.cpp reads a file 2.00 wrote.)

#include <gtest/gtest.h>

#include <QSettings>
#include <QString>

#include "app/settings_file.h"
#include "tests/test_util.h"

namespace veldar {
namespace {

// Values a path or a setting may hold that the INI form must carry intact.
const std::string kValues[] = {
    "/home/u/docs",
    "/home/u/ドキュメント/report, draft; v2=final.odt",
    " both ends ",
    "q\"uote\\back\ttab\nline\x01"
    "9\x1b",
    "@home",
    "caf\xe9 \xff,;=\"",  // no UTF-8
    "",
    "1,2",
};

// As version 2.00 read a value.
std::string ReadAsBefore(QSettings& settings, const QString& key) {
  return settings.value(key).toByteArray().toStdString();
}

TEST(SettingsFileQtTest, QSettingsReadsWhatThisStoreWrites) {
  testing::TempDir dir;
  const std::string path = dir / "VELDAR2.conf";
  testing::WriteFile(path, "; a comment QSettings does not keep\n[SETTINGS]\nLINK = 1\n");
  {
    SettingsFile file(path);
    for (std::size_t i = 0; i < std::size(kValues); ++i) file.Write("SETTINGS", "K" + std::to_string(i), kValues[i]);
  }
  QSettings before(QString::fromStdString(path), QSettings::IniFormat);
  for (std::size_t i = 0; i < std::size(kValues); ++i) {
    EXPECT_EQ(ReadAsBefore(before, QStringLiteral("SETTINGS/K%1").arg(i)), kValues[i]) << i;
  }
  EXPECT_EQ(ReadAsBefore(before, QStringLiteral("SETTINGS/LINK")), "1");
}

}  // namespace
}  // namespace veldar
