#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "HostileFiles.hpp"
#include "engines/PLYCheck.hpp"
#include "partition/PartitionPlan.hpp"
#include "pipeline/RunConfig.hpp"
#include "pipeline/WorkspaceScanner.hpp"
#include "support/TempDir.hpp"

using namespace tessaron::pipeline;
using tessaron::testing::TempDir;
using tessaron::testing::writeTextFile;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
namespace fs = std::filesystem;

namespace {

void writeModelFiles(const fs::path& sparse) {
    for (const char* name : {"cameras.bin", "images.bin", "points3D.bin"}) writeTextFile(sparse / name, "model");
}

// A complete Gaussian PLY of `vertices` vertices, less `missingBytes`.
void writeGaussianPLY(const fs::path& file, int vertices, size_t missingBytes = 0) {
    std::string text = "ply\nformat binary_little_endian 1.0\nelement vertex " + std::to_string(vertices) + "\n";
    for (const std::string& name : tessaron::engines::PLYCheck::requiredProperties()) text += "property float " + name + "\n";
    text += "end_header\n";
    text += std::string(size_t(vertices) * 14 * 4 - missingBytes, '\0');
    writeTextFile(file, text);
}

std::string planJSON(const std::vector<std::pair<std::string, int>>& cells, const std::string& extra = "") {
    std::string json = "{" + extra + "\"cells\":[";
    for (size_t index = 0; index < cells.size(); ++index) {
        if (index > 0) json += ",";
        json += "{\"id\":\"" + cells[index].first + "\",\"imageCount\":" + std::to_string(cells[index].second) + "}";
    }
    return json + "]}";
}

class WorkspaceScan : public ::testing::Test {
protected:
    void SetUp() override {
        writeModelFiles(workspace_ / "colmap" / "sparse" / "0");
        fs::create_directories(workspace_ / "colmap" / "images");
        fs::create_directories(partitions_);
    }

    void addCell(const std::string& id, bool trained) {
        writeModelFiles(partitions_ / id / "sparse" / "0");
        if (trained) writeGaussianPLY(partitions_ / id / "output.ply", 3);
    }

    void writePlan(const std::string& json) { writeTextFile(partitions_ / "partition_plan.json", json); }

    static std::vector<std::string> ids(const std::vector<ScannedCell>& cells) {
        std::vector<std::string> result;
        for (const ScannedCell& cell : cells) result.push_back(cell.cellId);
        return result;
    }

    TempDir folder_;
    fs::path workspace_ = folder_ / "Tessaron_workspace";
    fs::path partitions_ = workspace_ / "partitions";
};

std::string scanMessage(const fs::path& workspace) {
    try {
        WorkspaceScanner::scan(workspace);
    } catch (const WorkspaceScanner::ScanError& error) {
        return error.what();
    }
    return "no error";
}

}  // namespace

TEST(CellIDOrder, ByCellNumberThenSubCell) {
    std::vector<std::string> ids = {"cell_10", "cell_4_s1", "cell_2", "cell_4", "cell_5", "cell_4_s0", "cell_x"};
    std::sort(ids.begin(), ids.end(), [](const auto& a, const auto& b) { return cellIDPrecedes(a, b); });
    EXPECT_THAT(ids, ElementsAre("cell_x", "cell_2", "cell_4", "cell_4_s0", "cell_4_s1", "cell_5", "cell_10"));
    EXPECT_TRUE(cellIDPrecedes("cell_3", "cell_3_s0"));
    EXPECT_FALSE(cellIDPrecedes("cell_3_s0", "cell_3"));
    EXPECT_FALSE(cellIDPrecedes("cell_3", "cell_3"));
    EXPECT_TRUE(cellIDPrecedes("cell_3_s", "cell_3_s1"));        // an empty sub-cell piece counts 0
    EXPECT_FALSE(cellIDPrecedes("cell_3_s1_s0", "cell_3_s1"));  // pieces after the second are ignored
}

