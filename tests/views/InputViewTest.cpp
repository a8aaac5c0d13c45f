// The Input step's form as a user drives it: the choose button and its
// panel, drops, every card's controls with the mouse and the keyboard, the
// start of a run and the resume of a workspace, checked on the run the view
// model hands to a recording driver.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QDragEnterEvent>
#include <QLineEdit>
#include <QLocale>
#include <QMimeData>
#include <QPropertyAnimation>
#include <QPushButton>
#include <QScrollBar>
#include <QSlider>
#include <QTest>
#include <QToolButton>
#include <QUrl>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "DropTestSupport.hpp"
#include "ViewsTestSupport.hpp"
#include "engines/PLYCheck.hpp"
#include "partition/VastGaussianPartitioner.hpp"
#include "generators/SyntheticModel.hpp"
#include "generators/SyntheticScene.hpp"
#include "support/EventLoopWait.hpp"
#include "viewmodel/ScriptedDialogs.hpp"
#include "views/AdvancedSettingsView.hpp"
#include "views/COLMAPSettingsCard.hpp"
#include "views/DatasetDownscaleCard.hpp"
#include "views/DropZoneView.hpp"
#include "views/FrameExtractionCard.hpp"
#include "views/InputFormText.hpp"
#include "views/InputView.hpp"
#include "views/ModelSizeCard.hpp"
#include "views/PartitioningCard.hpp"
#include "views/ReconstructionCard.hpp"
#include "views/ResumePanel.hpp"
#include "views/TrainingSettingsCard.hpp"
#include "views/Video360Card.hpp"
#include "viewmodel/PipelineViewModelTestAccess.hpp"

namespace tessaron::testing {
namespace {

using ModelAccess = viewmodel::PipelineViewModelTestAccess;
using generators::SyntheticModelOptions;
using generators::makeSyntheticModel;
namespace fs = std::filesystem;
using pipeline::PipelineManager;
using viewmodel::PipelineViewModel;
using views::InputFormText;
using views::InputView;

const auto registered = ::testing::AddGlobalTestEnvironment(new PrivateUserFolders);

// ---- The texts and figures the form derives ----------------------------------

TEST(InputFormTexts, FollowTheCapSizeCountAndMemoryRules) {
    const std::vector<std::pair<int64_t, const char*>> caps{
        {0, "0"},        {999, "999"},      {1000, "1K"},      {65432, "65K"},  {500000, "500K"}, {999999, "999K"},
        {1000000, "1M"}, {1500000, "1.5M"}, {2500000, "2.5M"}, {8000000, "8M"}, {1049999, "1M"},  {50000, "50K"}};
    for (const auto& [cap, text] : caps) EXPECT_EQ(InputFormText::capText(cap).toStdString(), text) << cap;

    const std::vector<std::pair<uint64_t, const char*>> sizes{
        {0, "Zero KB"},          {1, "1 byte"},         {999, "999 bytes"},    {1000, "1 KB"},
        {12400000, "12.4 MB"},   {124000000, "124 MB"}, {248000000, "248 MB"}, {999999999, "1 GB"},
        {1984000000, "1.98 GB"}, {999500, "1 MB"},      {1234567, "1.2 MB"}};
    for (const auto& [bytes, text] : sizes) EXPECT_EQ(InputFormText::fileSizeText(bytes).toStdString(), text) << bytes;

    EXPECT_TRUE(InputFormText::modelSizeHint(1000000).startsWith(
        QStringLiteral("About 1M Gaussians \u00b7 \u2248 248 MB PLY.")));
    EXPECT_EQ(InputFormText::modelSizeHint(50000).toStdString(),
              "About 50K Gaussians \u00b7 \u2248 12.4 MB PLY. Larger = more detail, but slower training, more memory "
              "and a bigger file.");
    EXPECT_TRUE(
        InputFormText::modelSizeHint(8000000).startsWith(QStringLiteral("About 8M Gaussians \u00b7 \u2248 1.98 GB")));

    EXPECT_EQ(InputFormText::imageCountText(1, false), "1 image");
    EXPECT_EQ(InputFormText::imageCountText(0, false), "0 images");
    EXPECT_EQ(InputFormText::imageCountText(240, true), "240 images (est.)");
    EXPECT_EQ(InputFormText::resolutionText(4032, 3024), "4032 \u00d7 3024");
    EXPECT_EQ(InputFormText::readyText("garden", false), "Ready: garden");
    EXPECT_EQ(InputFormText::readyText("garden", true), "Ready: garden (skip COLMAP)");
    EXPECT_EQ(InputFormText::lastPathComponent("/captures/garden/"), "garden");

    EXPECT_EQ(InputFormText::memoryLimitMaximum(gibibytes(16)), 13);
    EXPECT_EQ(InputFormText::memoryLimitMaximum(gibibytes(6)), 4);
    EXPECT_TRUE(InputFormText::advisesMoreMemory(gibibytes(15.49)));
    EXPECT_FALSE(InputFormText::advisesMoreMemory(gibibytes(15.5)));
    EXPECT_EQ(views::ModelSizeCard::selection(false, 1000000), 1000000);
    EXPECT_EQ(views::ModelSizeCard::selection(true, 1000000), -1);
    EXPECT_EQ(views::ModelSizeCard::selection(false, 1500000), -1);
    EXPECT_FALSE(views::PartitioningCard::isCompactScene(engines::SceneAnalysis{1, 0.7}));
    EXPECT_TRUE(views::PartitioningCard::isCompactScene(engines::SceneAnalysis{1, 0.71}));
    EXPECT_FALSE(views::PartitioningCard::isCompactScene(engines::SceneAnalysis{1, std::nan("")}));
    EXPECT_FALSE(views::PartitioningCard::isCompactScene(std::nullopt));
}

// ---- The form on a view model -------------------------------------------------

// What the input analysis answers, from the test; it runs on the view
// model's worker.
struct AnalysisScript {
    std::mutex lock;
    viewmodel::OptionalDatasetProfile profile;
    viewmodel::OptionalDetection detection;
    std::atomic<int> calls = 0;
    std::atomic<bool> hold = false;
    std::vector<int64_t> strides;
};

// The driver's calls the operations made, recorded instead of run.
struct RecordingDriver {
    struct Resume {
        pipeline::WorkspaceScanResult scan;
        int iterations = 0;
        int downscale = 0;
        int64_t capMax = 0;
        bool eval = false;
    };
    std::mutex lock;
    std::optional<PipelineManager::RunParameters> run;
    std::optional<Resume> resume;
    // While set, a call waits (as a real run would) until it is cleared.
    std::atomic<bool> hold = false;

