// The application as a user drives it, through its real dialogs: Shift+Ctrl+O
// and a typed photo folder, Shift+Ctrl+N and a typed output folder, then
// either Ctrl+. while COLMAP works, or the whole run to the model in the
// Final step's viewer; and no child process left either way.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QDir>
#include <QLabel>
#include <QTest>
#include <QUrl>


#include <algorithm>
#include <string>
#include <vector>

#include "app/TessaronApp.hpp"
#include "generators/SyntheticScene.hpp"
#include "support/ProcessTree.hpp"
#include "support/TempDir.hpp"
#include "viewmodel/PipelineViewModelTestAccess.hpp"
#include "viewmodel/ViewModelTestSupport.hpp"
#include "views/DropZoneView.hpp"
#include "views/InputView.hpp"
#include "views/MainDashboardView.hpp"
#include "views/OpenPanelDriver.hpp"
#include "views/FinalPanelView.hpp"
#include "views/FormWidgets.hpp"
#include "views/PanelTestSupport.hpp"
#include "views/SliderRow.hpp"
#include "views/StepMenuView.hpp"

namespace tessaron::testing {
namespace {

using generators::renderScene;
namespace fs = std::filesystem;
using Kind = pipeline::PipelineState::Kind;

const auto registered = ::testing::AddGlobalTestEnvironment(new PrivateUserFolders);

// Gives `window` the keyboard, as the window manager does when a dialog
// over it closes; a bare X server does not.
bool activate(QWidget& window) {
    window.activateWindow();
    return QTest::qWaitForWindowActive(&window);
}

bool isColmap(const std::string& name) { return name.find("colmap") != std::string::npos; }

// The application launched as a user meets it after the first day: the
// tour seen, the daily update check done, nothing leaving the machine.
class KeyboardRun : public ::testing::Test {
protected:
    void SetUp() override {
        renderScene(photos_, 12);
        services::ServiceEndpoints endpoints;
        endpoints.feedURL = QUrl(QStringLiteral("https://127.0.0.1:9/latest.json"));
        endpoints.allowedHosts = {QStringLiteral("127.0.0.1")};
        endpoints.supportAddress.clear();
        viewmodel::SettingsPreferenceStore defaults;
        defaults.setString(services::UpdateModel::lastUpdateCheckKey, core::iso8601Text(core::Clock::now()));
        defaults.setString(viewmodel::SettingsPreferenceStore::hasSeenWelcomeTourKey, "true");
        tessaron_ = std::make_unique<app::TessaronApp>(endpoints);
        tessaron_->launch();
        // The shared disk's free space is not this test's to depend on; the
        // check itself has tests of its own.
        viewmodel::PipelineViewModelTestAccess::setFreeSpaceProbe(
            model(), [](const std::filesystem::path&) { return std::nullopt; });
        ASSERT_TRUE(activate(window()));
    }

    views::MainWindow& window() { return tessaron_->mainWindow(); }
    viewmodel::PipelineViewModel& model() { return tessaron_->pipelineViewModel(); }

    // Shift+Ctrl+O, the photo folder's path, Return.
    void choosePhotos() {
        whenPanelOpens([&](views::OpenPanel& panel) {
            EXPECT_EQ(panel.windowTitle(), QStringLiteral("Choose a folder of photos or a video"));
            typeAndConfirm(panel, QString::fromStdString(photos_.string()));
        });
        QTest::keyClick(&window(), Qt::Key_O, Qt::ControlModifier | Qt::ShiftModifier);
        ASSERT_EQ(model().selectedInputURL(), photos_);
        auto* form = qobject_cast<views::InputView*>(window().dashboard().stepMenu()->panel());
        ASSERT_NE(form, nullptr);
        EXPECT_EQ(form->dropZone()->headline(), QStringLiteral("photos"));
        ASSERT_TRUE(QTest::qWaitFor([&] { return model().canStart(); }, 30000));
        EXPECT_TRUE(form->readyLine()->isVisible());
        EXPECT_EQ(form->readyLine()->text(), QStringLiteral("Ready: photos"));
    }

    // Shift+Ctrl+N (Start New Pipeline), an output folder that does not
    // exist yet, Return: the panel makes it and the run starts.
    void startIntoNewFolder() {
        ASSERT_TRUE(activate(window()));
        whenPanelOpens([&](views::OpenPanel& panel) {
            EXPECT_EQ(panel.windowTitle(), QStringLiteral("Select Output Workspace Folder"));
            typeAndConfirm(panel, QString::fromStdString(output_.string()));
        });
        QTest::keyClick(&window(), Qt::Key_N, Qt::ControlModifier | Qt::ShiftModifier);
        ASSERT_TRUE(model().hasActiveOperation()) << model().currentState().message;
        EXPECT_TRUE(fs::is_directory(output_));
    }