TEST(CellIDOrder, OnlyCellIdsOfTheirOwnFormNameFolders) {
    for (const char* id : {"cell_0", "cell_12", "cell_3_s1", "cell_3_s1_s0"}) EXPECT_TRUE(isCellFolderId(id)) << id;
    for (const char* id : {"", "cell_", "cell_x", "../cell_1", "cell_1/..", "cell_1/x", "cell_1_s", "cell_-1", "cell_1_t2",
                           "cell_1 ", ".", ".."})
        EXPECT_FALSE(isCellFolderId(id)) << id;
}

TEST(WorkspaceLogParameters, FirstDownscaleLargestCapAndEvalOnce) {
    auto parameters = WorkspaceScanner::parametersFromLogText(
        "[PREP] Image downscale factor: x\n"
        "[PREP] Image downscale factor: 2x\n"
        "[PREP] Image downscale factor: 4x\n"
        "[TRAIN] Cap Max: 500000\n"
        "[TRAIN] Cap Max: \t900000 \t\n"
        "[TRAIN] Cap Max:\t950000\n"  // no blank after the colon: not read
        "[TRAIN] Cap Max: 700000\n"
        "[TRAIN] Cap Max:1000000000\n"
        "[TRAIN] Command: trevik /w/dataset -n 7000 --eval\n");
    EXPECT_EQ(parameters.downscale, 2);
    EXPECT_EQ(parameters.capMax, 900000);
    EXPECT_EQ(parameters.eval, true);

    auto none = WorkspaceScanner::parametersFromLogText("[PREP] Image downscale factor: 2 x\n[TRAIN] Cap Max: lots\n");
    EXPECT_EQ(none, WorkspaceScanner::LogParameters{});
}

TEST_F(WorkspaceScan, WithoutPartitionsItFailsEvenWhenAllElseIsThere) {
    fs::remove_all(partitions_);
    EXPECT_EQ(scanMessage(workspace_), "No partitions/ directory found in workspace");
}

TEST_F(WorkspaceScan, FailsWithoutAGlobalModelOrImages) {
    addCell("cell_0", false);
    fs::remove(workspace_ / "colmap" / "sparse" / "0" / "points3D.bin");
    EXPECT_EQ(scanMessage(workspace_), "Cannot locate global COLMAP sparse/0/ data");
    writeModelFiles(workspace_ / "colmap" / "sparse" / "0");
    fs::remove_all(workspace_ / "colmap" / "images");
    EXPECT_EQ(scanMessage(workspace_), "Cannot locate images directory");
}

TEST_F(WorkspaceScan, WithoutAPlanEveryModelFolderCountsInCellOrder) {
    addCell("cell_10", true);
    addCell("cell_2", false);
    addCell("cell_3_s0", true);
    fs::create_directories(partitions_ / "cell_4" / "sparse" / "0");  // no model: left out
    fs::create_directories(partitions_ / "notes");
    writeModelFiles(partitions_ / ".cell_9" / "sparse" / "0");  // hidden
    writeGaussianPLY(partitions_ / "cell_2" / "output.partial.ply", 3);

    WorkspaceScanResult result = WorkspaceScanner::scan(workspace_);
    EXPECT_THAT(ids(result.cells), ElementsAre("cell_2", "cell_3_s0", "cell_10"));
    EXPECT_THAT(ids(result.completedCells()), ElementsAre("cell_3_s0", "cell_10"));
    EXPECT_THAT(ids(result.incompleteCells()), ElementsAre("cell_2"));
    EXPECT_TRUE(result.missingPlannedCells.empty());
    EXPECT_EQ(result.workspaceURL, workspace_);
    EXPECT_EQ(result.globalSparseURL, workspace_ / "colmap" / "sparse" / "0");
    EXPECT_EQ(result.cells[0].sparseURL, partitions_ / "cell_2" / "sparse" / "0");
    EXPECT_EQ(result.cells[0].cellURL, partitions_ / "cell_2");
}