    void waitWhileHeld(const std::stop_token& stopToken) const {
        while (hold && !stopToken.stop_requested()) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
};

engines::DatasetProfile profileOf(int64_t images, int64_t width, int64_t height, bool estimated) {
    engines::DatasetProfile profile;
    profile.imageCount = images;
    profile.nativeWidth = width;
    profile.nativeHeight = height;
    profile.isEstimated = estimated;
    return profile;
}

template <typename Widget = QAbstractButton>
Widget* findByText(QWidget* root, const QString& text) {
    for (Widget* widget : root->findChildren<Widget*>())
        if (widget->text() == text) return widget;
    return nullptr;
}

void click(QWidget* widget) {
    ASSERT_TRUE(widget);
    ASSERT_TRUE(widget->isVisible()) << widget->metaObject()->className();
    // The click lands where the user sees the widget: laid out after the
    // last change and scrolled into view.
    QCoreApplication::sendPostedEvents();
    for (QWidget* parent = widget->parentWidget(); parent; parent = parent->parentWidget())
        if (auto* scroll = qobject_cast<QScrollArea*>(parent)) scroll->ensureWidgetVisible(widget);
    // A check box takes clicks on its box and its text only.
    const QPoint where = qobject_cast<QCheckBox*>(widget) ? QPoint(8, widget->height() / 2) : widget->rect().center();
    QTest::mouseClick(widget, Qt::LeftButton, {}, where);
}

void press(QWidget* widget, Qt::Key key, int times = 1, Qt::KeyboardModifiers modifiers = {}) {
    for (int time = 0; time < times; ++time) QTest::keyClick(widget, key, modifiers);
}

class InputForm : public ::testing::Test {
protected:
    void SetUp() override {
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
        model_ = makeViewModel(support_);
        // The form's texts stay as they are: the model does not ask COLMAP.
        model_->setColmapHasCUDA(false);
        model_->setDialogService(dialogs_);
        ModelAccess::setFreeSpaceProbe(
            *model_, [](const fs::path&) { return std::optional<uint64_t>(uint64_t(100) << 30); });
        ModelAccess::setInputAnalyzer(*model_, [script = analysis_](const fs::path&, bool isVideo, int64_t stride) {
            ++script->calls;
            while (script->hold) std::this_thread::sleep_for(std::chrono::milliseconds(2));
            std::lock_guard guard(script->lock);
            script->strides.push_back(stride);
            PipelineViewModel::InputAnalysis analysis;
            analysis.profile = script->profile;
            if (isVideo) analysis.detection = script->detection;
            return analysis;
        });
        ModelAccess::setSceneAnalyzer(
            *model_, [](const fs::path&) { return viewmodel::OptionalSceneAnalysis({1.2, 0.71}); });
        ModelAccess::setDriverCalls(
            *model_,
            {.runPipeline =
                 [driver = driver_](const PipelineManager::RunParameters& parameters, std::stop_token stopToken) {
                     {
                         std::lock_guard guard(driver->lock);
                         driver->run = parameters;
                     }
                     driver->waitWhileHeld(stopToken);
                 },
             .resumeInterruptedTraining =
                 [driver = driver_](const PipelineManager::ResumeOptions& options, std::stop_token stopToken) {
                     {
                         std::lock_guard guard(driver->lock);
                         driver->resume = RecordingDriver::Resume{options.scan, options.iterations, options.downscale,
                                                                  options.capMax, options.eval};
                     }
                     driver->waitWhileHeld(stopToken);
                 }});
        fs::create_directories(garden_);
        fs::create_directories(output_);
        // A video file as the desktop recognises one: its name and its
        // container's signature.
        writeTextFile(video_, std::string("\0\0\0\x18"
                                          "ftypmp42\0\0\0\0mp42isom",
                                          24));
        view_ = std::make_unique<InputView>(*model_);
        view_->resize(520, 900);
        view_->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(view_.get()));
    }

    void TearDown() override {
        driver_->hold = false;
        analysis_->hold = false;
        if (ModelAccess::hasActiveTask(*model_)) {
            model_->cancelRun();
            EXPECT_TRUE(QTest::qWaitFor([&] { return !ModelAccess::hasActiveTask(*model_); }, 30000));
        }
        view_.reset();
        model_.reset();
        QLocale::setDefault(QLocale::c());
    }

    // Chooses `input` with the button and its panel, and waits for its analysis.
    void chooseWithButton(const fs::path& input) {
        dialogs_->answer(input);
        click(view_->chooseButton());
        ASSERT_TRUE(
            QTest::qWaitFor([&] { return model_->selectedInputURL() == input && !model_->isAnalyzingInput(); }, 30000));
    }

    void openAdvanced() {
        click(view_->advancedSettings()->disclosure());
        ASSERT_TRUE(model_->showAdvanced());
        ASSERT_TRUE(view_->advancedSettings()->column()->isVisible());
    }

    void clickChoice(views::SegmentedPicker* picker, const QString& label) {
        ASSERT_TRUE(picker);
        click(picker->choice(label));
    }

    // Starts the run with the button and the output panel; the recorded
    // parameters.
    PipelineManager::RunParameters startRun() {
        EXPECT_TRUE(view_->startButton()->isEnabled());
        dialogs_->answer(output_);
        click(view_->startButton());
        EXPECT_TRUE(QTest::qWaitFor([&] { return !model_->hasActiveOperation(); }, 30000));
        std::lock_guard guard(driver_->lock);
        if (!driver_->run) ADD_FAILURE() << "no run was started";
        return driver_->run.value_or(PipelineManager::RunParameters{});
    }

    QLineEdit* capField() const { return view_->modelSize()->customField(); }

