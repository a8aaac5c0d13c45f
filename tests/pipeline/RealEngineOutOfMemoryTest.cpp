// The real training engine under a real memory ceiling: the largest cell of
// a partitioned run does not fit, the engine fails to allocate and says so,
// and the driver retries the cell as its four quadrants, which fit. The
// ceiling is set between what the engine was measured to need for that cell
// and for the largest of the datasets that must still train.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <mutex>

#include "PartitionedRunSupport.hpp"
#include "PipelineTestSupport.hpp"
#include "colmap/COLMAPUtils.hpp"
#include "engines/PLYCheck.hpp"
#include "engines/TrevikRunner.hpp"
#include "partition/PartitionPlan.hpp"
#include "partition/VastGaussianPartitioner.hpp"
#include "pipeline/PipelineManager.hpp"
#include "support/SyntheticPhotos.hpp"
#include "support/TempDir.hpp"

using namespace tessaron;
using tessaron::testing::PartitionedCapture;
using tessaron::testing::PlanAnswerer;
using tessaron::testing::RunRecorder;
using tessaron::testing::ScopedEnvironment;
using tessaron::testing::TempDir;
namespace fs = std::filesystem;

namespace {

constexpr pipeline::PipelineLogStep train = pipeline::PipelineLogStep::training;
constexpr int iterations = 5;
constexpr int64_t capMax = 100000;
// Below this gap between the two measured needs the scene cannot tell the
// cells apart reliably; the engine's need varies by well under a MB from run
// to run.
constexpr double smallestGapMB = 40;

// A small town of 96 photos at 640 x 480, decodable. It plans as one cell,
// whose quadrants hold less than half of its photos each: the photos are what
// the engine's memory grows with (3 bytes a pixel), and their size is what a
// step takes long with.
void writeCapture(const fs::path& capture) {
    tessaron::generators::SyntheticModelOptions options;
    options.layout = tessaron::generators::SyntheticModelOptions::Layout::grid;
    options.imageCount = 96;
    options.pointCount = 3000;
    options.imageWidth = 640;
    options.imageHeight = 480;
    const colmap::COLMAPModel model = tessaron::generators::makeSyntheticModel(options);
    colmap::COLMAPUtils::writeModel(model, capture / "sparse" / "0");
    tessaron::testing::writeSyntheticPhotos(model, capture / "images");
}

// The engine's private writable memory while it trains, in MB: the largest
// "data=" of its "[MEM]" lines in a run without a ceiling, with the settings
// the driver gives a cell.
double measuredNeedMB(const fs::path& dataset, const fs::path& images, int64_t cap) {
    fs::create_directory_symlink(images, dataset / "images");
    engines::TrevikRunner runner;
    std::mutex mutex;
    std::vector<std::string> lines;
    runner.onLog = [&](const std::string& line) {
        std::lock_guard lock(mutex);
        lines.push_back(line);
    };
    engines::TrevikRunner::Options options;
    options.datasetPath = dataset.string();
    options.outputPath = (dataset / "measured.ply").string();
    options.iterations = iterations;
    options.capMax = cap;
    runner.run(options);
    double need = 0;
    for (const std::string& line : lines) {
        const size_t at = line.find(" data=");
        if (line.starts_with("[MEM] phys=") && at != std::string::npos)
            need = std::max(need, std::strtod(line.c_str() + at + 6, nullptr));
    }
    return need;
}

size_t imageCount(const fs::path& modelFolder) { return colmap::COLMAPUtils::readModel(modelFolder).images.size(); }

}  // namespace

