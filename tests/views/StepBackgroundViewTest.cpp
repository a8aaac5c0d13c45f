// The centre pane as a user meets it: what each step shows for the run's
// state, and drops of folders, videos, models and other files, also while
// a run is busy.
#include <gtest/gtest.h>

#include <QSignalSpy>
#include <QTest>

#include "DropTestSupport.hpp"
#include "ViewsTestSupport.hpp"
#include "support/EventLoopWait.hpp"
#include "views/Conversion360LiveView.hpp"
#include "views/FinalViewerState.hpp"
#include "views/FloatingPanel.hpp"
#include "views/MainDashboardView.hpp"
#include "views/StepMarkersView.hpp"
#include "views/SfMAnimationView.hpp"
#include "views/StepBackgroundView.hpp"
#include "viewmodel/PipelineViewModelTestAccess.hpp"

namespace tessaron::testing {
namespace {

using ModelAccess = viewmodel::PipelineViewModelTestAccess;

using viewmodel::PipelineViewModel;
using viewmodel::WorkflowStep;
using views::StepBackgroundView;
using Content = StepBackgroundView::Content;
using DropKind = StepBackgroundView::DropKind;
using Kind = pipeline::PipelineState::Kind;
using pipeline::PipelineState;

const auto registered = ::testing::AddGlobalTestEnvironment(new PrivateUserFolders);

TEST(DropClassification, FollowsTheExtensionAndTheFileSystem) {
    TempDir folder("tessaron-drops");
    std::filesystem::create_directories(folder / "photos");
    std::filesystem::create_directories(folder / "colmap" / "sparse" / "0");
    for (const char* name : {"clip.mp4", "clip.MOV", "notes.txt", "sound.wav", "model.ply", "MODEL.PLY"})
        writeTextFile(folder / name, "x");
    const std::vector<std::pair<std::filesystem::path, DropKind>> table{
        {folder / "photos", DropKind::folder},
        {folder / "colmap", DropKind::folder},
        {folder / "clip.mp4", DropKind::video},
        {folder / "clip.MOV", DropKind::video},
        // Only video counts as footage; sound is some other file.
        {folder / "sound.wav", DropKind::other},
        {folder / "notes.txt", DropKind::other},
        {folder / "model.ply", DropKind::model},
        {folder / "MODEL.PLY", DropKind::model},
        {folder / "scene.Splat", DropKind::model},
        {folder / "scene.spz", DropKind::model},
        // Gone from the disk: a trailing separator still names a folder.
        {folder / "gone" / "", DropKind::folder},
        {folder / "gone", DropKind::other},
    };
    for (const auto& [path, kind] : table)
        EXPECT_EQ(StepBackgroundView::classify(fileURL(path)), kind) << path;
}

TEST(TrainingHighlight, CountsCellsFromZeroFromTheSecondCellOn) {
    EXPECT_EQ(StepBackgroundView::trainingHighlight(1, 1), std::nullopt);
    EXPECT_EQ(StepBackgroundView::trainingHighlight(4, 0), std::nullopt);
    EXPECT_EQ(StepBackgroundView::trainingHighlight(4, 2), 1);
    EXPECT_EQ(StepBackgroundView::trainingHighlight(4, 4), 3);
}

TEST(FinalModelFile, IsTheChosenModelElseTheRunsOutput) {
    EXPECT_EQ(StepBackgroundView::modelFile(QUrl(), std::nullopt), std::nullopt);
    EXPECT_EQ(StepBackgroundView::modelFile(QUrl(), QStringLiteral("/w/out.ply")), std::filesystem::path("/w/out.ply"));
    EXPECT_EQ(StepBackgroundView::modelFile(QUrl::fromLocalFile("/m/a.spz"), QStringLiteral("/w/out.ply")),
              std::filesystem::path("/m/a.spz"));
}

class CentrePaneTest : public ::testing::Test {
protected:
    void SetUp() override {
        ModelAccess::setInputAnalyzer(*model_, [](const std::filesystem::path&, bool, int64_t) {
            return PipelineViewModel::InputAnalysis{};
        });
        pane_.onModelDropped = [this](const QUrl& url) { models_.push_back(url); };
        pane_.onDatasetDropped = [this](const std::filesystem::path& url, bool isVideo) {
            datasets_.emplace_back(url, isVideo);
        };
        pane_.resize(900, 700);
        pane_.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&pane_));
        std::filesystem::create_directories(files_ / "photos");
        writeTextFile(files_ / "clip.mp4", "not really a video");
        writeTextFile(files_ / "notes.txt", "hello");
    }
    void TearDown() override { model_->setHasActiveOperation(false); }

