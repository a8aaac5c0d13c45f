// The application object as a user meets it: the daily update check offers
// a release in the main window's banner until "Later", the Help menu opens
// the acknowledgements window and the feedback mail, and the Settings form
// names the update host the check reads.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QTimer>
#include <QPushButton>
#include <QTest>

#include "LocalHttpsServer.hpp"
#include "app/TessaronApp.hpp"
#include "pipeline/ApplicationSupport.hpp"
#include "support/EventLoopWait.hpp"
#include "pipeline/RunReport.hpp"
#include "services/AcknowledgementsView.hpp"
#include "services/FeedbackFallbackDialog.hpp"
#include "services/FeedbackSender.hpp"
#include "viewmodel/SettingsPreferenceStore.hpp"
#include "viewmodel/ViewModelTestSupport.hpp"
#include "viewer/ViewerTestScenes.hpp"
#include "views/MainDashboardView.hpp"
#include "views/StepBackgroundView.hpp"
#include "views/StepMenuView.hpp"

namespace tessaron::testing {
namespace {

using app::TessaronApp;
using services::UpdateModel;

const auto registered = ::testing::AddGlobalTestEnvironment(new PrivateUserFolders);

QAction* helpItem(TessaronApp& tessaron, const QString& title) {
    for (QAction* action : tessaron.mainWindow().commands().helpMenu()->actions())
        if (action->text() == title) return action;
    ADD_FAILURE() << "no Help item " << title.toStdString();
    return nullptr;
}

class TessaronAppTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!server_.isListening()) GTEST_SKIP() << "openssl could not make the test certificate";
        endpoints_.feedURL = QUrl(server_.url(QStringLiteral("/latest.json")));
        endpoints_.allowedHosts = {QStringLiteral("127.0.0.1")};
        endpoints_.extraCACertificates =
            QSslCertificate::fromPath(QString::fromStdString(server_.certificateFile().string()));
        // No mail address: the feedback mail ends in its fallback dialog and
        // never starts the desktop's mail program.
        endpoints_.supportAddress.clear();
        endpoints_.sourceOfferURL = QUrl(QStringLiteral("https://127.0.0.1/source"));
        offered_ = UpdateModel::parsedBuild(UpdateModel::currentBuild()) + 1;
        server_.respond({200, "OK", {}, QStringLiteral(R"({"version": "2.0", "build": %1, "url": "%2", "sha256": "x"})")
                                            .arg(offered_)
                                            .arg(QStringLiteral("https://127.0.0.1/tessaron.tar.gz"))
                                            .toUtf8()});
        for (const char* key : {UpdateModel::lastUpdateCheckKey, UpdateModel::laterBuildKey})
            defaults_.setString(key, "");
        // A returning user: the first launch's tour would cover the window.
        defaults_.setString(viewmodel::SettingsPreferenceStore::hasSeenWelcomeTourKey, "true");
    }

    LocalHttpsServer server_;
    services::ServiceEndpoints endpoints_;
    viewmodel::SettingsPreferenceStore defaults_;
    qint64 offered_ = 0;
};

TEST_F(TessaronAppTest, TheLaunchCheckOffersTheReleaseInTheBannerUntilLater) {
    TessaronApp tessaron(endpoints_);
    views::UpdateBannerView* banner = tessaron.mainWindow().dashboard().updateBanner();
    EXPECT_FALSE(banner->isVisibleTo(&tessaron.mainWindow()));
    tessaron.launch();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&tessaron.mainWindow()));
    ASSERT_TRUE(QTest::qWaitFor([&] { return banner->isVisible(); }, 30000));
    EXPECT_EQ(server_.requests().size(), 1);
    EXPECT_EQ(banner->messageLabel()->text(), QStringLiteral("Tessaron 2.0 (build %1) is available").arg(offered_));
    EXPECT_EQ(banner->offer().url, QUrl(QStringLiteral("https://127.0.0.1/tessaron.tar.gz")));

    QTest::mouseClick(banner->laterButton(), Qt::LeftButton);
    EXPECT_FALSE(banner->isVisible());
    EXPECT_FALSE(tessaron.updates().hasAvailable());
    EXPECT_EQ(defaults_.string(UpdateModel::laterBuildKey), std::to_string(offered_));

    // The Settings form names the host the check reads.
    for (QAction* action : tessaron.mainWindow().commands().fileMenu()->actions())
        if (action->text() == QStringLiteral("Settings…")) action->trigger();
    ASSERT_NE(tessaron.settingsWindow(), nullptr);
    EXPECT_TRUE(tessaron.settingsWindow()->caption()->text().contains(QStringLiteral(" 127.0.0.1")));
}

