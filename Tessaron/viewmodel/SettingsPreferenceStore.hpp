#pragma once

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
// Threads: each call opens its own QSettings, which Qt synchronises across
// threads and instances, so the store may be used from any thread.
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

    std::optional<std::string> string(const std::string& key) const override;
    void setString(const std::string& key, const std::string& value) override;
};

}  // namespace tessaron::viewmodel
