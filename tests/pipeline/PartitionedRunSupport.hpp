#pragma once

// Helpers of the partitioned-run, resume, re-merge and subdivision tests.

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "colmap/COLMAPUtils.hpp"
#include "engines/ProcessRunner.hpp"
#include "partition/PartitionPlan.hpp"
#include "partition/VastGaussianPartitioner.hpp"
#include "pipeline/PipelineManager.hpp"
#include "generators/SyntheticModel.hpp"
#include "support/TempDir.hpp"

namespace tessaron::testing {

// The sum of the Gaussians the merge's per-cell lines report as kept:
// "Cell <i>: <n> → ... → <kept> kept (<share>)...".
inline int64_t keptInMergeLog(const std::vector<std::string>& lines) {
    int64_t total = 0;
    for (const std::string& line : lines) {
        if (!line.starts_with("Cell ")) continue;
        const size_t kept = line.find(" kept (");
        if (kept == std::string::npos) continue;
        const size_t start = line.rfind(' ', kept - 1);
        total += std::strtoll(line.c_str() + start + 1, nullptr, 10);
    }
    return total;
}

// A capture that a partitioned run takes through the imported-model route:
// the synthetic town's COLMAP model in <folder>/sparse/0 and a file for each
// of its images in <folder>/images, so that no COLMAP runs. A grid town of
// 200 photos at 640 x 480 planned under a 3 GB limit gives five cells of
// 11 to 62 photos.
struct PartitionedCapture {
    static constexpr double ramLimitGB = 3.0;

    static void write(const std::filesystem::path& folder) {
        colmap::COLMAPModel model = generators::makeSyntheticModel(options());
        colmap::COLMAPUtils::writeModel(model, folder / "sparse" / "0");
        for (const auto& [imageId, image] : model.images)
            writeTextFile(folder / "images" / image.name, "not really a JPEG");
    }

    static generators::SyntheticModelOptions options() {
        generators::SyntheticModelOptions options;
        options.layout = generators::SyntheticModelOptions::Layout::grid;
        options.imageCount = 200;
        options.pointCount = 4000;
        options.imageWidth = 640;
        options.imageHeight = 480;
        return options;
    }

    // The plan a run makes of the capture (the planner is deterministic).
    static partition::PartitionPlan plan(const std::filesystem::path& folder, int64_t iterations, int64_t capMax) {
        return partition::VastGaussianPartitioner::createPlan(
            folder / "sparse" / "0", {.iterationFloor = iterations, .gaussianBudget = capMax, .ramLimitGB = ramLimitGB});
    }

    // A run of the capture: imported model, partitioned, one-to-one images,
    // evaluation on, the planner's cells.
    static pipeline::PipelineManager::RunParameters runParameters(const std::filesystem::path& folder,
                                                                  const std::filesystem::path& workspace) {
        pipeline::PipelineManager::RunParameters parameters;
        parameters.inputURL = folder / "not-used";
        parameters.workspaceURL = workspace;
        parameters.skipSfM = true;
        parameters.colmapDataURL = folder;
        parameters.iterations = 30;
        parameters.trevikEval = true;
        parameters.trevikDownscaleFactor = 1;
        parameters.useVastGaussian = true;
        parameters.capMax = 1000000;
        parameters.ramLimitGB = ramLimitGB;
        return parameters;
    }
};

// Answers the plan from another thread, as the Planning panel does: it
// resolves again and again, since an answer before the wait is lost and one
// after it does nothing.
class PlanAnswerer {
public:
    PlanAnswerer(pipeline::PipelineManager& manager, pipeline::PipelineManager::ApprovalOutcome answer)
        : thread_([&manager, answer](std::stop_token stop) {
              while (!stop.stop_requested()) {
                  manager.resolvePartitionApproval(answer);
                  std::this_thread::sleep_for(std::chrono::milliseconds(5));
              }
          }) {}

private:
    std::jthread thread_;
};

// Runs the developer tool; its exit status and its output lines.
inline std::pair<int32_t, std::vector<std::string>> runTool(const std::vector<std::string>& arguments) {
    engines::ProcessRunner process;
    std::vector<std::string> lines;
    std::mutex linesMutex;
    const int32_t status =
        process.run({.executablePath = TESSARON_TOOL_PATH, .arguments = arguments}, [&](const std::string& line) {
            std::lock_guard lock(linesMutex);
            lines.push_back(line);
        });
    return {status, lines};
}

}  // namespace tessaron::testing