    void typeCap(const QString& text) {
        QLineEdit* field = capField();
        field->setFocus();
        QTest::keyClick(field, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClicks(field, text);
    }

    TempDir folder_{"views-input-form"};
    TempDir support_{"views-input-support"};
    fs::path garden_ = folder_.path() / "garden";
    fs::path video_ = folder_.path() / "walk.mp4";
    fs::path output_ = folder_.path() / "runs";
    std::shared_ptr<ScriptedDialogs> dialogs_ = std::make_shared<ScriptedDialogs>();
    std::shared_ptr<AnalysisScript> analysis_ = std::make_shared<AnalysisScript>();
    std::shared_ptr<RecordingDriver> driver_ = std::make_shared<RecordingDriver>();
    std::unique_ptr<PipelineViewModel> model_;
    std::unique_ptr<InputView> view_;
};

TEST_F(InputForm, WithoutAnInputShowsTheDropZoneTheButtonAndTheResumeCardOnly) {
    EXPECT_EQ(view_->dropZone()->headline(), "Drag & Drop");
    EXPECT_EQ(view_->dropZone()->caption(), "Folder of images or a single video file");
    EXPECT_TRUE(findByText<QLabel>(view_.get(), QStringLiteral("Provide Dataset")));
    EXPECT_TRUE(findByText<QLabel>(view_.get(), QStringLiteral("Drag a folder of images or a video file to begin.")));
    EXPECT_TRUE(view_->chooseButton()->isEnabled());
    for (QWidget* section :
         std::initializer_list<QWidget*>{view_->reconstruction(), view_->video360(), view_->modelSize(),
                                         view_->advancedSettings(), view_->readyLine(), view_->startButton()})
        EXPECT_FALSE(section->isVisible()) << section->metaObject()->className();
    EXPECT_TRUE(view_->resumePanel()->isVisible());
    EXPECT_FALSE(view_->resumePanel()->summary()->isVisible());
}

// The whole path of a photo folder: chosen through the panel, each card's
// settings changed with the mouse and the keyboard, an existing model
// chosen, and the run started with exactly those settings.
TEST_F(InputForm, APhotoFolderRunCarriesEveryCardsSetting) {
    analysis_->profile = profileOf(1, 4032, 3024, false);
    chooseWithButton(garden_);
    ASSERT_EQ(dialogs_->opened.size(), 1u);
    EXPECT_EQ(dialogs_->opened[0].title, "Choose a folder of photos or a video");
    EXPECT_TRUE(dialogs_->opened[0].canChooseFiles && dialogs_->opened[0].canChooseFolders);
    EXPECT_EQ(view_->dropZone()->headline(), "garden");
    EXPECT_EQ(view_->dropZone()->caption(), "Image folder selected");
    EXPECT_EQ(view_->readyLine()->text(), "Ready: garden");
    EXPECT_TRUE(view_->reconstruction()->isVisible());
    EXPECT_FALSE(view_->video360()->isVisible());
    EXPECT_TRUE(view_->startButton()->isEnabled());

    // Model size: "Standard" at first, then "High".
    views::ModelSizeCard* size = view_->modelSize();
    EXPECT_EQ(size->picker()->selectedTag(), 1000000);
    EXPECT_FALSE(size->customRow()->isVisible());
    EXPECT_TRUE(
        size->sizeHintLabel()->text().startsWith(QStringLiteral("About 1M Gaussians \u00b7 \u2248 248 MB PLY.")));
    EXPECT_FALSE(size->memoryAdvice()->isVisible());
    clickChoice(size->picker(), QStringLiteral("High"));
    EXPECT_EQ(model_->trainingCapMax(), 2000000);

    openAdvanced();
    views::AdvancedSettingsView* advanced = view_->advancedSettings();
    // A photo folder has no frame extraction: the column starts with COLMAP.
    EXPECT_FALSE(advanced->frameExtraction()->isVisible());
    EXPECT_TRUE(advanced->colmapSettings()->isVisible());
    views::DatasetDownscaleCard* dataset = advanced->datasetDownscale();
    EXPECT_EQ(dataset->imageCount()->text(), "1 image");
    EXPECT_EQ(dataset->resolution()->text(), "4032 \u00d7 3024");
    EXPECT_EQ(dataset->downscalePicker()->selectedTag(), 0);

    click(advanced->colmapSettings()->singleCameraToggle());
    EXPECT_FALSE(model_->colmapUseSingleCamera());

    views::SliderRow* iterations = advanced->trainingSettings()->iterationsRow();
    EXPECT_EQ(iterations->valueText(), "30K");
    press(iterations->slider(), Qt::Key_End);
    EXPECT_EQ(iterations->valueText(), "60K");
    EXPECT_EQ(model_->trainingIterations(), 60000);
    press(iterations->slider(), Qt::Key_Home);
    EXPECT_EQ(iterations->valueText(), "1K");
    press(iterations->slider(), Qt::Key_Right, 9);
    EXPECT_EQ(model_->trainingIterations(), 10000);
    EXPECT_EQ(iterations->valueText(), "10K");
    click(advanced->trainingSettings()->evalToggle());
    EXPECT_FALSE(model_->trevikEvalMode());

    clickChoice(dataset->downscalePicker(), QStringLiteral("2\u00d7"));
    EXPECT_EQ(model_->trevikDownscaleFactor(), 2);

    views::SliderRow* memory = advanced->partitioning()->memoryRow();
    EXPECT_EQ(memory->maximum(), 13);  // 16 GiB less 3
    EXPECT_EQ(memory->valueText(), "13 GB");
    press(memory->slider(), Qt::Key_Home);
    EXPECT_EQ(memory->valueText(), "4 GB");
    press(memory->slider(), Qt::Key_Right, 4);
    EXPECT_EQ(model_->ramLimitGB(), 8);
    EXPECT_FALSE(advanced->partitioning()->compactNotice()->isVisible());

    // An existing reconstruction instead of COLMAP: start waits for it.
    views::ReconstructionCard* reconstruction = view_->reconstruction();
    EXPECT_FALSE(reconstruction->selectFolderButton()->isVisible());
    click(reconstruction->skipToggle());
    EXPECT_TRUE(model_->skipSfM());
    EXPECT_TRUE(findByText<QLabel>(
        reconstruction,
        QStringLiteral("Select a folder containing sparse/0/ with cameras.bin, images.bin, points3D.bin")));
    EXPECT_FALSE(view_->startButton()->isEnabled());
    EXPECT_EQ(view_->readyLine()->text(), "Ready: garden (skip COLMAP)");
    const fs::path model = folder_.path() / "garden_colmap";
    fs::create_directories(model / "sparse" / "0");
    dialogs_->answer(model);
    click(reconstruction->selectFolderButton());
    EXPECT_EQ(dialogs_->opened.back().title, "Select COLMAP Output Folder");
    EXPECT_TRUE(findByText<QLabel>(reconstruction, QStringLiteral("\u2713 Valid COLMAP folder (sparse/0/ found)")));
    // Its scene analysis arrives in the background: a compact scene.
    ASSERT_TRUE(QTest::qWaitFor([&] { return advanced->partitioning()->compactNotice()->isVisible(); }, 30000));

    const PipelineManager::RunParameters run = startRun();
    EXPECT_EQ(run.inputURL, garden_);
    EXPECT_EQ(run.workspaceURL.parent_path(), output_);
    EXPECT_FALSE(run.isVideo);
    EXPECT_TRUE(run.skipSfM);
    EXPECT_EQ(run.colmapDataURL, model);
    EXPECT_EQ(run.frameExtractionRate, 10);
    EXPECT_EQ(run.iterations, 10000);
    EXPECT_TRUE(run.sharpnessEnabled);
    EXPECT_EQ(run.sharpnessThreshold, 50);
    EXPECT_FALSE(run.colmapSingleCamera);
    EXPECT_FALSE(run.trevikEval);
    EXPECT_EQ(run.trevikDownscaleFactor, 2);
    EXPECT_TRUE(run.useVastGaussian);
    EXPECT_EQ(run.capMax, 2000000);
    EXPECT_EQ(run.ramLimitGB, 8);
    EXPECT_FALSE(run.is360);
    EXPECT_FALSE(run.cropLayout);
}

// A video: the frame-extraction card, the custom model size typed in, and
// partitioning switched off.
TEST_F(InputForm, TheWheelScrollsTheFormOverASliderAndMovesItOnlyWhenFocused) {
    chooseWithButton(garden_);
    openAdvanced();
    QScrollBar* scroll = view_->verticalScrollBar();
    ASSERT_GT(scroll->maximum(), 0);
    views::SliderRow* iterations = view_->advancedSettings()->trainingSettings()->iterationsRow();
    views::SliderRow* memory = view_->advancedSettings()->partitioning()->memoryRow();
    const int64_t iterationsBefore = model_->trainingIterations();
    const auto memoryBefore = model_->ramLimitGB();
    for (views::SliderRow* row : {iterations, memory}) {
        view_->ensureWidgetVisible(row->slider());
        const int scrolled = scroll->value();
        // Down the form: the wheel turned towards the user.
        turnWheel(row->slider(), scrolled > 0 ? 1 : -1);
        EXPECT_NE(scroll->value(), scrolled) << row->slider()->accessibleName().toStdString();
        EXPECT_FALSE(row->slider()->hasFocus());
    }
    EXPECT_EQ(model_->trainingIterations(), iterationsBefore);
    EXPECT_EQ(model_->ramLimitGB(), memoryBefore);

    // A focused slider takes the wheel, and the form stays.
    view_->ensureWidgetVisible(iterations->slider());
    iterations->slider()->setFocus(Qt::TabFocusReason);
    ASSERT_TRUE(QTest::qWaitFor([&] { return iterations->slider()->hasFocus(); }, 30000));
    const int scrolled = scroll->value();
    const int position = iterations->slider()->value();
    turnWheel(iterations->slider(), position > iterations->slider()->minimum() ? -1 : 1);
    EXPECT_NE(iterations->slider()->value(), position);
    EXPECT_NE(model_->trainingIterations(), iterationsBefore);
    EXPECT_EQ(scroll->value(), scrolled);
}

TEST_F(InputForm, AVideoRunCarriesTheExtractionAndTheTypedModelSize) {
    analysis_->profile = profileOf(240, 3840, 2160, true);
    chooseWithButton(video_);
    EXPECT_TRUE(model_->isInputVideo());
    EXPECT_EQ(view_->dropZone()->headline(), "walk.mp4");
    EXPECT_EQ(view_->dropZone()->caption(), "Video file selected");
    openAdvanced();
    views::AdvancedSettingsView* advanced = view_->advancedSettings();
    EXPECT_EQ(advanced->datasetDownscale()->imageCount()->text(), "240 images (est.)");

    // The column starts with frame extraction.
    views::FrameExtractionCard* extraction = advanced->frameExtraction();
    ASSERT_TRUE(extraction->isVisible());
    EXPECT_LT(extraction->y(), advanced->colmapSettings()->y());
    EXPECT_EQ(extraction->rateRow()->valueText(), "10 frames");
    // Every rate the slider passes measures the video again.
    const int analysesBefore = analysis_->calls;
    auto recordedStrides = [&] {
        std::lock_guard guard(analysis_->lock);
        return analysis_->strides.size();
    };
    const size_t stridesBefore = recordedStrides();
    press(extraction->rateRow()->slider(), Qt::Key_Right, 2);
    EXPECT_EQ(model_->frameExtractionRate(), 12);
    EXPECT_EQ(extraction->rateRow()->valueText(), "12 frames");
    // The superseded analysis may still run after the newest has reported:
    // wait for both to have recorded their stride.
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return recordedStrides() == stridesBefore + 2 && !model_->isAnalyzingInput(); }, 30000));
    EXPECT_EQ(analysis_->calls, analysesBefore + 2);
    {
        std::lock_guard guard(analysis_->lock);
        // The analyses run side by side: each rate once, in any order.
        EXPECT_EQ(std::count(analysis_->strides.begin(), analysis_->strides.end(), 11), 1);
        EXPECT_EQ(std::count(analysis_->strides.begin(), analysis_->strides.end(), 12), 1);
    }
    press(extraction->rateRow()->slider(), Qt::Key_Home);
    // One frame, not "1 frames".
    EXPECT_EQ(extraction->rateRow()->valueText(), "1 frame");
    press(extraction->rateRow()->slider(), Qt::Key_Right, 11);
    // Home and eleven steps: twelve analyses, some superseded before they start.
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return analysis_->calls == analysesBefore + 2 + 12 && !model_->isAnalyzingInput(); }, 30000));

    // The threshold stops on steps of 5; it is kept while the filter is off.
    views::SliderRow* threshold = extraction->thresholdRow();
    EXPECT_EQ(threshold->valueText(), "50");
    press(threshold->slider(), Qt::Key_Right);
    EXPECT_EQ(model_->sharpnessThreshold(), 55);
    EXPECT_EQ(threshold->valueText(), "55");
    const int analysesAfterRate = analysis_->calls;
    click(extraction->sharpnessToggle());
    EXPECT_FALSE(model_->sharpnessFilterEnabled());
    EXPECT_FALSE(threshold->isVisible());
    EXPECT_FALSE(findByText<QLabel>(extraction, QStringLiteral("Higher = stricter (more blurry frames discarded)"))
                     ->isVisible());
    click(extraction->sharpnessToggle());
    EXPECT_TRUE(threshold->isVisible());
    EXPECT_EQ(threshold->valueText(), "55");
    EXPECT_EQ(analysis_->calls, analysesAfterRate);  // only the rate measures again

    // "Custom" keeps the cap; a typed number is committed with Return.
    views::ModelSizeCard* size = view_->modelSize();
    clickChoice(size->picker(), QStringLiteral("Custom"));
    EXPECT_TRUE(size->customRow()->isVisible());
    EXPECT_EQ(capField()->text(), "1,000,000");
    EXPECT_EQ(model_->trainingCapMax(), 1000000);
    EXPECT_EQ(size->picker()->selectedTag(), views::ModelSizeCard::customTag);
    typeCap(QStringLiteral("1,500,000"));
    press(capField(), Qt::Key_Return);
    EXPECT_EQ(model_->trainingCapMax(), 1500000);
    EXPECT_TRUE(size->sizeHintLabel()->text().startsWith(QStringLiteral("About 1.5M Gaussians")));
    // Beyond the largest model: the setter's limit.
    typeCap(QStringLiteral("10000000"));
    press(capField(), Qt::Key_Return);
    EXPECT_EQ(model_->trainingCapMax(), 8000000);
    EXPECT_EQ(capField()->text(), "8,000,000");
    EXPECT_TRUE(size->sizeHintLabel()->text().startsWith(QStringLiteral("About 8M Gaussians")));
    // Below the minimum, committed by leaving the field: the warning, and no start.
    typeCap(QStringLiteral("40000"));
    view_->chooseButton()->setFocus();
    ASSERT_TRUE(QTest::qWaitFor([&] { return model_->trainingCapMax() == 40000; }, 30000));
    EXPECT_TRUE(size->minimumWarning()->isVisible());
    EXPECT_EQ(size->minimumWarning()->text(), "Minimum 50,000");
    EXPECT_FALSE(view_->startButton()->isEnabled());
    // Return lifts it to the minimum.
    capField()->setFocus();
    press(capField(), Qt::Key_Return);
    EXPECT_EQ(model_->trainingCapMax(), 50000);
    EXPECT_FALSE(size->minimumWarning()->isVisible());
    EXPECT_TRUE(size->sizeHintLabel()->text().startsWith(QStringLiteral("About 50K Gaussians")));
    // A preset closes the custom row again.
    clickChoice(size->picker(), QStringLiteral("Light"));
    EXPECT_FALSE(size->customRow()->isVisible());
    EXPECT_EQ(model_->trainingCapMax(), 500000);
    clickChoice(size->picker(), QStringLiteral("Custom"));
    typeCap(QStringLiteral("750,000"));
    press(capField(), Qt::Key_Return);

    views::PartitioningCard* partitioning = advanced->partitioning();
    click(partitioning->partitionToggle());
    EXPECT_FALSE(model_->useVastGaussian());
    EXPECT_FALSE(partitioning->limitBlock()->isVisible());

    const PipelineManager::RunParameters run = startRun();
    EXPECT_EQ(run.inputURL, video_);
    EXPECT_TRUE(run.isVideo);
    EXPECT_FALSE(run.skipSfM);
    EXPECT_EQ(run.frameExtractionRate, 12);
    EXPECT_TRUE(run.sharpnessEnabled);
    EXPECT_EQ(run.sharpnessThreshold, 55);
    EXPECT_EQ(run.iterations, 30000);
    EXPECT_TRUE(run.colmapSingleCamera);
    EXPECT_TRUE(run.trevikEval);
    EXPECT_EQ(run.trevikDownscaleFactor, 0);
    EXPECT_EQ(run.capMax, 750000);
    EXPECT_FALSE(run.useVastGaussian);
    EXPECT_EQ(run.ramLimitGB, 13);
    EXPECT_FALSE(run.is360);
}