    TempDir folder_{"tessaron-keyboard-run"};
    const fs::path photos_ = folder_.path() / "photos";
    const fs::path output_ = folder_.path() / "runs";  // made by the output panel
    std::unique_ptr<app::TessaronApp> tessaron_;
};

TEST_F(KeyboardRun, ChooseStartAndCancelAreKeysAndTypedPathsAndLeaveNoChildBehind) {
    choosePhotos();
    startIntoNewFolder();
    views::MainWindow& window = this->window();
    viewmodel::PipelineViewModel& model = this->model();

    // COLMAP at work.
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            const std::vector<std::string> children = descendantNames();
            return model.currentState().kind == Kind::processingSfM &&
                   std::any_of(children.begin(), children.end(), isColmap);
        },
        120000))
        << model.currentState().message;

    // Ctrl+. ends every child process.
    ASSERT_TRUE(activate(window));
    QTest::keyClick(&window, Qt::Key_Period, Qt::ControlModifier);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !model.hasActiveOperation() && descendantNames().empty(); }, 30000))
        << "still running: " << ::testing::PrintToString(descendantNames());
    EXPECT_FALSE(model.pipelineManager()->isProcessRunning());
    EXPECT_EQ(model.currentState().kind, Kind::idle);
    // The window says in words where the run stopped, and nothing on it
    // waits for steps that will never run.
    ASSERT_TRUE(model.cancelledRun().has_value());
    const QString note = model.cancelledRun()->note();
    EXPECT_TRUE(note.startsWith(QStringLiteral("Run cancelled at "))) << note.toStdString();
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            const QList<QLabel*> labels = window.findChildren<QLabel*>();
            return std::any_of(labels.begin(), labels.end(),
                               [&](QLabel* label) { return label->isVisible() && label->text().contains(note); });
        },
        30000));
    for (QLabel* label : window.findChildren<QLabel*>()) {
        if (label->isVisible()) {
            EXPECT_FALSE(label->text().contains(QStringLiteral("Waiting for earlier steps")))
                << label->text().toStdString();
        }
    }
}

// The whole road: the photos, one model for the whole scene (partitioning
// off, so that the form's iterations hold) with the fewest iterations the
// form offers (the slider clicked, then Home), a new output folder, COLMAP,
// training, and the model in the Final viewer. The partitioned road, with
// its plan approved by a click, is the dashboard's own window-run test.
TEST_F(KeyboardRun, AWholeRunEndsWithItsModelInTheFinalViewer) {
    choosePhotos();
    auto* form = qobject_cast<views::InputView*>(window().dashboard().stepMenu()->panel());
    ASSERT_NE(form, nullptr);
    click(visibleButton(*form, "Advanced Settings"));
    views::SliderRow* iterations = nullptr;
    for (views::SliderRow* row : form->findChildren<views::SliderRow*>()) {
        const QList<QLabel*> labels = row->findChildren<QLabel*>();
        if (std::any_of(labels.begin(), labels.end(), [](QLabel* label) { return label->text() == "Iterations:"; }))
            iterations = row;
    }
    ASSERT_NE(iterations, nullptr);
    ASSERT_TRUE(iterations->isVisible());
    QTest::mouseClick(iterations->slider(), Qt::LeftButton, {}, QPoint(4, iterations->slider()->height() / 2));
    QTest::keyClick(iterations->slider(), Qt::Key_Home);
    ASSERT_EQ(model().trainingIterations(), 1000);
    EXPECT_EQ(iterations->valueText(), QStringLiteral("1K"));
    QCheckBox* partitioning = nullptr;
    for (QCheckBox* box : form->findChildren<QCheckBox*>())
        if (box->text() == "Enable VastGaussian") partitioning = box;
    ASSERT_NE(partitioning, nullptr);
    ASSERT_TRUE(partitioning->isChecked());
    QTest::mouseClick(partitioning, Qt::LeftButton, {}, QPoint(8, partitioning->height() / 2));
    ASSERT_FALSE(model().useVastGaussian());

    startIntoNewFolder();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !model().hasActiveOperation(); }, 1200000));
    ASSERT_EQ(model().currentState().kind, Kind::completed) << model().currentState().message;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return window().dashboard().selectedStep() == viewmodel::WorkflowStep::final; }, 30000));
    auto* finalPanel = qobject_cast<views::FinalPanelView*>(window().dashboard().stepMenu()->panel());
    ASSERT_NE(finalPanel, nullptr);
    const QStringList outcome = visibleTexts(finalPanel->outcomeSection());
    ASSERT_FALSE(outcome.isEmpty());
    EXPECT_EQ(outcome.first(), "Pipeline complete");
    ASSERT_TRUE(model().outputPlyPath().has_value());
    const fs::path merged = model().outputPlyPath()->toStdString();
    EXPECT_EQ(merged.filename(), "output.ply");
    EXPECT_EQ(merged.string().rfind(output_.string() + "/", 0), 0U) << merged;
    EXPECT_GT(fs::file_size(merged), 0U);
    // The viewer draws the run's own model.
    views::FinalViewerState& viewer = window().dashboard().finalViewer();
    ASSERT_TRUE(QTest::qWaitFor([&] { return viewer.stats().gaussianCount > 0; }, 60000));
    EXPECT_TRUE(viewer.url().isEmpty() || viewer.url() == QUrl::fromLocalFile(QString::fromStdString(merged.string())))
        << viewer.url().toString().toStdString();
    EXPECT_TRUE(descendantNames().empty()) << ::testing::PrintToString(descendantNames());
}

}  // namespace
}  // namespace tessaron::testing