TEST_F(WorkspaceScan, AnOutputOneByteShortLeavesTheCellIncomplete) {
    addCell("cell_0", false);
    writeGaussianPLY(partitions_ / "cell_0" / "output.ply", 3, 1);
    EXPECT_EQ(WorkspaceScanner::scan(workspace_).cells.at(0).status, CellStatus::incomplete);
}

TEST_F(WorkspaceScan, WithAPlanOnlyTrainablePlannedCellsCount) {
    addCell("cell_2", true);
    addCell("cell_7", true);  // not in the plan
    addCell("cell_1", false);
    writePlan(planJSON({{"cell_1", 8}, {"cell_2", 9}, {"cell_10", 30}, {"cell_3", 40}, {"cell_4", 7}}));

    WorkspaceScanResult result = WorkspaceScanner::scan(workspace_);
    EXPECT_THAT(ids(result.cells), ElementsAre("cell_1", "cell_2"));
    // Plain string order: cell_10 before cell_3; cell_4 has too few images.
    EXPECT_THAT(result.missingPlannedCells, ElementsAre("cell_10", "cell_3"));
    EXPECT_TRUE(result.rejectedPlannedCells.empty());
}

TEST_F(WorkspaceScan, APlanWithoutCellFoldersListsEveryTrainableCellAsMissing) {
    writePlan(planJSON({{"cell_0", 12}, {"cell_1", 20}}));
    WorkspaceScanResult result = WorkspaceScanner::scan(workspace_);
    EXPECT_TRUE(result.cells.empty());
    EXPECT_THAT(result.missingPlannedCells, ElementsAre("cell_0", "cell_1"));
}

TEST_F(WorkspaceScan, APlanWithoutTrainableCellsFindsNoCells) {
    addCell("cell_0", true);
    writePlan(planJSON({{"cell_0", 15}}, "\"viewsPerFrame\":2,"));  // needs 16 images per cell
    EXPECT_EQ(scanMessage(workspace_), "No partition cells found in partitions/");
    writePlan(planJSON({{"cell_0", 15}}, "\"viewsPerFrame\":1.5,"));  // not an integer: 8 images
    EXPECT_EQ(WorkspaceScanner::scan(workspace_).cells.size(), 1u);
}

TEST_F(WorkspaceScan, AMalformedPlanCountsAsNoPlan) {
    addCell("cell_5", false);
    for (const char* plan : {"not json", "[]", R"({"cells":{}})", R"({"cells":[1]})", R"({"other":[]})"}) {
        writePlan(plan);
        WorkspaceScanResult result = WorkspaceScanner::scan(workspace_);
        EXPECT_THAT(ids(result.cells), ElementsAre("cell_5")) << plan;
        EXPECT_TRUE(result.missingPlannedCells.empty()) << plan;
        EXPECT_EQ(result.unusableFiles.size(), 1u) << plan;
    }
}

TEST_F(WorkspaceScan, PlannedIdsThatCannotNameACellFolderAreReportedAndNotUsed) {
    addCell("cell_1", true);
    writePlan(planJSON({{"cell_1", 10}, {"../../escape", 10}, {"cell_2/..", 10}, {"cell_3", 10}}));
    WorkspaceScanResult result = WorkspaceScanner::scan(workspace_);
    EXPECT_THAT(ids(result.cells), ElementsAre("cell_1"));
    EXPECT_THAT(result.missingPlannedCells, ElementsAre("cell_3"));
    EXPECT_THAT(result.rejectedPlannedCells, ElementsAre("../../escape", "cell_2/.."));
}