// The Reconstruction card names where COLMAP extracts features, as the
// program told the model; nothing while it has not.
TEST(ReconstructionNote, NamesWhereCOLMAPRuns) {
    EXPECT_EQ(views::ReconstructionCard::colmapNoteText(true),
              "COLMAP (GPU) reconstructs camera poses and a sparse point cloud from your images.");
    EXPECT_EQ(views::ReconstructionCard::colmapNoteText(false),
              "COLMAP (CPU) reconstructs camera poses and a sparse point cloud from your images.");
    EXPECT_EQ(views::ReconstructionCard::colmapNoteText(std::nullopt),
              "COLMAP reconstructs camera poses and a sparse point cloud from your images.");

    TempDir folder("views-colmap-note");
    const fs::path program = folder / "colmap";
    writeTextFile(program, "#!/bin/sh\necho 'COLMAP 3.8 -- Structure-from-Motion and Multi-View Stereo'\n"
                           "echo '              (Commit Unknown on Unknown without CUDA)'\n");
    fs::permissions(program, fs::perms::owner_all);
    PipelineViewModel::Configuration configuration;
    configuration.physicalMemoryBytes = gibibytes(16);
    configuration.manager.supportFolder = folder / "support";
    configuration.manager.colmapPath = program.string();
    PipelineViewModel model(configuration);
    views::ReconstructionCard card(model);
    card.show();
    EXPECT_EQ(card.colmapNote()->text(), views::ReconstructionCard::colmapNoteText(std::nullopt));
    ASSERT_TRUE(QTest::qWaitFor([&] { return model.colmapHasCUDA().has_value(); }, 10000));
    EXPECT_EQ(card.colmapNote()->text(), views::ReconstructionCard::colmapNoteText(false));
}