    // Drops and lets the pane look at the drop, as it does once the drop has ended.
    DropResult drop(const QList<QUrl>& urls) {
        DropResult result = dropURLs(&pane_, urls);
        EXPECT_TRUE(deliverEventsDueWithin());
        return result;
    }

    TempDir support_{"tessaron-views"};
    TempDir files_{"tessaron-drops"};
    std::unique_ptr<PipelineViewModel> model_ = makeViewModel(support_);
    views::FinalViewerState viewer_;
    StepBackgroundView pane_{*model_, viewer_};
    std::vector<QUrl> models_;
    std::vector<std::pair<std::filesystem::path, bool>> datasets_;
};

TEST_F(CentrePaneTest, EachStepShowsItsPictureForTheRunsState) {
    EXPECT_EQ(pane_.contentKind(), Content::inputBackdrop);

    model_->setTreatAs360(true);
    model_->setCurrentState(Kind::extractingFrames);
    EXPECT_EQ(pane_.contentKind(), Content::conversion360);
    EXPECT_NE(qobject_cast<views::Conversion360LiveView*>(pane_.content()), nullptr);
    model_->setTreatAs360(false);
    EXPECT_EQ(pane_.contentKind(), Content::inputBackdrop);

    pane_.setStep(WorkflowStep::sfm);
    EXPECT_EQ(pane_.contentKind(), Content::sfmAnimation);
    model_->setCurrentState(Kind::processingSfM);
    EXPECT_EQ(pane_.contentKind(), Content::sfmAnimation);

    pane_.setStep(WorkflowStep::planning);
    EXPECT_EQ(pane_.message(), QStringLiteral("Waiting for the reconstruction\u2026"));
    model_->setColmapDataURL(files_.path());
    EXPECT_EQ(pane_.contentKind(), Content::partition);
    pane_.setStep(WorkflowStep::training);
    EXPECT_EQ(pane_.contentKind(), Content::partition);
    model_->setColmapDataURL(std::nullopt);
    EXPECT_EQ(pane_.message(), QStringLiteral("Waiting for the reconstruction\u2026"));

    pane_.setStep(WorkflowStep::final);
    model_->setCurrentState(Kind::exporting);
    EXPECT_EQ(pane_.message(), QStringLiteral("Exporting the trained model\u2026"));
    // A failure names the step that failed; a failed training keeps its text.
    model_->setCurrentState(PipelineState::error("boom"));
    EXPECT_EQ(pane_.message(), QStringLiteral("Merging and export failed \u2014 see the Process Logs."));
    model_->setCurrentState(Kind::training);
    model_->setCurrentState(PipelineState::error("boom"));
    EXPECT_EQ(pane_.message(), QStringLiteral("Training failed \u2014 see the export panel."));
    model_->setCurrentState(Kind::completed);
    EXPECT_EQ(pane_.message(), QStringLiteral("The trained model will appear here \u2014 or drop a .ply / .spz / "
                                              ".splat anywhere to view it."));
    EXPECT_EQ(pane_.viewerView(), nullptr);
}

TEST_F(CentrePaneTest, DroppedFoldersAndVideosAreDatasetsAndModelsOpen) {
    EXPECT_TRUE(drop({fileURL(files_ / "photos")}).dropped);
    EXPECT_TRUE(drop({fileURL(files_ / "clip.mp4")}).dropped);
    EXPECT_TRUE(drop({QUrl::fromLocalFile(QStringLiteral("/nowhere/Scene.PLY"))}).dropped);
    ASSERT_EQ(datasets_.size(), 2u);
    EXPECT_EQ(datasets_[0], std::make_pair(files_ / "photos", false));
    EXPECT_EQ(datasets_[1], std::make_pair(files_ / "clip.mp4", true));
    EXPECT_EQ(models_, std::vector<QUrl>{QUrl::fromLocalFile(QStringLiteral("/nowhere/Scene.PLY"))});
    EXPECT_FALSE(pane_.transientHint());
}