TEST_F(TessaronAppTest, HelpOpensOneAcknowledgementsWindowAndAFeedbackMailWithoutContext) {
    // Checked a moment ago: the launch fetches nothing.
    defaults_.setString(UpdateModel::lastUpdateCheckKey, core::iso8601Text(core::Clock::now()));
    TessaronApp tessaron(endpoints_);
    tessaron.launch();

    QAction* acknowledgements = helpItem(tessaron, QStringLiteral("Acknowledgements"));
    ASSERT_NE(acknowledgements, nullptr);
    acknowledgements->trigger();
    services::AcknowledgementsView* window = tessaron.acknowledgementsWindow();
    ASSERT_NE(window, nullptr);
    EXPECT_TRUE(window->isVisible());
    EXPECT_TRUE(window->isWindow());
    EXPECT_EQ(window->windowTitle(), QStringLiteral("Acknowledgements"));
    EXPECT_TRUE(window->sourceLink()->text().contains(QStringLiteral("https://127.0.0.1/source")));
    window->close();
    acknowledgements->trigger();
    EXPECT_EQ(tessaron.acknowledgementsWindow(), window);
    EXPECT_TRUE(window->isVisible());

    QAction* feedback = helpItem(tessaron, QStringLiteral("Send Feedback…"));
    ASSERT_NE(feedback, nullptr);
    feedback->trigger();
    ASSERT_EQ(services::FeedbackSender::liveSenders().size(), 1);
    services::FeedbackSender* sender = *services::FeedbackSender::liveSenders().begin();
    EXPECT_EQ(sender->context(), std::nullopt);
    services::FeedbackFallbackDialog* dialog = nullptr;
    ASSERT_TRUE(QTest::qWaitFor([&] {
        for (QWidget* widget : QApplication::topLevelWidgets())
            if (auto* found = qobject_cast<services::FeedbackFallbackDialog*>(widget); found && found->isVisible())
                dialog = found;
        return dialog != nullptr;
    }));
    QTest::mouseClick(dialog->button(QStringLiteral("Done")), Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return services::FeedbackSender::liveSenders().isEmpty(); }));
    EXPECT_TRUE(server_.requests().isEmpty());
}

// Counts what would show the window going away and coming back.
class WindowEventCounter : public QObject {
public:
    int count = 0;
    bool eventFilter(QObject*, QEvent* event) override {
        const QEvent::Type type = event->type();
        if (type == QEvent::Hide || type == QEvent::Show || type == QEvent::PlatformSurface) ++count;
        return false;
    }
};