struct DetectionCase {
    const char* name;
    input::Spherical360Detection detection;
    bool startAllowed;
};

void PrintTo(const DetectionCase& detection, std::ostream* out) {
    *out << detection.name;
}

class Detected360 : public InputForm, public ::testing::WithParamInterface<DetectionCase> {};

TEST_P(Detected360, WarnsOffersTheLayoutAndGatesTheStart) {
    analysis_->profile = profileOf(180, 5760, 2880, true);
    analysis_->detection = GetParam().detection;
    chooseWithButton(video_);
    views::Video360Card* card = view_->video360();
    ASSERT_TRUE(card->isVisible());
    EXPECT_EQ(card->title(), "360\u00b0 Video");
    EXPECT_EQ(card->noticeText(), GetParam().startAllowed ? views::Video360Card::possibly360Text()
                                                          : views::Video360Card::unsupportedText());
    EXPECT_EQ(view_->startButton()->isEnabled(), GetParam().startAllowed);
    EXPECT_EQ(card->layoutPicker()->selectedTag(), int(input::CropLayoutPreset::fullSphere16));
    // Not cut as 360°, the video takes no crop layout: the choice is shown
    // disabled and a click changes nothing.
    EXPECT_FALSE(card->layoutPicker()->isEnabled());
    clickChoice(card->layoutPicker(), QStringLiteral("Horizontal (8 crops)"));
    EXPECT_EQ(model_->cropLayoutPreset(), input::CropLayoutPreset::fullSphere16);
    // Cut as 360°, the layout shapes the run wherever the run may start.
    model_->setTreatAs360(true);
    EXPECT_EQ(card->layoutPicker()->isEnabled(), GetParam().startAllowed);
    clickChoice(card->layoutPicker(), QStringLiteral("Horizontal (8 crops)"));
    EXPECT_EQ(model_->cropLayoutPreset(), GetParam().startAllowed ? input::CropLayoutPreset::horizontal8
                                                                   : input::CropLayoutPreset::fullSphere16);
    // A photo folder afterwards: no 360° card.
    chooseWithButton(garden_);
    EXPECT_FALSE(card->isVisible());
    EXPECT_TRUE(view_->startButton()->isEnabled());
}