TEST_F(WorkspaceScan, SettingsComeFromRunConfigElseFromTheNewestLog) {
    addCell("cell_0", false);
    writeTextFile(workspace_ / "Tessaron_logs" / "2026-01-01_100000_AAAAAA_training.md",
                  "[PREP] Image downscale factor: 8x\n[TRAIN] Cap Max: 10\n[TRAIN] --eval\n");
    writeTextFile(workspace_ / "Tessaron_logs" / "2026-01-02_090000_BBBBBB_training.md",
                  "[PREP] Image downscale factor: 2x\n[TRAIN] Cap Max: 500000\n[TRAIN] Cap Max: 800000\n");
    writeTextFile(workspace_ / "Tessaron_logs" / "notes.txt", "[TRAIN] --eval\n");

    WorkspaceScanResult fromLog = WorkspaceScanner::scan(workspace_);
    EXPECT_EQ(fromLog.downscaleFromLog, 2);
    EXPECT_EQ(fromLog.capMaxFromLog, 800000);
    EXPECT_EQ(fromLog.evalFromLog, std::nullopt);  // no "--eval" in the newest log

    // A settings file without "iterations" does not decode: the log stands.
    writeTextFile(workspace_ / "run_config.json", R"({"downscale":1,"eval":false,"capMax":3})");
    EXPECT_EQ(WorkspaceScanner::scan(workspace_).capMaxFromLog, 800000);

    RunConfig{1, false, 3000000, 30000}.save(workspace_);
    WorkspaceScanResult fromSettings = WorkspaceScanner::scan(workspace_);
    EXPECT_EQ(fromSettings.downscaleFromLog, 1);
    EXPECT_EQ(fromSettings.capMaxFromLog, 3000000);
    EXPECT_EQ(fromSettings.evalFromLog, false);
}

// Settings, plan and log are read back from a folder the user picked: in
// place of any of them a FIFO, a device or a file of gigabytes is refused at
// once, the scan goes on as if it were missing, and says why.
TEST_F(WorkspaceScan, SettingsPlanAndLogThatAreNotSmallRegularFilesAreReportedAndNotUsed) {
    addCell("cell_0", false);
    addCell("cell_1", false);
    const fs::path log = workspace_ / "Tessaron_logs" / "2026-01-02_090000_BBBBBB_training.md";
    const std::string logText = "[PREP] Image downscale factor: 2x\n[TRAIN] Cap Max: 800000\n";
    const std::string config = RunConfig{4, true, 5, 6}.encode();
    struct Target {
        fs::path file;
        std::uint64_t cap;
        std::string validText;
    };
    const std::vector<Target> targets = {
        {workspace_ / "run_config.json", RunConfig::maximumFileBytes, config},
        {partitions_ / "partition_plan.json", tessaron::partition::PartitionPlan::maximumFileBytes,
         planJSON({{"cell_0", 10}})},
        {log, WorkspaceScanner::maximumLogBytes, logText},
    };
    for (const Target& target : targets) {
        for (const auto& kind : tessaron::testing::hostileFiles(target.cap, target.validText)) {
            // The plan's cap is half a gigabyte: padding to it is left to the sparse case.
            if (kind.name == "PaddedPastTheCap" && target.cap > (std::uint64_t(64) << 20)) continue;
            SCOPED_TRACE(target.file.filename().string() + " " + kind.name);
            fs::remove_all(workspace_ / "run_config.json");
            fs::remove_all(partitions_ / "partition_plan.json");
            writeTextFile(log, logText);
            fs::remove(target.file);
            kind.make(target.file);

            WorkspaceScanResult result;
            EXPECT_TRUE(tessaron::testing::returnsWithin(target.file, [&] { result = WorkspaceScanner::scan(workspace_); }));
            ASSERT_EQ(result.unusableFiles.size(), 1u);
            EXPECT_THAT(result.unusableFiles[0], HasSubstr(target.file.string()));
            EXPECT_THAT(result.unusableFiles[0], HasSubstr(kind.reason));
            // As if the file were missing: no plan keeps every cell, no
            // settings leave the log's, no log leaves nothing.
            EXPECT_THAT(ids(result.cells), ElementsAre("cell_0", "cell_1"));
            EXPECT_EQ(result.downscaleFromLog, target.file == log ? std::nullopt : std::optional<int64_t>(2));
            fs::remove(target.file);
        }
    }
}

