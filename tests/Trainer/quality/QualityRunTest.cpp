// A photo folder of the generated textured scene through the whole pipeline
// with the real engine. The held-out photos are compared with the trained
// model twice: by the engine's own evaluation and by rendering the written
// PLY (read back by the format library) at the held-out cameras.
#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>

#include "core/ResourceLocator.hpp"
#include "colmap/COLMAPUtils.hpp"
#include "engines/ProcessMonitor.hpp"
#include "colmap/CellNormTransform.hpp"
#include "pipeline/PipelineManager.hpp"
#include "pipeline/PipelineTestSupport.hpp"
#include "generators/SyntheticScene.hpp"
#include "support/TempDir.hpp"
#include "PlyModel.hpp"

using namespace tessaron;
namespace fs = std::filesystem;

namespace {

// The run takes minutes (COLMAP, then training on all cores), so it runs only
// when asked for with the number of iterations.
std::optional<int> iterationsToRun() {
    const char* text = std::getenv("TESSARON_QUALITY_ITERATIONS");
    if (!text || std::atoi(text) < 1) return std::nullopt;
    return std::atoi(text);
}

std::optional<double> loggedNumber(const std::vector<tessaron::testing::RunRecorder::LogEntry>& log,
                                   const std::string& pattern) {
    std::optional<double> value;
    std::regex expression(pattern);
    for (const auto& entry : log) {
        std::smatch match;
        if (std::regex_search(entry.text, match, expression)) value = std::stod(match[1]);
    }
    return value;
}

// The engine's downscale factor: TESSARON_QUALITY_DOWNSCALE, else the
// pipeline's own choice (half size for these 640 x 480 photos).
int downscale() {
    const char* text = std::getenv("TESSARON_QUALITY_DOWNSCALE");
    return text && std::atoi(text) >= 1 ? std::atoi(text) : 2;
}

}  // namespace

TEST(QualityRun, HeldOutPhotosMatchTheTrainedModel) {
    if (!iterationsToRun()) GTEST_SKIP() << "set TESSARON_QUALITY_ITERATIONS (7000 for the quality figures)";
    const int iterations = *iterationsToRun();
    tessaron::testing::TempDir folder("quality-run");
    const fs::path photos = folder / "photos";
    tessaron::generators::SceneOptions scene;
    scene.surroundings = true;
    tessaron::generators::renderScene(photos, 24, scene);
    const fs::path workspace = folder / "output" / "Tessaron_workspace";

    // The engine the build ships, not the tests' one beside this program.
    auto manager = pipeline::PipelineManager::create(
        std::make_shared<engines::ProcessMonitor>(),
        tessaron::testing::testConfiguration(folder / "support", std::nullopt,
                                             core::ResourceLocator::developmentResourcesDirectory() / "trevik"));
    ASSERT_TRUE(fs::exists(engines::COLMAPRunner().colmapPath())) << "COLMAP is not installed";
    tessaron::testing::RunRecorder recorder;
    recorder.attach(*manager);
    pipeline::PipelineManager::RunParameters parameters;
    parameters.inputURL = photos;
    parameters.workspaceURL = workspace;
    parameters.iterations = iterations;
    parameters.useVastGaussian = false;
    parameters.trevikEval = true;
    parameters.trevikDownscaleFactor = downscale();
    parameters.ramLimitGB = 64;
    manager->runPipeline(parameters);
    ASSERT_FALSE(recorder.states().back().isError()) << recorder.states().back().message;

    const auto log = recorder.log();
    for (const auto& entry : log) {
        if (entry.text.starts_with("step=") || entry.text.starts_with("[MEM]") || entry.text.find("PSNR") != std::string::npos ||
            entry.text.starts_with("Training on") || entry.text.starts_with("Dataset "))
            std::cout << "[engine] " << entry.text << "\n";
    }
    auto seeded = loggedNumber(log, "^Seed PSNR before training: ([0-9.]+) dB$");
    auto trained = loggedNumber(log, "^Eval PSNR: ([0-9.]+)$");
    ASSERT_TRUE(seeded && trained);

    // The held-out photos at the training size, in the engine's frame.
    const fs::path model = workspace / "dataset" / "sparse" / "0";
    auto frame = colmap::CellNormTransform::estimate(model);
    ASSERT_TRUE(frame);
    trainer::TrainingDataset::Options options;
    options.imagesFolder = workspace / "dataset" / "images";
    options.downscale = downscale();
    options.holdOut = true;
    options.frameTranslation = {float(frame->translation.x), float(frame->translation.y),
                                float(frame->translation.z)};
    options.frameScale = float(frame->scale);
    auto dataset = trainer::TrainingDataset::load(colmap::COLMAPUtils::readModel(model), options);
    ASSERT_GE(dataset.evaluation.size(), 2u);
    std::vector<double> perImage;
    const double rendered = tessaron::testing::renderedPsnr(
        tessaron::testing::readPlyModel(workspace / "output.ply"), dataset.evaluation, &perImage);
    for (size_t index = 0; index < perImage.size(); ++index)
        std::cout << "[quality] " << dataset.evaluation[index].name << ": " << perImage[index] << " dB" << std::endl;
    std::cout << "[quality] iterations " << iterations << ", downscale " << downscale() << ": seeded " << *seeded << " dB, engine eval " << *trained
              << " dB, PLY rendered " << rendered << " dB" << std::endl;

    EXPECT_NEAR(rendered, *trained, 0.05);
    EXPECT_GT(*trained, *seeded + 1.0);
    if (iterations >= 7000) {
        EXPECT_GE(*trained, 25.0);
        EXPECT_GE(*trained, *seeded + 5.0);
    }
}
