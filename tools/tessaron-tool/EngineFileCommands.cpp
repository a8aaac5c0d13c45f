// Sub-commands for the files the pipeline reads and writes: COLMAP models,
// Gaussian PLY checks, workspace folders, model import, dataset profiles.
#include <iostream>
#include <string>
#include <vector>

#include "ToolCommand.hpp"
#include "core/NumberText.hpp"
#include "colmap/COLMAPUtils.hpp"
#include "engines/DatasetProfile.hpp"
#include "engines/PLYCheck.hpp"
#include "engines/SceneAnalysis.hpp"
#include "engines/SubModelPromotion.hpp"
#include "engines/WorkspaceFiles.hpp"

namespace tessaron::tool {

namespace {

using namespace tessaron::colmap;
using namespace tessaron::engines;

int64_t parseCount(const std::string& text, const std::string& what) {
    try {
        size_t used = 0;
        long long value = std::stoll(text, &used);
        if (used == text.size()) return value;
    } catch (const std::exception&) {
    }
    throw std::invalid_argument(what + " must be a whole number, not \"" + text + "\"");
}

void printCounts(const COLMAPModel& model) {
    size_t observations = 0;
    for (const auto& [id, point] : model.points3D) observations += point.track.size();
    std::cout << "cameras: " << model.cameras.size() << "\nimages: " << model.images.size()
              << "\npoints: " << model.points3D.size() << "\nobservations: " << observations << "\n";
}

int modelCommand(const std::vector<std::string>& arguments) {
    const std::string verb = arguments.empty() ? "" : arguments[0];
    if (verb == "info" && arguments.size() == 2) {
        printCounts(COLMAPUtils::readModel(arguments[1]));
        return 0;
    }
    if (verb == "copy" && arguments.size() == 3) {
        COLMAPModel model = COLMAPUtils::readModel(arguments[1]);
        COLMAPUtils::writeModel(model, arguments[2]);
        printCounts(model);
        return 0;
    }
    if (verb == "promote" && arguments.size() == 2) {
        SubModelPromotion::promoteLargestSubModel(arguments[1],
                                                  [](const std::string& line) { std::cout << line << "\n"; });
        return 0;
    }
    if (verb == "analyze" && (arguments.size() == 2 || arguments.size() == 4)) {
        int64_t rows = arguments.size() == 4 ? parseCount(arguments[2], "rows") : 2;
        int64_t cols = arguments.size() == 4 ? parseCount(arguments[3], "cols") : 2;
        std::optional<SceneAnalysis> analysis = SceneAnalysis::analyze(arguments[1], rows, cols);
        if (!analysis) {
            std::cerr << "tessaron-tool model analyze: no analysis for " << arguments[1] << "\n";
            return 1;
        }
        std::cout << "cameraToSceneSpreadRatio: " << core::shortestText(analysis->cameraToSceneSpreadRatio)
                  << "\nimageOverlapScore: " << core::shortestText(analysis->imageOverlapScore) << "\n";
        return 0;
    }
    return usageError(
        "model info <folder> | copy <from> <to> | promote <sparse-folder> | "
        "analyze <folder> [rows cols]");
}

int plycheckCommand(const std::vector<std::string>& arguments) {
    if (arguments.size() != 1) return usageError("plycheck <file.ply>");
    PLYCheck::Layout layout;
    try {
        layout = PLYCheck::validate(arguments[0]);
    } catch (const PLYCheck::Failure& failure) {
        // The check's message is the pipeline's; from the shell the reason
        // ("Is a directory") is worth as much.
        if (failure.kind() != PLYCheck::FailureKind::unreadable || !failure.reason) throw;
        std::cerr << "tessaron-tool plycheck: " << failure.what() << ": " << failure.reason.message() << "\n";
        return 1;
    }
    std::cout << "vertices: " << layout.vertexCount << "\nbytes per vertex: " << layout.bytesPerVertex << "\n";
    return 0;
}

int workspaceCommand(const std::vector<std::string>& arguments) {
    if (arguments.size() != 1) return usageError("workspace <output-folder>");
    std::cout << WorkspaceFiles::createWorkspaceFolder(arguments[0]).string() << "\n";
    return 0;
}

int importCommand(const std::vector<std::string>& arguments) {
    if (arguments.size() != 2) return usageError("import <colmap-folder> <workspace>");
    std::cout << WorkspaceFiles::importCOLMAPModel(arguments[0], arguments[1]).string() << "\n";
    return 0;
}

int profileCommand(const std::vector<std::string>& arguments) {
    if (arguments.empty() || arguments.size() > 2) return usageError("profile <photo-folder | video> [stride]");
    std::optional<DatasetProfile> profile;
    if (std::filesystem::is_directory(arguments[0]))
        profile = DatasetProfile::scan(arguments[0]);
    else
        profile = DatasetProfile::probe(arguments[0], arguments.size() == 2 ? parseCount(arguments[1], "stride") : 10);
    if (!profile) {
        std::cerr << "tessaron-tool profile: no profile for " << arguments[0] << "\n";
        return 1;
    }
    std::cout << "imageCount: " << profile->imageCount << "\nnativeWidth: " << profile->nativeWidth
              << "\nnativeHeight: " << profile->nativeHeight << "\nphysicalMemoryGB: " << profile->physicalMemoryGB
              << "\navailableMemoryGB: " << profile->availableMemoryGB
              << "\nisEstimated: " << (profile->isEstimated ? "true" : "false") << "\n";
    return 0;
}

const ToolCommand::Registration registrations[] = {
    ToolCommand::Registration({"model",
                               "info <folder> | copy <from> <to> | promote <sparse-folder> | analyze <folder> "
                               "[rows cols]: read, rewrite, promote or analyse COLMAP binary models",
                               modelCommand}),
    ToolCommand::Registration(
        {"plycheck", "<file.ply>: check a Gaussian PLY, print its vertex count and stride", plycheckCommand}),
    ToolCommand::Registration(
        {"workspace", "<output-folder>: create a new workspace folder and print its path", workspaceCommand}),
    ToolCommand::Registration(
        {"import", "<colmap-folder> <workspace>: copy sparse/0 into the workspace's colmap folder", importCommand}),
    ToolCommand::Registration(
        {"profile", "<photo-folder | video> [stride]: image count, native size and memory", profileCommand}),
};

}  // namespace

}  // namespace tessaron::tool
