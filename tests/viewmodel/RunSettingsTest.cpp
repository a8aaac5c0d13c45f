// The run settings as one value: what a run and its report are given, and
// how the view model's properties read and write it.
#include <gtest/gtest.h>

#include <QSignalSpy>

#include "viewmodel/RunSettings.hpp"
#include "viewmodel/ViewModelTestSupport.hpp"

namespace tessaron::testing {
namespace {

namespace fs = std::filesystem;
using viewmodel::PipelineViewModel;
using viewmodel::RunSettings;

// Every field away from its default.
RunSettings changedSettings() {
    RunSettings settings;
    settings.frameExtractionRate = 7;
    settings.trainingIterations = 1234;
    settings.sharpnessFilterEnabled = false;
    settings.sharpnessThreshold = 12.5;
    settings.colmapUseSingleCamera = false;
    settings.trevikEvalMode = false;
    settings.trevikDownscaleFactor = 3;
    settings.trainingCapMax = 250000;
    settings.useVastGaussian = false;
    settings.useGlobalMapper = true;
    settings.useGPUSIFT = false;
    settings.useAggressiveSIFT = true;
    settings.ramLimitGB = 21;
    settings.diagnosticsEnabled = true;
    settings.treatAs360 = true;
    settings.cropLayoutPreset = input::CropLayoutPreset::horizontal8;
    settings.personMaskMode = input::PersonMaskMode::off;
    settings.skipSfM = true;
    settings.colmapDataURL = "/data/model";
    return settings;
}

TEST(RunSettings, RunParametersCarryEveryFieldAndTheCropsOnlyForAVideo) {
    const RunSettings settings = changedSettings();
    const auto video = settings.runParameters("/in/clip.mp4", "/out/ws", true);
    EXPECT_EQ(video.inputURL, fs::path("/in/clip.mp4"));
    EXPECT_EQ(video.workspaceURL, fs::path("/out/ws"));
    EXPECT_TRUE(video.isVideo);
    EXPECT_TRUE(video.skipSfM);
    EXPECT_EQ(video.colmapDataURL, fs::path("/data/model"));
    EXPECT_EQ(video.frameExtractionRate, 7);
    EXPECT_EQ(video.iterations, 1234);
    EXPECT_FALSE(video.sharpnessEnabled);
    EXPECT_EQ(video.sharpnessThreshold, 12.5);
    EXPECT_FALSE(video.colmapSingleCamera);
    EXPECT_FALSE(video.trevikEval);
    EXPECT_EQ(video.trevikDownscaleFactor, 3);
    EXPECT_FALSE(video.useVastGaussian);
    EXPECT_EQ(video.capMax, 250000);
    EXPECT_TRUE(video.useGlobalMapper);
    EXPECT_FALSE(video.useGPUSIFT);
    EXPECT_TRUE(video.useAggressiveSIFT);
    EXPECT_FALSE(video.overrideVastGaussianParams);
    EXPECT_EQ(video.ramLimitGB, 21);
    EXPECT_TRUE(video.is360);
    ASSERT_TRUE(video.cropLayout.has_value());
    const input::CropLayout layout(input::CropLayoutPreset::horizontal8, RunSettings::cropSize,
                                   RunSettings::cropFieldOfView);
    EXPECT_EQ(video.cropLayout->crops.size(), layout.crops.size());
    EXPECT_EQ(settings.viewsPerFrame(true), qint64(video.cropLayout->crops.size()));
    EXPECT_EQ(video.personMaskMode, input::PersonMaskMode::off);
    // A 360° rig never runs the global mapper, whatever the setting.
    EXPECT_FALSE(settings.runsGlobalMapper(true));

    const auto photos = settings.runParameters("/in/photos", "/out/ws", false);
    EXPECT_FALSE(photos.is360);
    EXPECT_FALSE(photos.cropLayout.has_value());
    EXPECT_EQ(settings.viewsPerFrame(false), 1);
    EXPECT_TRUE(settings.runsGlobalMapper(false));

    const pipeline::RunReport::RunSettings report = settings.reportSettings();
    EXPECT_EQ(report.modelSize, 250000);
    EXPECT_EQ(report.downscale, 3);
    EXPECT_FALSE(report.eval);
    EXPECT_EQ(report.ramLimitGB, 21);
    EXPECT_FALSE(report.partitioning);
    EXPECT_TRUE(report.skipSfM);
}

class RunSettingsModel : public ViewModelTest {};

TEST_F(RunSettingsModel, ThePropertiesReadAndWriteTheOneValueAndAResetRestoresTheInputsOwnDefaults) {
    auto model = makeViewModel(gibibytes(32));
    RunSettings expected;
    expected.ramLimitGB = 29;
    EXPECT_EQ(model->runSettings(), expected);

    QSignalSpy cap(model.get(), &PipelineViewModel::trainingCapMaxChanged);
    model->setTrainingCapMax(99000000);
    EXPECT_EQ(model->runSettings().trainingCapMax, PipelineViewModel::maxTrainingCapMax);
    EXPECT_EQ(cap.count(), 1);
    model->setTrainingCapMax(PipelineViewModel::maxTrainingCapMax);
    EXPECT_EQ(cap.count(), 1);

    model->setSkipSfM(true);
    model->setColmapDataURL(fs::path("/data/model"));
    model->setTrevikDownscaleFactor(2);
    model->setTreatAs360(true);
    model->setTrainingIterations(500);
    model->resetRunState();
    // The user's own settings stay; those of the input go.
    expected.trainingCapMax = PipelineViewModel::maxTrainingCapMax;
    expected.trainingIterations = 500;
    EXPECT_EQ(model->runSettings(), expected);
}

}  // namespace
}  // namespace tessaron::testing
