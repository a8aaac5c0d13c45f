#include <QAbstractButton>
#include <QApplication>
#include <QDesktopServices>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTest>
#include <gtest/gtest.h>

#include "LocalHttpsServer.hpp"
#include "OpenedURLs.hpp"
#include "core/PreferenceStore.hpp"
#include "services/UpdateModel.hpp"

namespace tessaron::services {
namespace {

using std::chrono::seconds;
using testing::LocalHttpsServer;
using testing::OpenedURLs;

QByteArray feed(qint64 build, const QString& url = {}, const QString& extra = {}) {
    return QStringLiteral(R"({"version": "2.0", "build": %1, "url": "%2", "sha256": "abc"%3})")
        .arg(build)
        .arg(url)
        .arg(extra)
        .toUtf8();
}

class UpdateCheck : public ::testing::Test {
protected:
    void SetUp() override {
        if (!server.isListening()) GTEST_SKIP() << "openssl could not make the test certificate";
        endpoints.feedURL = QUrl(server.url(QStringLiteral("/latest.json")));
        endpoints.allowedHosts = {QStringLiteral("127.0.0.1")};
        endpoints.extraCACertificates =
            QSslCertificate::fromPath(QString::fromStdString(server.certificateFile().string()));
        respondWith(feed(building() + 1, downloadURL()));
    }

    static qint64 building() { return UpdateModel::parsedBuild(UpdateModel::currentBuild()); }
    QString downloadURL() const { return QStringLiteral("https://127.0.0.1/tessaron.tar.gz"); }

    void respondWith(QByteArray body, int status = 200, std::map<QByteArray, QByteArray> headers = {}) {
        server.respond({status, "Answer", std::move(headers), std::move(body)});
    }

    std::unique_ptr<UpdateModel> makeModel() {
        return std::make_unique<UpdateModel>(defaults, endpoints, [this] { return now; });
    }

    // Runs one check and waits for its end.
    void run(UpdateModel& model, void (UpdateModel::*check)()) {
        QSignalSpy finished(&model, &UpdateModel::checkFinished);
        (model.*check)();
        ASSERT_TRUE(finished.count() == 1 || finished.wait(20000));
    }

    UpdateModel::FetchOutcome fetch(UpdateModel& model) {
        std::optional<UpdateModel::FetchOutcome> result;
        model.fetchLatestRelease([&](UpdateModel::FetchOutcome outcome) { result = std::move(outcome); });
        EXPECT_TRUE(QTest::qWaitFor([&] { return result.has_value(); }, 30000));
        return result.value_or(UpdateModel::FetchOutcome{});
    }

    // The alert checkNow() shows.
    static QMessageBox* alert() {
        QMessageBox* box = nullptr;
        EXPECT_TRUE(QTest::qWaitFor(
            [&] { return (box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) != nullptr; }, 30000));
        return box;
    }
    static void click(QMessageBox* box, const QString& text) {
        for (QAbstractButton* button : box->buttons())
            if (button->text() == text) return QTest::mouseClick(button, Qt::LeftButton);
        ADD_FAILURE() << "no button " << text.toStdString();
    }