INSTANTIATE_TEST_SUITE_P(
    Detections, Detected360,
    ::testing::Values(
        DetectionCase{"LikelyEquirectangular", input::Spherical360Detection::likelyEquirectangular(), true},
        DetectionCase{"Equirectangular",
                      input::Spherical360Detection::equirectangular(
                          input::Spherical360Detection::MetadataSource::xmpSphericalVideo),
                      false},
        DetectionCase{"ProprietaryContainer", input::Spherical360Detection::proprietaryContainer("insv"), false},
        DetectionCase{"DualFisheye", input::Spherical360Detection::dualFisheye(), false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(InputForm, TheDatasetCardSpinsOnlyWhileAnAnalysisRuns) {
    analysis_->hold = true;
    dialogs_->answer(garden_);
    click(view_->chooseButton());
    openAdvanced();
    views::DatasetDownscaleCard* dataset = view_->advancedSettings()->datasetDownscale();
    EXPECT_TRUE(dataset->analyzingRow()->isVisible());
    EXPECT_TRUE(findByText<QLabel>(dataset, QStringLiteral("Analyzing dataset...")));
    EXPECT_FALSE(dataset->analysisFailed()->isVisible());
    EXPECT_FALSE(dataset->facts()->isVisible());
    // The analysis ends without a profile.
    analysis_->hold = false;
    ASSERT_TRUE(QTest::qWaitFor([&] { return !model_->isAnalyzingInput(); }, 30000));
    EXPECT_FALSE(dataset->analyzingRow()->isVisible());
    EXPECT_TRUE(dataset->analysisFailed()->isVisible());
    EXPECT_EQ(dataset->analysisFailed()->text(), "Couldn't analyze this dataset.");
}

// The input's analysis names what the run will not give COLMAP, in the
// run's own words.
TEST_F(InputForm, TheReadyLineNamesThePhotosCOLMAPIsNotGiven) {
    ModelAccess::setInputAnalyzer(*model_, PipelineViewModel::measureInput);
    generators::renderScene(garden_, 2, {.width = 64, .height = 48});
    generators::renderScene(garden_ / "extra", 1, {.width = 64, .height = 48});
    chooseWithButton(garden_);
    // In sight with the advanced settings closed.
    QLabel* warning = view_->photoWarning();
    EXPECT_TRUE(warning->isVisible());
    EXPECT_EQ(warning->text(),
              "⚠ 1 file that looks like a photo is not given to COLMAP: 1 in a subfolder, which is not read when the "
              "folder itself holds photos (extra/image_000.jpg).");
    openAdvanced();
    EXPECT_EQ(view_->advancedSettings()->datasetDownscale()->imageCount()->text(), "2 images");
    // With COLMAP skipped, no photo is given to it.
    click(view_->reconstruction()->skipToggle());
    EXPECT_FALSE(warning->isVisible());
    click(view_->reconstruction()->skipToggle());
    EXPECT_TRUE(warning->isVisible());
    fs::remove_all(garden_ / "extra");
    chooseWithButton(garden_);
    EXPECT_FALSE(warning->isVisible());
}

// A folder without sparse/0 drops the previous choice and shows the hint again.
TEST_F(InputForm, AFolderWithoutAModelClearsTheChosenOne) {
    chooseWithButton(garden_);
    views::ReconstructionCard* reconstruction = view_->reconstruction();
    click(reconstruction->skipToggle());
    const fs::path model = folder_.path() / "model";
    fs::create_directories(model / "sparse" / "0");
    dialogs_->answer(model);
    click(reconstruction->selectFolderButton());
    EXPECT_TRUE(findByText<QLabel>(reconstruction, QStringLiteral("model"))->isVisible());
    dialogs_->answer(garden_);
    click(reconstruction->selectFolderButton());
    EXPECT_FALSE(model_->colmapDataURL());
    EXPECT_TRUE(findByText<QLabel>(
        reconstruction,
        QStringLiteral("Select a folder containing sparse/0/ with cameras.bin, images.bin, points3D.bin")));
    EXPECT_FALSE(findByText<QLabel>(reconstruction, QStringLiteral("model"))->isVisible());
    // Skipping again off: the COLMAP line.
    click(reconstruction->skipToggle());
    EXPECT_FALSE(reconstruction->selectFolderButton()->isVisible());
}

// ---- Drops, the shortcut, busy runs -------------------------------------------

// Drags `file` over `target` and away again; whether the target took the drag.
bool hoverWith(QWidget* target, const fs::path& file) {
    QMimeData data;
    data.setUrls({fileURL(file)});
    QDragEnterEvent enter(target->rect().center(), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &enter);
    return enter.isAccepted();
}

void leave(QWidget* target) {
    QDragLeaveEvent event;
    QApplication::sendEvent(target, &event);
}

// Holds an operation of the view model open until the test ends it.
void startHeldOperation(PipelineViewModel& model, std::atomic<bool>& release) {
    model.setHasActiveOperation(true);
    ModelAccess::runTrackedOperation(model, [&release](std::stop_token stopToken) {
        while (!release && !stopToken.stop_requested()) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    });
}

TEST_F(InputForm, DropsTakeFoldersAndVideosAndNothingWhileARunIsBusy) {
    views::DropZoneView* zone = view_->dropZone();
    const fs::path text = folder_.path() / "notes.txt";
    writeTextFile(text, "not a capture");
    EXPECT_FALSE(dropURLs(zone, {fileURL(text)}).entered);
    EXPECT_FALSE(zone->isTargeted());

    EXPECT_TRUE(hoverWith(zone, video_));
    EXPECT_TRUE(zone->isTargeted());
    leave(zone);
    EXPECT_FALSE(zone->isTargeted());

    const DropResult folder = dropURLs(zone, {fileURL(garden_)});
    EXPECT_TRUE(folder.entered && folder.dropped);
    EXPECT_FALSE(zone->isTargeted());
    ASSERT_TRUE(QTest::qWaitFor([&] { return model_->selectedInputURL() == garden_; }, 30000));
    EXPECT_FALSE(model_->isInputVideo());
    EXPECT_EQ(zone->headline(), "garden");

    std::atomic<bool> release = false;
    startHeldOperation(*model_, release);
    EXPECT_FALSE(hoverWith(zone, video_));
    EXPECT_FALSE(zone->isTargeted());
    ASSERT_TRUE(deliverEventsDueWithin());
    EXPECT_EQ(model_->selectedInputURL(), garden_);
    // The busy form: no choose button, no resume card, no start.
    EXPECT_FALSE(view_->chooseButton()->isEnabled());
    EXPECT_FALSE(view_->resumePanel()->isVisible());
    EXPECT_FALSE(view_->startButton()->isEnabled());
    release = true;
    ASSERT_TRUE(QTest::qWaitFor([&] { return !model_->hasActiveOperation(); }, 30000));
    EXPECT_TRUE(view_->resumePanel()->isVisible());
    EXPECT_TRUE(view_->chooseButton()->isEnabled());
}

TEST_F(InputForm, ShiftControlOActsAsTheChooseButtonExceptDuringARun) {
    view_->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(view_.get()));
    dialogs_->answer(std::nullopt);
    QTest::keyClick(view_.get(), Qt::Key_O, Qt::ControlModifier | Qt::ShiftModifier);
    ASSERT_EQ(dialogs_->opened.size(), 1u);
    EXPECT_EQ(dialogs_->opened[0].title, "Choose a folder of photos or a video");
    EXPECT_FALSE(model_->selectedInputURL());  // cancelled: nothing changed

    std::atomic<bool> release = false;
    startHeldOperation(*model_, release);
    QTest::keyClick(view_.get(), Qt::Key_O, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_EQ(dialogs_->opened.size(), 1u);
    release = true;
    ASSERT_TRUE(QTest::qWaitFor([&] { return !model_->hasActiveOperation(); }, 30000));
}

TEST_F(InputForm, TheTourScrollsAShownSectionToTheMiddle) {
    view_->resize(520, 400);
    chooseWithButton(garden_);
    QScrollBar* bar = view_->verticalScrollBar();
    ASSERT_GT(bar->maximum(), 0);
    // The scroll glides: it has ended when no animation of the form runs.
    auto scrolling = [&] {
        const auto animations = view_->findChildren<QPropertyAnimation*>();
        return std::any_of(animations.begin(), animations.end(),
                           [](QPropertyAnimation* animation) { return animation->state() == QAbstractAnimation::Running; });
    };
    model_->setTourScrollTarget(QStringLiteral("model_size"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return bar->value() > 0; }, 30000));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !scrolling(); }, 30000));
    QWidget* card = view_->modelSize();
    const int middle = card->mapTo(view_->viewport(), card->rect().center()).y();
    EXPECT_NEAR(middle, view_->viewport()->height() / 2, 2);

    // Nil scrolls nowhere; nor does a section that is not shown.
    const int before = bar->value();
    model_->setTourScrollTarget(std::nullopt);
    model_->setTourScrollTarget(QStringLiteral("input_advanced_extraction"));
    EXPECT_FALSE(scrolling());
    ASSERT_TRUE(deliverEventsDueWithin());
    EXPECT_EQ(bar->value(), before);
}

