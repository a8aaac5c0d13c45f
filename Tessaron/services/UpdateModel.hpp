#pragma once

#include <QObject>
#include <QString>
#include <QUrl>

#include <array>
#include <cstdint>
#include <functional>
#include <optional>

#include "core/DateText.hpp"
#include "core/PreferenceStore.hpp"
#include "services/FeedFetch.hpp"
#include "services/LatestRelease.hpp"
#include "services/ServiceEndpoints.hpp"

class QMessageBox;

namespace tessaron::services {

// The daily update check and the release it offers. The main window's banner
// shows `available` and its dismiss calls remindLater(); the Help menu calls
// checkNow(). Lives on the main thread; the feed is read asynchronously and
// every result is published there.
class UpdateModel : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool hasAvailable READ hasAvailable NOTIFY availableChanged)
public:
    static constexpr const char* checkForUpdatesKey = "checkForUpdates";
    // The date of the last check that got an answer (a failed one is not
    // stored, so that the next launch tries again).
    static constexpr const char* lastUpdateCheckKey = "lastUpdateCheck";
    static constexpr const char* laterBuildKey = "laterBuild";
    static constexpr std::chrono::seconds dailyInterval{86400};

    // `defaults` must outlive the model; `now` tells the current date.
    explicit UpdateModel(core::PreferenceStore& defaults, ServiceEndpoints endpoints = ServiceEndpoints::standard(),
                         std::function<core::TimePoint()> now = [] { return core::Clock::now(); },
                         QObject* parent = nullptr);

    const std::optional<LatestRelease>& available() const { return available_; }
    bool hasAvailable() const { return available_.has_value(); }

    // The automatic check: only when "checkForUpdates" is on (absent: on)
    // and the last check is absent, in the future or a day old. A release
    // whose build the user put off with "Later" is not offered again.
    void checkIfDue();
    // The manual check: always fetches, publishes what it found (none
    // included) and tells the result in an alert.
    void checkNow();
    // Puts off the offered release: its build is stored under "laterBuild"
    // and nothing is offered any more.
    void remindLater();

    struct FetchOutcome {
        std::optional<LatestRelease> release;
        QString refusal;  // why there is none; empty with a release
        // The check itself failed: the feed could not be fetched or read, or
        // its release links where it may not. Otherwise a missing release
        // means the feed had nothing newer for this system.
        bool failed = false;
    };
    // Reads the feed and keeps the release only when it is newer than this
    // build, its links are allowed and this system is new enough.
    void fetchLatestRelease(std::function<void(FetchOutcome)> done);
    // How long one fetch may take as a whole (FeedFetch::standardDeadline).
    void setFetchDeadline(std::chrono::milliseconds deadline) { fetchDeadline_ = deadline; }

    // The longest feed text (the version) shown in the banner and the alert.
    static constexpr int shownTextLimit = 32;
    // Feed text as it may be shown: control characters and line breaks as
    // blanks, format characters (direction overrides) left out, cut to
    // shownTextLimit characters with "…". Shown as plain text, never markup.
    static QString shownText(const QString& feedText);

    // This build's number as text; "0" when there is none.
    static QString currentBuild();
    // Exactly "https" and one of the allowed hosts.
    bool isAllowed(const QUrl& url) const;
    // Whether this system's VERSION_ID is at least `minOS` (one to three
    // whole numbers joined by ".").
    static bool isOSSupported(const QString& minOS);
    static bool isOSSupported(const QString& minOS, std::array<int64_t, 3> runningVersion);
    // A build text as a signed decimal number; 0 when it is not one.
    static int64_t parsedBuild(const QString& text);

signals:
    void availableChanged();
    // After every checkIfDue() and checkNow(), also when nothing was fetched.
    void checkFinished();
    // checkNow()'s alert is on screen.
    void alertShown(QMessageBox* alert);

private:
    void setAvailable(std::optional<LatestRelease> release);
    void showCheckResult();
    QString refusal(const LatestRelease& release, const QString& build) const;
    bool linksAllowed(const LatestRelease& release) const;

    core::PreferenceStore& defaults_;
    ServiceEndpoints endpoints_;
    std::function<core::TimePoint()> now_;
    std::optional<LatestRelease> available_;
    std::chrono::milliseconds fetchDeadline_ = FeedFetch::standardDeadline;
    // What the last checkNow() found, for its alert.
    FetchOutcome lastManualOutcome_;
};

}  // namespace tessaron::services