// The scan holds a plan to the bounds the merge's reading does: more cells
// than a plan can have, or nesting deeper than a plan's, make it no plan.
TEST_F(WorkspaceScan, APlanBeyondThePlanBoundsCountsAsNoPlanWithTheReason) {
    addCell("cell_0", false);
    std::vector<std::pair<std::string, int>> cells;
    for (size_t index = 0; index <= tessaron::partition::PartitionPlan::maximumCellCount; ++index)
        cells.emplace_back("cell_" + std::to_string(index), 10);
    std::string deep = "1";
    for (int level = 0; level < 10; ++level) deep = "[" + deep + "]";
    const std::pair<std::string, std::string> plans[] = {
        {planJSON(cells), "more than 100000 cells"},
        {R"({"cells":[{"id":"cell_0","imageCount":10,"note":)" + deep + "}]}", "nesting deeper than 8 levels"},
    };
    for (const auto& [plan, reason] : plans) {
        SCOPED_TRACE(reason);
        writePlan(plan);
        WorkspaceScanResult result = WorkspaceScanner::scan(workspace_);
        EXPECT_THAT(ids(result.cells), ElementsAre("cell_0"));
        EXPECT_TRUE(result.missingPlannedCells.empty());
        ASSERT_EQ(result.unusableFiles.size(), 1u);
        EXPECT_THAT(result.unusableFiles[0], HasSubstr((partitions_ / "partition_plan.json").string()));
        EXPECT_THAT(result.unusableFiles[0], HasSubstr(reason));
    }
}

TEST_F(WorkspaceScan, ALogThatIsNotUTF8GivesNoParameters) {
    addCell("cell_0", false);
    writeTextFile(workspace_ / "Tessaron_logs" / "run.md", "[PREP] Image downscale factor: 2x\n\xff\n");
    EXPECT_EQ(WorkspaceScanner::scan(workspace_).downscaleFromLog, std::nullopt);
}

// A number outside its option's range is refused with its key, and the
// log's values stand: 4294967299 is never narrowed to 3, and a count the
// runner refuses never reaches a resume.
TEST_F(WorkspaceScan, SettingsOutsideTheirOptionsRangeAreReportedAndTheLogStands) {
    addCell("cell_0", false);
    writeTextFile(workspace_ / "Tessaron_logs" / "2026-01-02_090000_BBBBBB_training.md",
                  "[PREP] Image downscale factor: 2x\n[TRAIN] Cap Max: 500000\n");
    const std::pair<const char*, const char*> refusals[] = {
        {R"({"downscale":4294967299,"eval":false,"capMax":1000000,"iterations":30000})",
         "run_config.json: \"downscale\" is 4294967299, outside 1…2147483647"},
        {R"({"downscale":4,"eval":false,"capMax":1000000,"iterations":2000000})",
         "run_config.json: \"iterations\" is 2000000, outside 1…1000000"},
        {R"({"downscale":4,"eval":false,"capMax":10000001,"iterations":30000})",
         "run_config.json: \"capMax\" is 10000001, outside 1…10000000"},
    };
    for (const auto& [config, refusal] : refusals) {
        writeTextFile(workspace_ / "run_config.json", config);
        WorkspaceScanResult result = WorkspaceScanner::scan(workspace_);
        EXPECT_EQ(result.downscaleFromLog, 2) << config;
        EXPECT_EQ(result.capMaxFromLog, 500000) << config;
        EXPECT_EQ(result.evalFromLog, std::nullopt) << config;
        EXPECT_THAT(result.unusableFiles, ElementsAre(refusal));
    }
}