// ---- The resume panel ---------------------------------------------------------

// An interrupted partitioned workspace: the global model and its photos,
// trained cells and cells without a folder, all named in the plan.
fs::path writeWorkspace(const fs::path& folder, int trained, int untrained, int missing) {
    auto writeModel = [](const fs::path& sparse) {
        for (const char* name : {"cameras.bin", "images.bin", "points3D.bin"}) writeTextFile(sparse / name, "model");
    };
    const fs::path workspace = folder / "Tessaron_workspace 2026-12-07 101500";
    writeModel(workspace / "colmap" / "sparse" / "0");
    fs::create_directories(workspace / "colmap" / "images");
    std::string plan = "{\"cells\":[";
    int index = 0;
    for (int cell = 0; cell < trained + untrained + missing; ++cell, ++index) {
        const std::string id = "cell_" + std::to_string(index);
        if (cell > 0) plan += ",";
        plan += "{\"id\":\"" + id + "\",\"imageCount\":20}";
        if (cell >= trained + untrained) continue;
        writeModel(workspace / "partitions" / id / "sparse" / "0");
        if (cell >= trained) continue;
        // A complete Gaussian PLY of two vertices.
        std::string ply = "ply\nformat binary_little_endian 1.0\nelement vertex 2\n";
        for (const std::string& name : engines::PLYCheck::requiredProperties()) ply += "property float " + name + "\n";
        ply += "end_header\n" + std::string(2 * 14 * 4, '\0');
        writeTextFile(workspace / "partitions" / id / "output.ply", ply);
    }
    writeTextFile(workspace / "partitions" / "partition_plan.json", plan + "]}");
    return workspace;
}

TEST_F(InputForm, TheResumePanelCountsTheCellsAndResumesOnlyTheMissingOne) {
    const fs::path workspace = writeWorkspace(folder_.path(), 3, 0, 1);
    writeTextFile(workspace / "run_config.json", R"({"downscale":2,"eval":true,"capMax":2000000,"iterations":30000})");
    views::ResumePanel* panel = view_->resumePanel();
    EXPECT_TRUE(findByText<QLabel>(panel, QStringLiteral("If a VastGaussian training run was interrupted, you can "
                                                         "resume from the last completed cell.")));
    dialogs_->answer(workspace);
    click(panel->selectWorkspaceButton());
    EXPECT_EQ(dialogs_->opened.back().title, "Select Tessaron_workspace folder");
    ASSERT_TRUE(panel->summary()->isVisible());
    EXPECT_EQ(panel->workspaceName(), "Tessaron_workspace 2026-12-07 101500");
    EXPECT_EQ(panel->completedText(), "3 completed");
    EXPECT_EQ(panel->remainingText(), "1 remaining");
    EXPECT_EQ(panel->totalText(), "(4 total)");
    EXPECT_EQ(panel->settingsTexts(), (QStringList{"Downscale: 2\u00d7", "Cap: 2M", "Eval: on"}));
    EXPECT_FALSE(panel->allTrainedLine()->isVisible());

    driver_->hold = true;
    click(panel->resumeButton());
    ASSERT_TRUE(model_->hasActiveOperation());
    // While the resume runs, the card is gone.
    EXPECT_FALSE(panel->isVisible());
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            std::lock_guard guard(driver_->lock);
            return driver_->resume.has_value();
        },
        5000));
    {
        std::lock_guard guard(driver_->lock);
        const RecordingDriver::Resume& resume = *driver_->resume;
        EXPECT_EQ(resume.scan.workspaceURL, workspace);
        EXPECT_EQ(resume.scan.completedCells().size(), 3u);
        EXPECT_TRUE(resume.scan.incompleteCells().empty());
        EXPECT_EQ(resume.scan.missingPlannedCells, std::vector<std::string>{"cell_3"});
        EXPECT_EQ(resume.iterations, 30000);
        EXPECT_EQ(resume.downscale, 2);
        EXPECT_EQ(resume.capMax, 2000000);
        EXPECT_TRUE(resume.eval);
    }
    driver_->hold = false;
    ASSERT_TRUE(QTest::qWaitFor([&] { return !model_->hasActiveOperation(); }, 30000));
    EXPECT_TRUE(panel->isVisible());
}

