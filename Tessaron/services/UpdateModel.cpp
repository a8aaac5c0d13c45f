#include "services/UpdateModel.hpp"

#include <QDesktopServices>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>

#include <algorithm>
#include <charconv>

#include "core/ResourceLocator.hpp"
#include "engines/MachineFacts.hpp"

namespace tessaron::services {

namespace {

// A reason as a line of the alert: capitalised, with a full stop, and no
// longer than a line or two however much of the feed it quotes.
QString sentence(const QString& reason) {
    constexpr qsizetype longest = 160;
    QString text = reason.left(longest);
    if (reason.size() > longest) text.back() = QChar(0x2026);
    if (!text.isEmpty()) text[0] = text[0].toUpper();
    if (!text.endsWith(QLatin1Char('.')) && !text.endsWith(QChar(0x2026))) text += QLatin1Char('.');
    return text;
}

}  // namespace

UpdateModel::UpdateModel(core::PreferenceStore& defaults, ServiceEndpoints endpoints,
                         std::function<core::TimePoint()> now, QObject* parent)
    : QObject(parent), defaults_(defaults), endpoints_(std::move(endpoints)), now_(std::move(now)) {}

QString UpdateModel::currentBuild() {
    std::string build = core::ResourceLocator::build();
    return build.empty() ? QStringLiteral("0") : QString::fromStdString(build);
}

int64_t UpdateModel::parsedBuild(const QString& text) {
    std::string digits = text.toStdString();
    if (digits.starts_with('+')) {
        digits.erase(0, 1);
        if (digits.starts_with('-')) return 0;
    }
    int64_t value = 0;
    auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (error != std::errc() || end != digits.data() + digits.size()) return 0;
    return value;
}

bool UpdateModel::isAllowed(const QUrl& url) const {
    return url.scheme() == QLatin1String("https") && endpoints_.allowedHosts.contains(url.host());
}

bool UpdateModel::isOSSupported(const QString& minOS, std::array<int64_t, 3> runningVersion) {
    auto required = engines::MachineFacts::dottedVersion(minOS.toStdString());
    return required && runningVersion >= *required;
}

bool UpdateModel::isOSSupported(const QString& minOS) {
    // A system without a numeric VERSION_ID (a rolling release) cannot show
    // that it is new enough.
    std::array<int64_t, 3> running{0, 0, 0};
    if (auto versionID = engines::MachineFacts::operatingSystemVersionID())
        if (auto version = engines::MachineFacts::dottedVersion(*versionID)) running = *version;
    return isOSSupported(minOS, running);
}

QString UpdateModel::refusal(const LatestRelease& release, const QString& build) const {
    if (parsedBuild(build) >= release.build)
        return QStringLiteral("build %1 is not newer than this build (%2)").arg(release.build).arg(build);
    if (!isAllowed(release.url)) return QStringLiteral("the release link is not allowed: ") + release.url.toString();
    if (release.notesURL && !isAllowed(*release.notesURL))
        return QStringLiteral("the notes link is not allowed: ") + release.notesURL->toString();
    if (release.minOS && !isOSSupported(*release.minOS))
        return QStringLiteral("this system is older than the release's minimum ") + *release.minOS;
    return {};
}

bool UpdateModel::linksAllowed(const LatestRelease& release) const {
    return isAllowed(release.url) && (!release.notesURL || isAllowed(*release.notesURL));
}

QString UpdateModel::shownText(const QString& feedText) {
    QString text;
    text.reserve(std::min<qsizetype>(feedText.size(), shownTextLimit + 1));
    for (QChar character : feedText) {
        if (text.size() > shownTextLimit) break;
        switch (character.category()) {
        case QChar::Other_Control:
        case QChar::Separator_Line:
        case QChar::Separator_Paragraph: text += QChar(u' '); break;
        // Invisible, and a direction override would turn the message around.
        case QChar::Other_Format: break;
        default: text += character;
        }
    }
    if (text.size() > shownTextLimit) {
        text.truncate(shownTextLimit - 1);
        // Not half a surrogate pair before the ellipsis.
        if (!text.isEmpty() && text.back().isHighSurrogate()) text.chop(1);
        text += QChar(0x2026);
    }
    return text;
}

void UpdateModel::fetchLatestRelease(std::function<void(FetchOutcome)> done) {
    QString build = currentBuild();
    auto* fetch = new FeedFetch(endpoints_, build, fetchDeadline_, this);
    fetch->start([this, build, done = std::move(done)](FeedFetch::Result result) {
        if (!result.release) {
            done({std::nullopt, result.failure, true});
            return;
        }
        QString why = refusal(*result.release, build);
        if (!why.isEmpty()) {
            // Links where they may not point are a broken feed, not an
            // answer; an older build or a newer system's release is one.
            bool newer = parsedBuild(build) < result.release->build;
            done({std::nullopt, why, newer && !linksAllowed(*result.release)});
            return;
        }
        done({std::move(result.release), {}, false});
    });
}

void UpdateModel::checkIfDue() {
    if (defaults_.string(checkForUpdatesKey) == "false") {
        emit checkFinished();
        return;
    }
    core::TimePoint now = now_();
    if (auto stored = defaults_.string(lastUpdateCheckKey)) {
        // A date in the future (a clock set back) counts as due, so that a
        // wrong clock cannot silence the check for good.
        if (auto last = core::parseISO8601(*stored); last && *last <= now && now - *last < dailyInterval) {
            emit checkFinished();
            return;
        }
    }
    fetchLatestRelease([this, now](FetchOutcome outcome) {
        // Only an answer counts as the day's check: after a failed one the
        // next launch asks again.
        if (!outcome.failed) defaults_.setString(lastUpdateCheckKey, core::iso8601Text(now));
        int64_t laterBuild = parsedBuild(QString::fromStdString(defaults_.string(laterBuildKey).value_or("0")));
        if (outcome.release && outcome.release->build != laterBuild) setAvailable(std::move(outcome.release));
        emit checkFinished();
    });
}

void UpdateModel::checkNow() {
    fetchLatestRelease([this, now = now_()](FetchOutcome outcome) {
        if (!outcome.failed) defaults_.setString(lastUpdateCheckKey, core::iso8601Text(now));
        lastManualOutcome_ = outcome;
        setAvailable(std::move(outcome.release));
        showCheckResult();
        emit checkFinished();
    });
}

void UpdateModel::remindLater() {
    defaults_.setString(laterBuildKey, std::to_string(available_ ? available_->build : 0));
    setAvailable(std::nullopt);
}

void UpdateModel::setAvailable(std::optional<LatestRelease> release) {
    if (release == available_) return;
    available_ = std::move(release);
    emit availableChanged();
}

void UpdateModel::showCheckResult() {
    auto* alert = new QMessageBox();
    alert->setAttribute(Qt::WA_DeleteOnClose);
    alert->setWindowModality(Qt::ApplicationModal);
    alert->setWindowTitle(QStringLiteral("Tessaron"));
    // Feed texts are shown as they are, never as markup with links of their own.
    alert->setTextFormat(Qt::PlainText);
    if (available_) {
        LatestRelease release = *available_;
        alert->setIcon(QMessageBox::Information);
        alert->setText(QStringLiteral("Tessaron ") + shownText(release.version) + QStringLiteral(" (build ") +
                       QString::number(release.build) + QStringLiteral(") is available"));
        alert->setInformativeText(QStringLiteral("You have build ") + currentBuild() + QStringLiteral("."));
        QPushButton* download = alert->addButton(QStringLiteral("Download"), QMessageBox::AcceptRole);
        alert->addButton(QStringLiteral("Later"), QMessageBox::RejectRole);
        alert->setDefaultButton(download);
        connect(alert, &QMessageBox::finished, this, [this, alert, download, release] {
            if (alert->clickedButton() == download)
                QDesktopServices::openUrl(release.url);
            else
                remindLater();
        });
    } else if (lastManualOutcome_.failed) {
        alert->setIcon(QMessageBox::Warning);
        alert->setText(QStringLiteral("Couldn't check for updates"));
        alert->setInformativeText(sentence(lastManualOutcome_.refusal));
        alert->setStandardButtons(QMessageBox::Ok);
    } else {
        alert->setText(QStringLiteral("No update found"));
        alert->setInformativeText(QStringLiteral("Tessaron is up to date."));
        alert->setStandardButtons(QMessageBox::Ok);
    }
    if (auto* informative = alert->findChild<QLabel*>(QStringLiteral("qt_msgbox_informativelabel")))
        informative->setTextFormat(Qt::PlainText);
    alert->show();
    emit alertShown(alert);
}

}  // namespace tessaron::services