    LocalHttpsServer server;
    ServiceEndpoints endpoints;
    core::InMemoryPreferenceStore defaults;
    core::TimePoint now = core::Clock::now();
};

TEST_F(UpdateCheck, HigherBuildIsOfferedAfterExactlyOneRequest) {
    auto model = makeModel();
    QSignalSpy changed(model.get(), &UpdateModel::availableChanged);
    run(*model, &UpdateModel::checkIfDue);
    ASSERT_TRUE(model->available().has_value());
    EXPECT_EQ(model->available()->build, building() + 1);
    EXPECT_EQ(model->available()->version, "2.0");
    EXPECT_EQ(model->available()->sha256, "abc");
    EXPECT_EQ(changed.count(), 1);
    ASSERT_EQ(server.requests().size(), 1);
    EXPECT_EQ(server.requests()[0].method, "GET");
    EXPECT_EQ(server.requests()[0].path, "/latest.json");
    EXPECT_EQ(server.requests()[0].headers.at("user-agent"), "Tessaron/" + UpdateModel::currentBuild().toUtf8());
    EXPECT_FALSE(server.requests()[0].headers.contains("cookie"));
    EXPECT_EQ(defaults.string(UpdateModel::lastUpdateCheckKey), core::iso8601Text(now));
}

TEST_F(UpdateCheck, BodyOfExactlyTheLimitIsAccepted) {
    QByteArray body = feed(building() + 1, downloadURL());
    body += QByteArray(FeedFetch::bodyLimit - body.size(), ' ');
    respondWith(body);
    auto model = makeModel();
    EXPECT_TRUE(fetch(*model).release.has_value());
}

struct RefusedFeed {
    const char* name;
    int status;
    std::function<QByteArray(qint64 newerBuild)> body;
    std::map<QByteArray, QByteArray> headers;
    bool failed = true;  // the check failed, as opposed to finding nothing newer
};

void PrintTo(const RefusedFeed& feed, std::ostream* out) { *out << feed.name; }

class RefusedFeeds : public UpdateCheck, public ::testing::WithParamInterface<RefusedFeed> {};

TEST_P(RefusedFeeds, GiveNoUpdate) {
    respondWith(GetParam().body(building() + 1), GetParam().status, GetParam().headers);
    auto model = makeModel();
    run(*model, &UpdateModel::checkIfDue);
    EXPECT_FALSE(model->available().has_value());
    EXPECT_EQ(server.requests().size(), 1);  // a redirect is not followed
    // Only an answer is the day's check; a failed one is tried again.
    EXPECT_EQ(defaults.string(UpdateModel::lastUpdateCheckKey).has_value(), !GetParam().failed);
    UpdateModel::FetchOutcome outcome = fetch(*model);
    EXPECT_FALSE(outcome.refusal.isEmpty());
    EXPECT_EQ(outcome.failed, GetParam().failed) << outcome.refusal.toStdString();
}

const QString good = QStringLiteral("https://127.0.0.1/t.tar.gz");

INSTANTIATE_TEST_SUITE_P(
    Feed, RefusedFeeds,
    ::testing::Values(
        RefusedFeed{"SameBuild", 200, [](qint64 newer) { return feed(newer - 1, good); }, {}, false},
        RefusedFeed{"Redirect", 301, [](qint64 newer) { return feed(newer, good); }, {{"Location", "/moved.json"}}},
        RefusedFeed{"NoContent", 204, [](qint64) { return QByteArray(); }, {}},
        RefusedFeed{"NotFound", 404, [](qint64 newer) { return feed(newer, good); }, {}},
        RefusedFeed{"OneByteOverTheLimit", 200,
                    [](qint64 newer) {
                        QByteArray body = feed(newer, good);
                        return body + QByteArray(FeedFetch::bodyLimit + 1 - body.size(), ' ');
                    },
                    {}},
        RefusedFeed{"HttpLink", 200, [](qint64 newer) { return feed(newer, "http://127.0.0.1/t.tar.gz"); }, {}},
        RefusedFeed{"ForeignHost", 200, [](qint64 newer) { return feed(newer, "https://example.org/t.tar.gz"); }, {}},
        RefusedFeed{"ForeignNotes", 200,
                    [](qint64 newer) { return feed(newer, good, R"(, "notes_url": "https://example.org/notes")"); },
                    {}},
        RefusedFeed{"FutureSystem", 200,
                    [](qint64 newer) { return feed(newer, good, R"(, "min_os": "999999")"); }, {}, false},
        RefusedFeed{"MinimumWithEmptyPiece", 200, [](qint64 newer) { return feed(newer, good, R"(, "min_os": "1.")"); },
                    {}, false},
        RefusedFeed{"NotJSON", 200, [](qint64) { return QByteArray("<html>moved</html>"); }, {}},
        RefusedFeed{"MissingSha", 200,
                    [](qint64 newer) {
                        return QStringLiteral(R"({"version":"2","build":%1,"url":"%2"})").arg(newer).arg(good).toUtf8();
                    },
                    {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(UpdateCheck, AFailedCheckIsTriedAgainAtTheNextLaunch) {
    respondWith(feed(building() + 1, downloadURL()), 404);
    auto first = makeModel();
    run(*first, &UpdateModel::checkIfDue);
    EXPECT_FALSE(first->available().has_value());
    EXPECT_FALSE(defaults.string(UpdateModel::lastUpdateCheckKey).has_value());

    // The next launch, a minute later, asks again and hears the answer.
    respondWith(feed(building() + 1, downloadURL()));
    now += seconds(60);
    auto next = makeModel();
    run(*next, &UpdateModel::checkIfDue);
    EXPECT_EQ(server.requests().size(), 2);
    EXPECT_TRUE(next->available().has_value());
    EXPECT_EQ(defaults.string(UpdateModel::lastUpdateCheckKey), core::iso8601Text(now));
}

TEST_F(UpdateCheck, UntrustedCertificateGivesNoUpdate) {
    endpoints.extraCACertificates.clear();
    auto model = makeModel();
    UpdateModel::FetchOutcome outcome = fetch(*model);
    EXPECT_FALSE(outcome.release.has_value());
    EXPECT_TRUE(server.requests().isEmpty());
}

TEST_F(UpdateCheck, ModelGoneBeforeTheAnswerCallsNobody) {
    auto model = makeModel();
    bool called = false;
    model->fetchLatestRelease([&](UpdateModel::FetchOutcome) { called = true; });
    model.reset();
    // Another model's answer from the same server has come and gone.
    auto witness = makeModel();
    fetch(*witness);
    EXPECT_FALSE(called);
}

TEST_F(UpdateCheck, SwitchedOffCheckSendsNothingAndKeepsTheDate) {
    defaults.setString(UpdateModel::checkForUpdatesKey, "false");
    auto model = makeModel();
    run(*model, &UpdateModel::checkIfDue);
    // A request sent by the check would reach the server before this one.
    auto witness = makeModel();
    fetch(*witness);
    EXPECT_EQ(server.requests().size(), 1);
    EXPECT_FALSE(defaults.string(UpdateModel::lastUpdateCheckKey).has_value());
    EXPECT_FALSE(model->available().has_value());
}

struct LastCheck {
    const char* name;
    std::optional<seconds> age;  // none: never checked; negative: in the future
    bool due;
};

void PrintTo(const LastCheck& check, std::ostream* out) { *out << check.name; }

class CheckDue : public UpdateCheck, public ::testing::WithParamInterface<LastCheck> {};

TEST_P(CheckDue, OneRequestOnlyWhenDue) {
    if (GetParam().age) defaults.setString(UpdateModel::lastUpdateCheckKey, core::iso8601Text(now - *GetParam().age));
    std::optional<std::string> before = defaults.string(UpdateModel::lastUpdateCheckKey);
    auto model = makeModel();
    run(*model, &UpdateModel::checkIfDue);
    EXPECT_EQ(server.requests().size(), GetParam().due ? 1 : 0);
    EXPECT_EQ(model->available().has_value(), GetParam().due);
    if (GetParam().due)
        EXPECT_EQ(defaults.string(UpdateModel::lastUpdateCheckKey), core::iso8601Text(now));
    else
        EXPECT_EQ(defaults.string(UpdateModel::lastUpdateCheckKey), before);
}

INSTANTIATE_TEST_SUITE_P(Age, CheckDue,
                         ::testing::Values(LastCheck{"Never", std::nullopt, true},
                                           LastCheck{"ADayAgo", seconds(86400), true},
                                           LastCheck{"ASecondLessThanADay", seconds(86399), false},
                                           LastCheck{"JustNow", seconds(0), false},
                                           LastCheck{"InTheFuture", seconds(-3600), true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(UpdateCheck, UnreadableDateOrSwitchCountsAsDueAndOn) {
    defaults.setString(UpdateModel::lastUpdateCheckKey, "yesterday");
    defaults.setString(UpdateModel::checkForUpdatesKey, "maybe");
    auto model = makeModel();
    run(*model, &UpdateModel::checkIfDue);
    EXPECT_EQ(server.requests().size(), 1);
}

TEST_F(UpdateCheck, LaterSilencesThatBuildButNotTheNextOne) {
    auto model = makeModel();
    run(*model, &UpdateModel::checkIfDue);
    ASSERT_TRUE(model->available().has_value());
    model->remindLater();
    EXPECT_FALSE(model->available().has_value());
    EXPECT_EQ(defaults.string(UpdateModel::laterBuildKey), std::to_string(building() + 1));

    now += seconds(86400);
    run(*model, &UpdateModel::checkIfDue);
    EXPECT_FALSE(model->available().has_value());

    respondWith(feed(building() + 2, downloadURL()));
    now += seconds(86400);
    run(*model, &UpdateModel::checkIfDue);
    ASSERT_TRUE(model->available().has_value());
    EXPECT_EQ(model->available()->build, building() + 2);
    EXPECT_EQ(server.requests().size(), 3);
}

TEST_F(UpdateCheck, ManualCheckIgnoresTheSwitchAndTheLaterBuildAndOffersDownload) {
    defaults.setString(UpdateModel::checkForUpdatesKey, "false");
    defaults.setString(UpdateModel::laterBuildKey, std::to_string(building() + 1));
    OpenedURLs opened;
    auto model = makeModel();
    model->checkNow();
    QMessageBox* box = alert();
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(box->text(), QStringLiteral("Tessaron 2.0 (build %1) is available").arg(building() + 1));
    EXPECT_EQ(box->informativeText(), QStringLiteral("You have build %1.").arg(UpdateModel::currentBuild()));
    ASSERT_EQ(box->buttons().size(), 2);
    EXPECT_EQ(box->defaultButton()->text(), "Download");
    click(box, QStringLiteral("Download"));
    ASSERT_EQ(opened.urls.size(), 1);
    EXPECT_EQ(opened.urls[0], QUrl(downloadURL()));
    EXPECT_TRUE(model->available().has_value());  // the banner stays until dismissed
    EXPECT_EQ(server.requests().size(), 1);
}

TEST_F(UpdateCheck, ManualCheckLaterPutsTheBuildOff) {
    auto model = makeModel();
    model->checkNow();
    QMessageBox* box = alert();
    ASSERT_NE(box, nullptr);
    click(box, QStringLiteral("Later"));
    EXPECT_FALSE(model->available().has_value());
    EXPECT_EQ(defaults.string(UpdateModel::laterBuildKey), std::to_string(building() + 1));
}

struct ManualAnswer {
    const char* name;
    std::function<void(LocalHttpsServer&)> prepare;  // how the server answers
    QString text;
    QString informativeText;
};

void PrintTo(const ManualAnswer& answer, std::ostream* out) { *out << answer.name; }

class ManualCheckAlert : public UpdateCheck, public ::testing::WithParamInterface<ManualAnswer> {};

// "No update found" only when the feed answered with nothing newer; a check
// that could not read the feed says so, and why.
TEST_P(ManualCheckAlert, TellsWhetherTheFeedAnsweredAndHidesTheBanner) {
    auto model = makeModel();
    run(*model, &UpdateModel::checkIfDue);
    ASSERT_TRUE(model->available().has_value());
    QSignalSpy changed(model.get(), &UpdateModel::availableChanged);
    GetParam().prepare(server);
    model->checkNow();
    QMessageBox* box = alert();
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(box->text(), GetParam().text);
    EXPECT_EQ(box->informativeText(), GetParam().informativeText);
    EXPECT_FALSE(model->available().has_value());
    EXPECT_EQ(changed.count(), 1);
    QTest::keyClick(box, Qt::Key_Return);
    EXPECT_TRUE(QTest::qWaitFor([] { return QApplication::activeModalWidget() == nullptr; }, 30000));
}

INSTANTIATE_TEST_SUITE_P(
    Answers, ManualCheckAlert,
    ::testing::Values(
        ManualAnswer{"SameBuild",
                     [](LocalHttpsServer& server) {
                         qint64 running = UpdateModel::parsedBuild(UpdateModel::currentBuild());
                         server.respond({200, "OK", {}, feed(running, "https://127.0.0.1/t.tar.gz")});
                     },
                     "No update found", "Tessaron is up to date."},
        ManualAnswer{"ServerError", [](LocalHttpsServer& server) { server.respond({500, "Broken", {}, {}}); },
                     "Couldn't check for updates", "The update server answered with status 500."},
        ManualAnswer{"NotJSON", [](LocalHttpsServer& server) { server.respond({200, "OK", {}, "<html>"}); },
                     "Couldn't check for updates", "The feed is not JSON."}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(UpdateCheck, ManualCheckWithNobodyListeningSaysTheServerCouldNotBeReached) {
    // A loopback port that was just free: the connection is refused.
    QTcpServer probe;
    ASSERT_TRUE(probe.listen(QHostAddress::LocalHost, 0));
    endpoints.feedURL = QUrl(QStringLiteral("https://127.0.0.1:%1/latest.json").arg(probe.serverPort()));
    probe.close();
    auto model = makeModel();
    model->checkNow();
    QMessageBox* box = alert();
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(box->text(), "Couldn't check for updates");
    EXPECT_EQ(box->informativeText(), "The update server couldn't be reached: Connection refused.");
    QTest::keyClick(box, Qt::Key_Return);
}

// A server that sends a byte every little while restarts Qt's transfer
// time-out each time; the whole request's deadline still ends it.
TEST_F(UpdateCheck, TricklingServerIsGivenUpAtTheDeadline) {
    QByteArray body = feed(building() + 1, downloadURL());
    server.respond({200, "OK", {}, body + QByteArray(4000, ' '), std::chrono::milliseconds(100)});
    auto model = makeModel();
    model->setFetchDeadline(std::chrono::milliseconds(1500));
    UpdateModel::FetchOutcome outcome = fetch(*model);
    EXPECT_FALSE(outcome.release.has_value());
    EXPECT_TRUE(outcome.failed);
    EXPECT_EQ(outcome.refusal, "the update server did not send the feed within 1.5 seconds");
}

// The feed's version is shown as plain text and cut short: a link in it is
// no link, and 60,000 characters do not push the buttons off the screen.
TEST_F(UpdateCheck, FeedVersionIsShownAsShortPlainText) {
    const QString version = QStringLiteral("<a href=\"https://elsewhere.example/\">2.0</a>") + QString(60000, u'9');
    respondWith(QStringLiteral(R"({"version": "%1", "build": %2, "url": "%3", "sha256": "x"})")
                    .arg(QString(version).replace(u'"', QStringLiteral("\\\""))).arg(building() + 1).arg(downloadURL()).toUtf8());
    auto model = makeModel();
    model->checkNow();
    QMessageBox* box = alert();
    ASSERT_NE(box, nullptr);
    ASSERT_TRUE(model->available().has_value());
    EXPECT_EQ(model->available()->version, version);
    EXPECT_EQ(box->textFormat(), Qt::PlainText);
    EXPECT_EQ(box->text(), QStringLiteral("Tessaron ") + version.left(UpdateModel::shownTextLimit - 1) + QChar(0x2026) +
                               QStringLiteral(" (build %1) is available").arg(building() + 1));
    EXPECT_LT(box->sizeHint().width(), 900);
    click(box, QStringLiteral("Later"));

    EXPECT_EQ(UpdateModel::shownText(QStringLiteral("1.0\n\x1b[2J\u2028x\u202e2")), QStringLiteral("1.0  [2J x2"));
    EXPECT_EQ(UpdateModel::shownText(QString(UpdateModel::shownTextLimit, u'7')), QString(UpdateModel::shownTextLimit, u'7'));
}

// Rules that need no server.

TEST(UpdateRules, BuildTextsParseAsSignedDecimalOrZero) {
    const std::pair<const char*, int64_t> cases[] = {
        {"42", 42}, {"+7", 7}, {"-3", -3}, {"", 0}, {"abc", 0}, {"12a", 0}, {"+-1", 0}, {"++1", 0},
        {" 1", 0},  {"9223372036854775807", INT64_MAX}, {"9223372036854775808", 0}, {"-", 0}, {"+", 0}};
    for (const auto& [text, value] : cases) EXPECT_EQ(UpdateModel::parsedBuild(QString::fromUtf8(text)), value) << text;
}

TEST(UpdateRules, MinimumSystemVersions) {
    const std::array<int64_t, 3> running{12, 4, 0};
    const std::pair<const char*, bool> cases[] = {
        {"12", true},   {"12.4", true},     {"12.4.0", true}, {"12.4.1", false}, {"13", false},  {"11.99.99", true},
        {"12.", false}, {".12", false},     {"1.2.3.4", false}, {"abc", false},  {"", false},    {"12.x", false},
        {"-1", false},  {"99999999999999999999", false}};
    for (const auto& [minOS, supported] : cases)
        EXPECT_EQ(UpdateModel::isOSSupported(QString::fromUtf8(minOS), running), supported) << minOS;
}

TEST(UpdateRules, OnlyHttpsLinksToTheAllowedHosts) {
    core::InMemoryPreferenceStore defaults;
    ServiceEndpoints endpoints = ServiceEndpoints::distribution();
    UpdateModel model(defaults, endpoints);
    QString host = endpoints.allowedHosts.first();
    EXPECT_TRUE(model.isAllowed(QUrl("https://" + host + "/a.tar.gz")));
    EXPECT_FALSE(model.isAllowed(QUrl("http://" + host + "/a.tar.gz")));
    EXPECT_FALSE(model.isAllowed(QUrl("https://" + host + ".evil.org/a")));
    EXPECT_FALSE(model.isAllowed(QUrl("//" + host + "/a")));
    EXPECT_FALSE(model.isAllowed(QUrl("https:///a")));
    EXPECT_FALSE(model.isAllowed(QUrl("ftp://" + host + "/a")));
}

TEST(UpdateRules, EnvironmentOverridesTheEndpointsForTests) {
    QProcessEnvironment environment;
    environment.insert("TESSARON_UPDATE_FEED_URL", "https://127.0.0.1:4443/latest.json");
    environment.insert("TESSARON_UPDATE_ALLOWED_HOSTS", "127.0.0.1,localhost");
    ServiceEndpoints endpoints = ServiceEndpoints::withOverrides(ServiceEndpoints::distribution(), environment);
    EXPECT_EQ(endpoints.feedURL, QUrl("https://127.0.0.1:4443/latest.json"));
    EXPECT_EQ(endpoints.allowedHosts, (QStringList{"127.0.0.1", "localhost"}));
    EXPECT_EQ(endpoints.supportAddress, ServiceEndpoints::distribution().supportAddress);
    EXPECT_TRUE(endpoints.extraCACertificates.isEmpty());
    // Without overrides the feed is https on an allowed host.
    ServiceEndpoints plain = ServiceEndpoints::distribution();
    EXPECT_EQ(plain.feedURL.scheme(), "https");
    EXPECT_TRUE(plain.allowedHosts.contains(plain.feedURL.host()));
}

}  // namespace
}  // namespace tessaron::services