struct WorkspaceCase {
    const char* name;
    int trained, untrained, missing;
    const char* completed;
    const char* remaining;
    const char* total;
    bool resumable;
};

void PrintTo(const WorkspaceCase& workspace, std::ostream* out) {
    *out << workspace.name;
}

class ResumeSummary : public InputForm, public ::testing::WithParamInterface<WorkspaceCase> {};

TEST_P(ResumeSummary, ShowsTheCountsAndWhatIsLeftToDo) {
    const WorkspaceCase& given = GetParam();
    const fs::path workspace = writeWorkspace(folder_.path(), given.trained, given.untrained, given.missing);
    writeTextFile(workspace / "run_config.json", R"({"downscale":1,"eval":false,"capMax":750000,"iterations":30000})");
    views::ResumePanel* panel = view_->resumePanel();
    dialogs_->answer(workspace);
    click(panel->selectWorkspaceButton());
    ASSERT_TRUE(panel->summary()->isVisible());
    EXPECT_EQ(panel->completedText(), given.completed);
    EXPECT_EQ(panel->remainingText(), given.remaining);
    EXPECT_EQ(panel->totalText(), given.total);
    EXPECT_EQ(panel->settingsTexts(), (QStringList{"Downscale: 1\u00d7", "Cap: 750K", "Eval: off"}));
    EXPECT_EQ(panel->resumeButton()->isVisible(), given.resumable);
    EXPECT_EQ(panel->allTrainedLine()->isVisible(), !given.resumable && given.trained > 0);
    EXPECT_EQ(panel->nothingTrainedLine()->isVisible(), !given.resumable && given.trained == 0);
    // A cancelled panel keeps the summary.
    dialogs_->answer(std::nullopt);
    click(panel->selectWorkspaceButton());
    EXPECT_TRUE(panel->summary()->isVisible());
    // A folder that is no workspace: the summary goes, the state says why.
    dialogs_->answer(folder_.path() / "runs");
    click(panel->selectWorkspaceButton());
    EXPECT_FALSE(panel->summary()->isVisible());
    EXPECT_EQ(model_->currentState(),
              pipeline::PipelineState::error("Workspace scan failed: No partitions/ directory found in workspace"));
}

INSTANTIATE_TEST_SUITE_P(
    Workspaces, ResumeSummary,
    ::testing::Values(WorkspaceCase{"AllTrained", 3, 0, 0, "3 completed", "0 remaining", "(3 total)", false},
                      WorkspaceCase{"FiveOfEightAndTwoMissing", 5, 3, 2, "5 completed", "5 remaining", "(10 total)",
                                    true},
                      WorkspaceCase{"NoneTrained", 0, 2, 0, "0 completed", "2 remaining", "(2 total)", true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(InputForm, AResumeScanWithoutSettingsShowsAnEmptySettingsRow) {
    const fs::path workspace = writeWorkspace(folder_.path(), 2, 0, 0);
    dialogs_->answer(workspace);
    click(view_->resumePanel()->selectWorkspaceButton());
    EXPECT_TRUE(view_->resumePanel()->settingsTexts().isEmpty());
    EXPECT_TRUE(view_->resumePanel()->allTrainedLine()->isVisible());
}

// ---- The memory slider's range follows the machine ----------------------------

TEST(InputFormMemory, TheSliderRangeAndTheAdviceFollowPhysicalMemory) {
    TempDir support("views-input-memory");
    for (const auto& [memory, maximum, advice] :
         std::vector<std::tuple<uint64_t, double, bool>>{{gibibytes(16), 13, false}, {gibibytes(6), 4, true}}) {
        PipelineViewModel::Configuration configuration;
        configuration.physicalMemoryBytes = memory;
        configuration.manager.supportFolder = support.path();
        PipelineViewModel model(configuration);
        model.setSelectedInputURL(support.path());
        model.setShowAdvanced(true);
        InputView view(model);
        view.resize(520, 900);
        view.show();
        views::SliderRow* row = view.advancedSettings()->partitioning()->memoryRow();
        EXPECT_EQ(row->minimum(), 4);
        EXPECT_EQ(row->maximum(), maximum);
        EXPECT_EQ(row->valueText(), QString::number(int(maximum)) + " GB");
        EXPECT_EQ(view.modelSize()->memoryAdvice()->isVisible(), advice);
        EXPECT_EQ(view.modelSize()->memoryAdvice()->text(),
                  "Tessaron beta is tested on computers with 16 GB or more memory.");
    }
}


// A machine of 23.99 GiB: one memory limit reads the same in the form, the
// run report, the plan and the planner's log.
TEST(InputFormMemory, OneLimitReadsTheSameInTheFormTheReportAndThePlan) {
    TempDir support("views-input-memory-agree");
    PipelineViewModel::Configuration configuration;
    configuration.physicalMemoryBytes = gibibytes(23.99);
    configuration.manager.supportFolder = support.path();
    PipelineViewModel model(configuration);
    EXPECT_EQ(model.ramLimitGB(), 20);
    model.setSelectedInputURL(support.path());
    model.setShowAdvanced(true);
    InputView view(model);
    view.resize(520, 900);
    view.show();
    EXPECT_EQ(view.advancedSettings()->partitioning()->memoryRow()->valueText(), "20 GB");
    const viewmodel::SettingRows rows = model.settingsSummary();
    const auto memoryRow = std::find_if(rows.begin(), rows.end(), [](const auto& row) { return row.name == "Memory limit"; });
    ASSERT_NE(memoryRow, rows.end());
    EXPECT_EQ(memoryRow->value, "20 GB");

    SyntheticModelOptions options;
    options.imageCount = 60;
    options.pointCount = 3000;
    std::vector<std::string> lines;
    const partition::PartitionPlan plan = partition::VastGaussianPartitioner::createPlan(
        makeSyntheticModel(options), {.ramLimitGB = model.ramLimitGB()},
        [&](const std::string& line) { lines.push_back(line); });
    EXPECT_NE(plan.printSummary().find("RAM: 20.0 GB app limit, 17.5 GB budget per cell"), std::string::npos)
        << plan.printSummary();
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& line) {
        return line.find("App RAM: 20.0 GB limit") != std::string::npos;
    }));
}

}  // namespace
}  // namespace tessaron::testing