TEST_F(TessaronAppTest, TheFirstModelOpensInTheWindowAsItIs) {
    defaults_.setString(UpdateModel::lastUpdateCheckKey, core::iso8601Text(core::Clock::now()));
    TempDir files("tessaron-first-model");
    viewer::testing::writePLY(files / "model.ply", viewer::testing::cluster(300, {0, 0, 4}, 0.3f, {255, 0, 0}, 1));
    TessaronApp tessaron(endpoints_);
    tessaron.launch();
    views::MainWindow& window = tessaron.mainWindow();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    const WId nativeWindow = window.winId();
    QWindow* handle = window.windowHandle();
    WindowEventCounter widgetEvents, windowEvents;
    window.installEventFilter(&widgetEvents);
    handle->installEventFilter(&windowEvents);

    // File ▸ Open Model in Viewer… with the model chosen.
    views::MainDashboardView& dashboard = window.dashboard();
    dashboard.stepMenu()->setModelImporter([&](QWidget*) { return std::optional(QUrl::fromLocalFile(
                                                                QString::fromStdString((files / "model.ply").string()))); });
    for (QAction* action : window.commands().fileMenu()->actions())
        if (action->text() == QStringLiteral("Open Model in Viewer...")) action->trigger();
    ASSERT_TRUE(QTest::qWaitFor([&] { return dashboard.finalViewer().stats().gaussianCount == 300; }, 30000));
    ASSERT_NE(dashboard.centrePane()->viewerView(), nullptr);

    EXPECT_EQ(window.winId(), nativeWindow);
    EXPECT_EQ(window.windowHandle(), handle);
    EXPECT_EQ(widgetEvents.count, 0);
    EXPECT_EQ(windowEvents.count, 0);
    EXPECT_TRUE(window.isVisible());
}

// Clicks `button` in every message box that opens while it lives, from
// inside the box's own event loop, and keeps the texts it answered.
class MessageBoxClicker {
public:
    explicit MessageBoxClicker(QString button) : button_(std::move(button)) {
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box) return;
            for (QAbstractButton* candidate : box->buttons())
                if (candidate->text() == button_) {
                    answered.push_back(box->text());
                    QTest::mouseClick(candidate, Qt::LeftButton);
                    return;
                }
        });
        timer_.start(20);
    }
    std::vector<QString> answered;

private:
    QString button_;
    QTimer timer_;
};

TEST_F(TessaronAppTest, ARunLeftRunningIsOfferedOnceAndReportedWithItsStep) {
    defaults_.setString(UpdateModel::lastUpdateCheckKey, core::iso8601Text(core::Clock::now()));
    pipeline::RunReport report;
    report.kind = "New run";
    report.startedAt = core::Clock::now();
    report.input = "Photo folder";
    report.step = "Training (cell 2 of 4)";
    const auto logs = pipeline::logFolder(*pipeline::applicationSupportFolder());
    pipeline::RunReport::save(report, logs);

    MessageBoxClicker clicker(QStringLiteral("Report…"));
    {
        TessaronApp tessaron(endpoints_);
        tessaron.launch();
        ASSERT_TRUE(QTest::qWaitFor([&] { return !services::FeedbackSender::liveSenders().isEmpty(); }, 30000));
        EXPECT_EQ(clicker.answered,
                  std::vector<QString>{QStringLiteral("Tessaron closed unexpectedly during the last run")});
        services::FeedbackSender* sender = *services::FeedbackSender::liveSenders().begin();
        EXPECT_EQ(sender->context(),
                  QStringLiteral("Tessaron closed unexpectedly during the last run (at Training (cell 2 of 4))."));
        ASSERT_TRUE(sender->run().has_value());
        EXPECT_EQ(sender->run()->outcome, pipeline::RunReport::Outcome::interrupted);
        // Without a mail address the mail ends in its fallback dialog.
        for (QWidget* widget : QApplication::topLevelWidgets())
            if (auto* dialog = qobject_cast<services::FeedbackFallbackDialog*>(widget)) dialog->reject();
        ASSERT_TRUE(QTest::qWaitFor([&] { return services::FeedbackSender::liveSenders().isEmpty(); }));
    }
    // The next launch offers nothing.
    TessaronApp next(endpoints_);
    next.launch();
    ASSERT_TRUE(deliverEventsDueWithin(std::chrono::milliseconds(200)));
    EXPECT_EQ(clicker.answered.size(), 1u);
}

}  // namespace
}  // namespace tessaron::testing
