#pragma once

#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "core/PreferenceStore.hpp"
#include "pipeline/RunReport.hpp"

namespace tessaron::viewmodel {

// The application-wide preferences in QSettings (organisation and
// application "Tessaron"; on Linux ~/.config/Tessaron/Tessaron.conf, or
// under $XDG_CONFIG_HOME). Values are stored as text under the keys below;
// a missing key reads as absent and the caller applies its default.
//
// Qt opens the file without looking at what it is: a FIFO there blocks the
// first read for good, and a symbolic link to a device has the device node
// replaced by the first write. So before every use the file and its lock file
// must be regular files or missing. When one is not, the store leaves it
// alone for the rest of the process: reads start from the defaults, writes
// are kept in memory only, and the reason is told once on stderr and by
// refusal().
//
// Threads: each call opens its own QSettings, which Qt synchronises across
// threads and instances; the refusal and the values kept in memory are
// guarded by `mutex_`. The store may be used from any thread.
class SettingsPreferenceStore : public core::PreferenceStore {
public:
    static constexpr const char* organisation = "Tessaron";
    static constexpr const char* application = "Tessaron";

    // The keys and their defaults.
    static constexpr const char* checkForUpdatesKey = "checkForUpdates";  // default true
    static constexpr bool checkForUpdatesDefault = true;
    static constexpr const char* lastUpdateCheckKey = "lastUpdateCheck";
    static constexpr const char* laterBuildKey = "laterBuild";
    static constexpr const char* hasSeenWelcomeTourKey = "hasSeenWelcomeTour";
    static constexpr const char* leftMenuWidthKey = "leftMenuWidth";  // default 430
    static constexpr double leftMenuWidthDefault = 430;
    static constexpr const char* reportedInterruptedRunKey = pipeline::RunReport::reportedInterruptedRunKey;

    // The user's settings file, where Qt keeps organisation/application.
    SettingsPreferenceStore();
    explicit SettingsPreferenceStore(std::filesystem::path file);

    static std::filesystem::path standardFile();
    const std::filesystem::path& file() const { return file_; }

    // Why the settings file is left alone, as one sentence naming it; none
    // while it is in use.
    std::optional<std::string> refusal() const;

    std::optional<std::string> string(const std::string& key) const override;
    void setString(const std::string& key, const std::string& value) override;

private:
    // Whether the file may be opened; on the first refusal records and
    // tells why. Called with `mutex_` held.
    bool usable() const;

    std::filesystem::path file_;
    mutable std::mutex mutex_;
    mutable std::optional<std::string> refusal_;
    std::map<std::string, std::string> sessionValues_;  // only while refused
};

}  // namespace tessaron::viewmodel