TEST(RealEngineOutOfMemory, CellThatDoesNotFitIsTrainedAsFourQuadrants) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer ends the engine itself when its memory runs out";
#endif
    TempDir folder("real-oom");
    const fs::path capture = folder / "capture";
    writeCapture(capture);
    // Two threads: the measurement and the run must start the same threads,
    // whose stacks count against the ceiling.
    ScopedEnvironment engine({{"TESSARON_TEST_ENGINE_SEED_ONLY", "0"}, {"TESSARON_ENGINE_THREADS", "2"}});

    // The cells and, for the largest, the quadrants the driver will make:
    // both are deterministic, so scratch copies show what the run trains.
    const fs::path model = capture / "sparse" / "0";
    const partition::PartitionPlan plan = partition::VastGaussianPartitioner::createPlan(
        model, {.iterationFloor = iterations, .gaussianBudget = capMax, .ramLimitGB = PartitionedCapture::ramLimitGB});
    const fs::path scratch = folder / "scratch";
    const auto cells = partition::VastGaussianPartitioner::executePartition(plan, model, scratch / "cells");
    ASSERT_GE(cells.size(), 1u);
    const auto parent = std::max_element(cells.begin(), cells.end(), [](const auto& a, const auto& b) {
        return imageCount(a.url) < imageCount(b.url);
    });
    const auto quadrants = partition::VastGaussianPartitioner::executeCells(
        parent->cellId, parent->coreBounds, model, scratch / "quadrants", plan.normalization);
    ASSERT_EQ(quadrants.size(), 4u) << "every quadrant must have photos enough to train";
    // Every dataset that must still train under the ceiling, and the one of
    // them with the most photos (the photos are what the cells differ in).
    std::vector<std::pair<fs::path, int64_t>> others;
    for (const auto& cell : cells)
        if (cell.cellId != parent->cellId) others.push_back({cell.url, capMax});
    for (const auto& quadrant : quadrants) others.push_back({quadrant.url, std::min<int64_t>(capMax, 50000)});
    const auto largestOther = *std::max_element(others.begin(), others.end(), [](const auto& a, const auto& b) {
        return imageCount(a.first) < imageCount(b.first);
    });

    const double parentNeed = measuredNeedMB(parent->url.parent_path().parent_path(), capture / "images", capMax);
    const double otherNeed =
        measuredNeedMB(largestOther.first.parent_path().parent_path(), capture / "images", largestOther.second);
    ASSERT_GT(parentNeed - otherNeed, smallestGapMB)
        << parent->cellId << " (" << imageCount(parent->url) << " photos) needs " << parentNeed << " MB, "
        << largestOther.first << " (" << imageCount(largestOther.first) << " photos) " << otherNeed << " MB";
    const int64_t ceiling = int64_t((parentNeed + otherNeed) / 2);
    std::cout << "[ceiling] " << parent->cellId << " needs " << parentNeed << " MB, the largest other dataset "
              << otherNeed << " MB: ceiling " << ceiling << " MB" << std::endl;

    const fs::path workspace = folder / "Tessaron_workspace";
    auto manager = pipeline::PipelineManager::create({}, tessaron::testing::testConfiguration(folder / "support"));
    RunRecorder recorder;
    recorder.attach(*manager);
    pipeline::PipelineManager::RunParameters parameters = PartitionedCapture::runParameters(capture, workspace);
    parameters.iterations = iterations;
    parameters.capMax = capMax;
    parameters.overrideVastGaussianParams = true;
    parameters.trevikEval = false;
    {
        ScopedEnvironment limited({{"TESSARON_ENGINE_MEMORY_LIMIT_MB", std::to_string(ceiling)}});
        PlanAnswerer answerer(*manager, pipeline::PipelineManager::ApprovalOutcome::approved);
        manager->runPipeline(parameters);
    }

    const std::string id = parent->cellId;
    EXPECT_TRUE(recorder.loggedAs(train, "⚠ Cell " + id + " training failed: trevik training failed (exit 1)"));
    EXPECT_TRUE(recorder.loggedAs(train, "error: out of memory: failed to allocate memory for training (std::bad_alloc)"));
    EXPECT_TRUE(recorder.loggedAs(train, id + " ran out of memory — retrying as 4 smaller cells…"));
    for (const auto& quadrant : quadrants)
        EXPECT_TRUE(recorder.loggedAs(train, "✓ Cell " + quadrant.cellId + " training complete.")) << quadrant.cellId;
    for (const auto& cell : cells) {
        if (cell.cellId == id) continue;
        EXPECT_TRUE(recorder.loggedAs(train, "✓ Cell " + cell.cellId + " training complete.")) << cell.cellId;
    }
    const auto texts = recorder.texts();
    EXPECT_EQ(std::count(texts.begin(), texts.end(),
                         "Memory ceiling: " + std::to_string(ceiling) +
                             " MB of private writable memory (TESSARON_ENGINE_MEMORY_LIMIT_MB)"),
              std::ptrdiff_t(cells.size() + quadrants.size()));
    ASSERT_EQ(recorder.states().back(), pipeline::PipelineState::Kind::completed) << recorder.states().back().message;
    EXPECT_GT(engines::PLYCheck::validate(workspace / "output.ply").vertexCount, 0);
}