TEST_F(CentrePaneTest, TheFirstFileOfADropIsTheOneTaken) {
    EXPECT_TRUE(drop({QUrl(QStringLiteral("https://example.com/a.ply")), fileURL(files_ / "clip.mp4"),
                      fileURL(files_ / "photos")})
                    .dropped);
    ASSERT_EQ(datasets_.size(), 1u);
    EXPECT_EQ(datasets_[0], std::make_pair(files_ / "clip.mp4", true));
}

TEST_F(CentrePaneTest, ADropWithoutAFileIsRefused) {
    const DropResult result = drop({QUrl(QStringLiteral("https://example.com/model.ply"))});
    EXPECT_FALSE(result.entered);
    EXPECT_FALSE(pane_.isDropTargeted());
    EXPECT_TRUE(models_.empty());
    EXPECT_FALSE(pane_.transientHint());
}

TEST_F(CentrePaneTest, TheDropFrameShowsWhileADragHovers) {
    QMimeData data;
    data.setUrls({fileURL(files_ / "photos")});
    QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&pane_, &enter);
    EXPECT_TRUE(pane_.isDropTargeted());
    EXPECT_TRUE(pane_.dropFrame()->isVisible());
    QDragLeaveEvent leave;
    QApplication::sendEvent(&pane_, &leave);
    EXPECT_FALSE(pane_.isDropTargeted());
    EXPECT_FALSE(pane_.dropFrame()->isVisible());
}

TEST_F(CentrePaneTest, AnotherFileGetsTheHintWhichGoesByItself) {
    EXPECT_TRUE(drop({fileURL(files_ / "notes.txt")}).dropped);
    EXPECT_EQ(pane_.transientHint(), StepBackgroundView::otherHint);
    EXPECT_TRUE(pane_.hintCapsule()->isVisible());
    EXPECT_TRUE(datasets_.empty());
    EXPECT_TRUE(models_.empty());
    ASSERT_TRUE(QTest::qWaitFor([&] { return !pane_.transientHint(); }, 30000));
    EXPECT_FALSE(pane_.hintCapsule()->isVisible());
}

TEST_F(CentrePaneTest, ASecondHintReplacesTheFirstAndStaysItsFullTime) {
    // Timers fire in the order they fall due, however late: the second
    // hint's own time is due after a mark 1.5 s on, the first one's before.
    pane_.showTransientHint(QStringLiteral("first"));
    ASSERT_TRUE(deliverEventsDueWithin(std::chrono::milliseconds(StepBackgroundView::hintMilliseconds / 2)));
    pane_.showTransientHint(QStringLiteral("second"));
    ASSERT_TRUE(deliverEventsDueWithin(std::chrono::milliseconds(StepBackgroundView::hintMilliseconds * 3 / 5)));
    // The first one's time has passed; the second is still up.
    EXPECT_EQ(pane_.transientHint(), QStringLiteral("second"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !pane_.transientHint(); }, 30000));
}

TEST_F(CentrePaneTest, WhileBusyADatasetIsRefusedWithWhyAndAModelStillOpens) {
    model_->setHasActiveOperation(true);
    for (const QUrl& url : {fileURL(files_ / "photos"), fileURL(files_ / "clip.mp4")}) {
        drop({url});
        EXPECT_EQ(pane_.transientHint(), StepBackgroundView::busyHint) << url.toString().toStdString();
    }
    EXPECT_TRUE(datasets_.empty());
    const QUrl model = QUrl::fromLocalFile(QStringLiteral("/nowhere/model.ply"));
    drop({model});
    EXPECT_EQ(models_, std::vector<QUrl>{model});
    drop({fileURL(files_ / "notes.txt")});
    EXPECT_EQ(pane_.transientHint(), StepBackgroundView::otherHint);
}

TEST_F(CentrePaneTest, TheInputHintShowsOnlyWhileNothingRuns) {
    EXPECT_EQ(pane_.contentKind(), Content::inputBackdrop);
    const QImage idle = pane_.grab().toImage();
    model_->setCurrentState(Kind::extractingFrames);
    ASSERT_TRUE(model_->isBusy());
    EXPECT_EQ(pane_.contentKind(), Content::inputBackdrop);
    const QImage busy = pane_.grab().toImage();
    // The hint's symbol and text sit in the middle of the pane.
    const QRect middle(pane_.width() / 2 - 150, pane_.height() / 2 - 40, 300, 80);
    EXPECT_NE(idle.copy(middle), busy.copy(middle));
    model_->setCurrentState(Kind::idle);
    EXPECT_EQ(pane_.grab().toImage().copy(middle), idle.copy(middle));
}