// A cell folder that a link carries outside the workspace is not this
// workspace's: it is left out, named, and (with a plan) counted missing, so
// that a resume prepares it anew inside the workspace.
TEST_F(WorkspaceScan, ACellFolderThatResolvesOutsideTheWorkspaceIsRefusedByName) {
    addCell("cell_0", false);
    addCell("cell_1", true);
    const fs::path elsewhere = folder_ / "elsewhere" / "cell";
    writeModelFiles(elsewhere / "sparse" / "0");
    fs::create_symlink(elsewhere, partitions_ / "cell_2");
    // A link that stays inside the workspace is the workspace's own.
    fs::rename(partitions_ / "cell_1", workspace_ / "kept_cell_1");
    fs::create_symlink("../kept_cell_1", partitions_ / "cell_1");

    WorkspaceScanResult withoutPlan = WorkspaceScanner::scan(workspace_);
    EXPECT_EQ(ids(withoutPlan.cells), (std::vector<std::string>{"cell_0", "cell_1"}));
    EXPECT_THAT(withoutPlan.unusableFiles,
                ElementsAre("Cell folder cell_2 resolves outside the workspace (" + fs::canonical(elsewhere).string() +
                            ") — refused."));

    writePlan(planJSON({{"cell_0", 20}, {"cell_1", 20}, {"cell_2", 20}}));
    WorkspaceScanResult withPlan = WorkspaceScanner::scan(workspace_);
    EXPECT_EQ(ids(withPlan.cells), (std::vector<std::string>{"cell_0", "cell_1"}));
    EXPECT_EQ(withPlan.missingPlannedCells, std::vector<std::string>{"cell_2"});

    // So is every cell of a partitions folder that is a link to elsewhere.
    fs::rename(partitions_, folder_ / "elsewhere" / "partitions");
    fs::create_symlink(folder_ / "elsewhere" / "partitions", partitions_);
    WorkspaceScanResult linkedPartitions = WorkspaceScanner::scan(workspace_);
    EXPECT_TRUE(linkedPartitions.cells.empty());
    EXPECT_EQ(linkedPartitions.missingPlannedCells, (std::vector<std::string>{"cell_0", "cell_1", "cell_2"}));
}

TEST_F(WorkspaceScan, TheDatasetLinksAreFollowed) {
    addCell("cell_0", false);
    const fs::path photos = folder_ / "photos";
    fs::create_directories(photos);
    fs::create_directories(workspace_ / "dataset");
    fs::create_symlink(photos, workspace_ / "dataset" / "images");
    fs::create_symlink("../colmap/sparse", workspace_ / "dataset" / "sparse");
    fs::rename(workspace_ / "colmap" / "sparse", workspace_ / "colmap" / "sparse-kept");
    fs::create_symlink("sparse-kept", workspace_ / "colmap" / "sparse");

    WorkspaceScanResult result = WorkspaceScanner::scan(workspace_);
    EXPECT_EQ(result.imageDir, photos);
    // colmap/sparse/0 holds the model through its link and wins unchanged.
    EXPECT_EQ(result.globalSparseURL, workspace_ / "colmap" / "sparse" / "0");

    // A deleted photo folder is still named: the resume asks for it again.
    fs::remove_all(photos);
    EXPECT_EQ(WorkspaceScanner::scan(workspace_).imageDir, photos);
}

TEST_F(WorkspaceScan, TheDatasetModelIsReturnedWithLinksResolved) {
    addCell("cell_0", false);
    const fs::path model = folder_ / "elsewhere" / "sparse";
    writeModelFiles(model / "0");
    fs::remove_all(workspace_ / "colmap" / "sparse");
    fs::create_directories(workspace_ / "dataset");
    fs::create_symlink(model, workspace_ / "dataset" / "sparse");
    EXPECT_EQ(WorkspaceScanner::findGlobalSparse(workspace_), fs::canonical(model / "0"));

    fs::remove(workspace_ / "dataset" / "sparse");
    writeModelFiles(folder_ / "sparse" / "0");  // beside the workspace
    EXPECT_EQ(WorkspaceScanner::findGlobalSparse(workspace_), folder_ / "sparse" / "0");
}

TEST_F(WorkspaceScan, TheListingErrorOfPartitionsIsPassedOn) {
    fs::remove_all(partitions_);
    writeTextFile(partitions_, "a file, not a folder");
    EXPECT_THROW(WorkspaceScanner::scan(workspace_), tessaron::core::Error);
}
