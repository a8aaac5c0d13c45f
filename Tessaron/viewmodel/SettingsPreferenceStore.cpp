#include "viewmodel/SettingsPreferenceStore.hpp"

#include <QSettings>
#include <QString>
#include <QVariant>

namespace tessaron::viewmodel {

std::optional<std::string> SettingsPreferenceStore::string(const std::string& key) const {
    QSettings settings(organisation, application);
    const QVariant value = settings.value(QString::fromStdString(key));
    if (!value.isValid()) return std::nullopt;
    return value.toString().toStdString();
}

void SettingsPreferenceStore::setString(const std::string& key, const std::string& value) {
    QSettings settings(organisation, application);
    settings.setValue(QString::fromStdString(key), QString::fromStdString(value));
}

}  // namespace tessaron::viewmodel
