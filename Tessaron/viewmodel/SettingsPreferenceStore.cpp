#include "viewmodel/SettingsPreferenceStore.hpp"

#include <QSettings>
#include <QStandardPaths>
#include <QString>
#include <QVariant>

#include <cerrno>
#include <cstdio>
#include <sys/stat.h>

#include "core/RegularFile.hpp"

namespace tessaron::viewmodel {

namespace fs = std::filesystem;

namespace {

// Why `path` must not be handed to Qt; none when it is a regular file (also
// through a symbolic link) or missing, which Qt creates on the first write.
std::optional<std::string> unusableBecause(const fs::path& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        if (errno == ENOENT) return std::nullopt;
        return "cannot be used: " + std::error_code(errno, std::generic_category()).message();
    }
    if (std::error_code kind = core::notRegularFileError(status.st_mode)) return kind.message();
    return std::nullopt;
}

QString qtPath(const fs::path& path) { return QString::fromStdString(path.string()); }

}  // namespace

SettingsPreferenceStore::SettingsPreferenceStore() : SettingsPreferenceStore(standardFile()) {}

SettingsPreferenceStore::SettingsPreferenceStore(fs::path file) : file_(std::move(file)) {}

fs::path SettingsPreferenceStore::standardFile() {
    // Where QSettings(organisation, application) keeps its file on Linux.
    fs::path folder = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation).toStdString();
    return folder / organisation / (std::string(application) + ".conf");
}

std::optional<std::string> SettingsPreferenceStore::refusal() const {
    std::lock_guard lock(mutex_);
    return refusal_;
}

bool SettingsPreferenceStore::usable() const {
    if (refusal_) return false;
    // Qt also opens the lock file beside it before a write.
    fs::path lockFile = file_;
    lockFile += ".lock";
    std::optional<std::string> why;
    if (auto reason = unusableBecause(file_))
        why = "The settings file " + file_.string() + " " + *reason;
    else if (auto lockReason = unusableBecause(lockFile))
        why = "The settings lock file " + lockFile.string() + " " + *lockReason;
    if (!why) return true;
    refusal_ = *why + ". Tessaron starts with its default settings and keeps changes only until it quits.";
    std::fprintf(stderr, "Tessaron: %s\n", refusal_->c_str());
    return false;
}

std::optional<std::string> SettingsPreferenceStore::string(const std::string& key) const {
    std::lock_guard lock(mutex_);
    if (!usable()) {
        auto found = sessionValues_.find(key);
        if (found == sessionValues_.end()) return std::nullopt;
        return found->second;
    }
    // The file alone: the organisation-wide and system files that
    // QSettings(organisation, application) would read as well are not
    // looked at, and so cannot block either.
    QSettings settings(qtPath(file_), QSettings::IniFormat);
    const QVariant value = settings.value(QString::fromStdString(key));
    if (!value.isValid()) return std::nullopt;
    return value.toString().toStdString();
}

void SettingsPreferenceStore::setString(const std::string& key, const std::string& value) {
    std::lock_guard lock(mutex_);
    if (!usable()) {
        sessionValues_[key] = value;
        return;
    }
    QSettings settings(qtPath(file_), QSettings::IniFormat);
    settings.setValue(QString::fromStdString(key), QString::fromStdString(value));
}

}  // namespace tessaron::viewmodel