// The dashboard hands dataset drops to the model and shows the Input step.
class DashboardDropTest : public ::testing::Test {
protected:
    void SetUp() override {
        ModelAccess::setInputAnalyzer(*model_, [](const std::filesystem::path&, bool, int64_t) {
            return PipelineViewModel::InputAnalysis{};
        });
        dashboard_.resize(1200, 800);
        dashboard_.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&dashboard_));
        std::filesystem::create_directories(files_ / "photos");
        std::filesystem::create_directories(files_ / "colmap" / "sparse" / "0");
        writeTextFile(files_ / "clip.webm", "not really a video");
    }
    void TearDown() override { model_->setHasActiveOperation(false); }

    void drop(const std::filesystem::path& path) {
        dropURLs(dashboard_.centrePane(), {fileURL(path)});
        EXPECT_TRUE(deliverEventsDueWithin());
    }

    TempDir support_{"tessaron-views"};
    TempDir files_{"tessaron-drops"};
    std::unique_ptr<PipelineViewModel> model_ = makeViewModel(support_);
    core::InMemoryPreferenceStore defaults_;
    views::MainDashboardView dashboard_{*model_, defaults_, true};
};

TEST_F(DashboardDropTest, AFolderAVideoAndACOLMAPFolderBecomeTheInput) {
    const std::vector<std::pair<std::filesystem::path, bool>> table{
        {files_ / "photos", false}, {files_ / "clip.webm", true}, {files_ / "colmap", false}};
    for (const auto& [path, isVideo] : table) {
        dashboard_.selectStep(WorkflowStep::training);
        drop(path);
        EXPECT_EQ(model_->selectedInputURL(), path);
        EXPECT_EQ(model_->isInputVideo(), isVideo) << path;
        EXPECT_EQ(dashboard_.selectedStep(), WorkflowStep::input) << path;
    }
}

TEST_F(DashboardDropTest, ADatasetDroppedWhileBusyLeavesTheInputAndTheStep) {
    drop(files_ / "photos");
    model_->setHasActiveOperation(true);
    dashboard_.selectStep(WorkflowStep::sfm);
    drop(files_ / "clip.webm");
    EXPECT_EQ(model_->selectedInputURL(), files_ / "photos");
    EXPECT_FALSE(model_->isInputVideo());
    EXPECT_EQ(dashboard_.selectedStep(), WorkflowStep::sfm);
    EXPECT_EQ(dashboard_.centrePane()->transientHint(), StepBackgroundView::busyHint);
}

TEST_F(DashboardDropTest, ADropOverTheStepMenuOrTheStepBarReachesTheCentrePane) {
    // Qt hands a drag to the nearest widget that takes drops, here the dashboard.
    for (QWidget* layer : {static_cast<QWidget*>(dashboard_.menuPanel()), static_cast<QWidget*>(dashboard_.stepMarkers())}) {
        model_->setSelectedInputURL(std::nullopt);
        dashboard_.selectStep(WorkflowStep::final);
        QMimeData data;
        data.setUrls({fileURL(files_ / "photos")});
        const QPoint at = layer->rect().center();
        QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(layer, &enter);
        EXPECT_TRUE(enter.isAccepted());
        EXPECT_TRUE(dashboard_.centrePane()->isDropTargeted());
        QDropEvent drop(QPointF(at), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(layer, &drop);
        EXPECT_TRUE(drop.isAccepted());
        EXPECT_TRUE(deliverEventsDueWithin());
        EXPECT_EQ(model_->selectedInputURL(), files_ / "photos");
        EXPECT_EQ(dashboard_.selectedStep(), WorkflowStep::input);
        EXPECT_FALSE(dashboard_.centrePane()->isDropTargeted());
    }
}

TEST_F(DashboardDropTest, ATourSampleKeepsItsInput) {
    model_->setIsTourSample(true);
    drop(files_ / "photos");
    EXPECT_FALSE(model_->selectedInputURL());
}

}  // namespace
}  // namespace tessaron::testing
