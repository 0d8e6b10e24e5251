#include "app/settings_qt.h"

#include <QSettings>
#include <QString>
#include <QVariant>

#include "res/string_table.h"

namespace veldar {
namespace {

QString KeyPath(const std::string& section, const std::string& key) {
  return QString::fromStdString(section) + QLatin1Char('/') + QString::fromStdString(key);
}

bool IsUtf8(const std::string& text) {
  const QByteArray bytes = QByteArray::fromStdString(text);
  return QString::fromUtf8(bytes).toUtf8() == bytes;
}

}  // namespace

QtSettingsStore::QtSettingsStore()
    // The native format is an INI file named .conf on Linux and the registry on Windows.
    : settings_(std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope,
                                            QString::fromStdString(LoadString(IDS_COMPANY)),
                                            QStringLiteral("VELDAR2"))) {}

QtSettingsStore::~QtSettingsStore() = default;

std::string QtSettingsStore::Read(const std::string& section, const std::string& key) {
  const QVariant value = settings_->value(KeyPath(section, key));
  if (!value.isValid()) return {};
  // A value stored as bytes reads back as them; a string as its UTF-8 form.
  return value.toByteArray().toStdString();
}

void QtSettingsStore::Write(const std::string& section, const std::string& key,
                            const std::string& value) {
  if (IsUtf8(value))
    settings_->setValue(KeyPath(section, key), QString::fromStdString(value));
  else
    settings_->setValue(KeyPath(section, key), QByteArray::fromStdString(value));
  settings_->sync();
}

std::string QtSettingsStore::FileName() const { return settings_->fileName().toStdString(); }

}  // namespace veldar
