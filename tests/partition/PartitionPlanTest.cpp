#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>

#include "partition/PartitionPlan.hpp"
#include "support/TempDir.hpp"

using namespace tessaron::partition;
using tessaron::testing::readTextFile;
using tessaron::testing::TempDir;
using tessaron::testing::writeTextFile;

namespace {

PartitionCell makeCell(std::string id, int64_t images, double memory, int64_t cap = 600000) {
    PartitionCell cell;
    cell.id = std::move(id);
    cell.coreBounds = {-0.5, 0.25, -1.0, 1e-7};
    cell.expandedBounds = {-0.8, 0.55, -1.4, 0.4000000000000001};
    cell.imageCount = images;
    cell.pointCount = 120000;
    cell.estimatedMemoryGB = memory;
    cell.recommendedCapMax = cap;
    cell.recommendedIterations = 30000;
    return cell;
}

PartitionPlan makePlan() {
    PartitionPlan plan;
    plan.cells = {makeCell("cell_0", 40, 5.34), makeCell("cell_1", 7, 14.0)};
    plan.cells[0].cameraIds = std::vector<int32_t>{std::numeric_limits<int32_t>::min(), 3, 7, 2147483647};
    plan.cells[0].expandedPointIds = std::vector<uint64_t>{1, 18446744073709551615ULL};
    plan.totalImages = 47;
    plan.totalPoints = 240000;
    plan.physicalRAMGB = 16;
    plan.budgetGB = 13.5;
    plan.downscaleFactor = 2;
    plan.imageWidth = 2000;
    plan.imageHeight = 1500;
    plan.sceneBounds = {-1, 1, -0.75, 0.5};
    plan.normalization = {12.5, -0.1, 3.25, 42.0};
    plan.clusterSeed = 0;
    plan.clusterCentroids = std::vector<Point2D>{{0.1, -0.2}, {-0.0, 1e-300}};
    plan.schemaVersion = 1;
    plan.viewsPerFrame = 1;
    plan.lostCellIds = std::vector<std::string>{"cell_3", "cell_3"};
    return plan;
}

// The members of `json` in document order.
std::vector<std::string> keysInOrder(const std::string& text, const std::string& objectStart) {
    std::vector<std::string> keys;
    size_t position = text.find(objectStart);
    int depth = 0;
    for (size_t index = position; index < text.size(); ++index) {
        char c = text[index];
        if (c == '{' || c == '[') ++depth;
        if (c == '}' || c == ']') {
            if (--depth == 0) break;
        }
        if (c == '"' && depth == 1) {
            size_t end = text.find('"', index + 1);
            if (text.compare(end + 1, 1, ":") == 0) keys.push_back(text.substr(index + 1, end - index - 1));
            index = end;
        }
    }
    return keys;
}

}  // namespace

TEST(PartitionPlanFile, SaveAndLoadGiveBackAnEqualPlan) {
    TempDir dir;
    PartitionPlan plan = makePlan();
    auto file = dir / "nested/partitions/partition_plan.json";
    plan.save(file);  // creates the missing folders
    EXPECT_EQ(PartitionPlan::load(file), plan);

    PartitionPlan empty;
    empty.save(file);  // replaces the whole file
    EXPECT_NE(readTextFile(file).find("\"cells\": []"), std::string::npos);
    EXPECT_EQ(PartitionPlan::load(file), empty);
}

TEST(PartitionPlanFile, ObjectsListTheirKeysSorted) {
    std::string text = makePlan().toJSON();
    EXPECT_EQ(keysInOrder(text, "{"),
              (std::vector<std::string>{"budgetGB", "cells", "clusterCentroids", "clusterSeed", "downscaleFactor",
                                        "imageHeight", "imageWidth", "lostCellIds", "normalization", "physicalRAMGB",
                                        "sceneBounds", "schemaVersion", "totalImages", "totalPoints",
                                        "viewsPerFrame"}));
    auto cellStart = text.find("{", text.find("\"cells\""));
    EXPECT_EQ(keysInOrder(text.substr(cellStart), "{"),
              (std::vector<std::string>{"cameraIds", "coreBounds", "depth", "estimatedMemoryGB", "expandedBounds",
                                        "expandedPointIds", "id", "imageCount", "pointCount", "recommendedCapMax",
                                        "recommendedIterations"}));
    EXPECT_EQ(keysInOrder(text.substr(text.find("\"normalization\"") + 17), "{"),
              (std::vector<std::string>{"centerX", "centerY", "centerZ", "radius"}));
    // Whole Doubles stay Doubles, integers stay integers.
    EXPECT_NE(text.find("\"physicalRAMGB\": 16.0"), std::string::npos);
    EXPECT_NE(text.find("\"totalImages\": 47"), std::string::npos);
    EXPECT_NE(text.find("\n  \"budgetGB\": 13.5,\n"), std::string::npos);
}

TEST(PartitionPlanFile, AbsentOptionalsAreLeftOutNotNull) {
    PartitionPlan plan = makePlan();
    plan.clusterSeed.reset();
    plan.clusterCentroids.reset();
    plan.schemaVersion.reset();
    plan.viewsPerFrame.reset();
    plan.lostCellIds.reset();
    std::string text = plan.toJSON();
    for (const char* key : {"clusterSeed", "clusterCentroids", "schemaVersion", "viewsPerFrame", "lostCellIds"})
        EXPECT_EQ(text.find(key), std::string::npos) << key;
    EXPECT_EQ(text.find("null"), std::string::npos);
    EXPECT_EQ(PartitionPlan::fromJSON(text), plan);
}

TEST(PartitionPlanFile, OlderPlansReadWithDefaults) {
    auto document = nlohmann::json::parse(makePlan().toJSON());
    document.erase("normalization");
    document["clusterSeed"] = nullptr;
    document["futureKey"] = "ignored";
    document["cells"][0].erase("cameraIds");
    document["cells"][0]["expandedPointIds"] = nullptr;
    PartitionPlan plan = PartitionPlan::fromJSON(document.dump());
    EXPECT_EQ(plan.normalization, (SceneNormalization{0, 0, 0, 1}));
    EXPECT_FALSE(plan.clusterSeed);
    EXPECT_FALSE(plan.cells[0].cameraIds);
    EXPECT_FALSE(plan.cells[0].expandedPointIds);
    // The next save writes the identity normalisation out.
    EXPECT_NE(plan.toJSON().find("\"radius\": 1.0"), std::string::npos);
}

struct BadPlan {
    std::string name;
    std::function<void(nlohmann::json&)> change;
    std::string messagePart;
};

class PartitionPlanRejects : public ::testing::TestWithParam<BadPlan> {};

TEST_P(PartitionPlanRejects, ReadingFailsWithAClearError) {
    auto document = nlohmann::json::parse(makePlan().toJSON());
    GetParam().change(document);
    try {
        PartitionPlan::fromJSON(document.dump());
        FAIL() << "read without error";
    } catch (const PartitionPlan::DecodeError& error) {
        EXPECT_NE(std::string(error.what()).find(GetParam().messagePart), std::string::npos) << error.what();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PartitionPlanRejects,
    ::testing::Values(
        BadPlan{"MissingSceneBounds", [](auto& d) { d.erase("sceneBounds"); }, "missing key \"sceneBounds\""},
        BadPlan{"MissingCells", [](auto& d) { d.erase("cells"); }, "missing key \"cells\""},
        BadPlan{"MissingCellDepth", [](auto& d) { d["cells"][1].erase("depth"); }, "\"cells[1].depth\""},
        BadPlan{"MissingBoundsKey", [](auto& d) { d["sceneBounds"].erase("maxZ"); }, "\"sceneBounds.maxZ\""},
        BadPlan{"NullRequired", [](auto& d) { d["budgetGB"] = nullptr; }, "\"budgetGB\" must be a number"},
        BadPlan{"StringCount", [](auto& d) { d["totalImages"] = "47"; }, "\"totalImages\" must be an integer"},
        BadPlan{"FractionalCount", [](auto& d) { d["cells"][0]["imageCount"] = 40.5; },
                "\"cells[0].imageCount\" must be an integer"},
        BadPlan{"BoolNumber", [](auto& d) { d["budgetGB"] = true; }, "\"budgetGB\" must be a number"},
        BadPlan{"CellsNotArray", [](auto& d) { d["cells"] = nlohmann::json::object(); }, "\"cells\" must be an array"},
        BadPlan{"IdNotString", [](auto& d) { d["cells"][0]["id"] = 3; }, "\"cells[0].id\" must be a string"},
        BadPlan{"CameraIdTooLarge", [](auto& d) { d["cells"][0]["cameraIds"][0] = 2147483648LL; },
                "\"cells[0].cameraIds[0]\" is out of range"},
        BadPlan{"NegativePointId", [](auto& d) { d["cells"][0]["expandedPointIds"][0] = -1; },
                "\"cells[0].expandedPointIds[0]\" is out of range"},
        BadPlan{"NegativeSeed", [](auto& d) { d["clusterSeed"] = -5; }, "\"clusterSeed\" is out of range"},
        BadPlan{"LostIdNotString", [](auto& d) { d["lostCellIds"][1] = 2; }, "\"lostCellIds[1]\" must be a string"},
        BadPlan{"CentroidWithoutZ", [](auto& d) { d["clusterCentroids"][0].erase("z"); },
                "\"clusterCentroids[0].z\""},
        BadPlan{"EmptyId", [](auto& d) { d["cells"][0]["id"] = ""; }, "not a safe folder name"},
        BadPlan{"DotDotId", [](auto& d) { d["cells"][1]["id"] = ".."; }, "not a safe folder name"},
        BadPlan{"DotId", [](auto& d) { d["cells"][1]["id"] = "."; }, "not a safe folder name"},
        BadPlan{"PathId", [](auto& d) { d["cells"][0]["id"] = "../../etc"; }, "not a safe folder name"},
        BadPlan{"ZeroRadius", [](auto& d) { d["normalization"]["radius"] = 0.0; }, "must be above 0"},
        BadPlan{"NegativeRadius", [](auto& d) { d["normalization"]["radius"] = -2.0; }, "must be above 0"},
        BadPlan{"NotAnObject", [](auto& d) { d = nlohmann::json::array(); }, "\"plan\" must be an object"}),
    [](const auto& info) { return info.param.name; });

TEST(PartitionPlanFile, NonFiniteOrMalformedNumbersDoNotRead) {
    std::string text = makePlan().toJSON();
    std::string huge = text;
    huge.replace(huge.find("13.5"), 4, "1e400");
    EXPECT_THROW(PartitionPlan::fromJSON(huge), PartitionPlan::DecodeError);
    std::string nanText = text;
    nanText.replace(nanText.find("13.5"), 4, "NaN");
    EXPECT_THROW(PartitionPlan::fromJSON(nanText), PartitionPlan::DecodeError);
    EXPECT_THROW(PartitionPlan::fromJSON(text.substr(0, text.size() / 2)), PartitionPlan::DecodeError);
}

TEST(PartitionPlanFile, ANonFiniteNumberFailsToSaveAndTouchesNothing) {
    TempDir dir;
    for (double bad : {std::nan(""), double(INFINITY), -double(INFINITY)}) {
        PartitionPlan plan = makePlan();
        plan.cells[1].estimatedMemoryGB = bad;
        auto file = dir / "fresh/partition_plan.json";
        try {
            plan.save(file);
            FAIL() << "saved a plan holding " << bad;
        } catch (const PartitionPlan::EncodeError& error) {
            EXPECT_NE(std::string(error.what()).find("cells[1].estimatedMemoryGB"), std::string::npos);
        }
        EXPECT_FALSE(std::filesystem::exists(dir / "fresh"));
    }
}

TEST(PartitionPlanFile, AFailedSaveKeepsTheOldFile) {
    TempDir dir;
    auto file = dir / "partition_plan.json";
    makePlan().save(file);
    std::string before = readTextFile(file);

    PartitionPlan broken = makePlan();
    broken.normalization.radius = std::nan("");
    EXPECT_THROW(broken.save(file), PartitionPlan::EncodeError);
    EXPECT_EQ(readTextFile(file), before);

    // A folder in the way of the target: the write fails, and no temporary stays.
    std::filesystem::create_directory(dir / "taken.json");
    writeTextFile(dir / "taken.json/keep", "x");
    EXPECT_THROW(makePlan().save(dir / "taken.json"), tessaron::core::Error);
    EXPECT_EQ(readTextFile(dir / "taken.json/keep"), "x");
    // A parent that is a file cannot become a folder.
    EXPECT_THROW(makePlan().save(file / "plan.json"), PartitionPlan::FileError);
    EXPECT_EQ(readTextFile(file), before);
    size_t entries = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir.path())) ++entries;
    EXPECT_EQ(entries, 2u);
}

// ---- Plan operations --------------------------------------------------------

TEST(PartitionPlanSummary, MatchesThePrintoutCharacterForCharacter) {
    PartitionPlan plan = makePlan();
    plan.cells = {makeCell("cell_0", 40, 5.34), makeCell("cell_1", 12, 14.0, 999), makeCell("cell_2", 7, 20.0, 1500)};
    EXPECT_EQ(plan.printSummary(),
              "═══ Partition Plan ═══\n"
              "Scene: 47 images, 240000 points\n"
              "RAM: 16.0 GB app limit, 13.5 GB budget per cell\n"
              "Resolution: 2000×1500 (2× downscale)\n"
              "\n"
              "  cell_0: 40 images, 120000 pts → est. 5.3 GB  ✓  [cap:600K, iters:30000]\n"
              "  cell_1: 12 images, 120000 pts → est. 14.0 GB  ⚠ exceeds budget  [cap:0K, iters:30000]\n"
              "  cell_2: 7 images, 120000 pts → est. 20.0 GB  ⏭ skip  [cap:1K, iters:30000]\n"
              "\n"
              "Trainable: 2 cells, Skipped: 1 cells\n"
              "⚠ 1 cell(s) exceed RAM budget — swap may be used");
}

TEST(PartitionPlanSummary, EmptyPlanHasEightLines) {
    PartitionPlan plan;
    plan.physicalRAMGB = 3;
    plan.budgetGB = 1;
    EXPECT_EQ(plan.printSummary(),
              "═══ Partition Plan ═══\nScene: 0 images, 0 points\nRAM: 3.0 GB app limit, 1.0 GB budget per cell\n"
              "Resolution: 0×0 (1× downscale)\n\n\nTrainable: 0 cells, Skipped: 0 cells\n"
              "All cells fit within RAM budget ✓");
    EXPECT_TRUE(plan.trainableCells().empty());
    EXPECT_TRUE(plan.skippedCells().empty());
}

TEST(PartitionPlanSummary, OnlySkippedCellsOverBudgetStillFit) {
    PartitionPlan plan = makePlan();
    plan.cells = {makeCell("cell_0", 40, 5.0), makeCell("cell_1", 3, 99.0)};
    std::string summary = plan.printSummary();
    EXPECT_EQ(summary.substr(summary.rfind('\n') + 1), "All cells fit within RAM budget ✓");
}

struct ViewsCase {
    std::optional<int64_t> viewsPerFrame;
    int64_t smallestTrainable;
};

class TrainableCells : public ::testing::TestWithParam<ViewsCase> {};

TEST_P(TrainableCells, MinimumScalesWithTheRig) {
    PartitionPlan plan = makePlan();
    plan.viewsPerFrame = GetParam().viewsPerFrame;
    int64_t minimum = GetParam().smallestTrainable;
    plan.cells = {makeCell("a", minimum - 1, 1), makeCell("b", minimum, 1), makeCell("c", minimum + 50, 1)};
    auto trainable = plan.trainableCells();
    auto skipped = plan.skippedCells();
    ASSERT_EQ(trainable.size(), 2u);
    EXPECT_EQ(trainable[0].id, "b");
    EXPECT_EQ(trainable[1].id, "c");
    ASSERT_EQ(skipped.size(), 1u);
    EXPECT_EQ(skipped[0].id, "a");
}

INSTANTIATE_TEST_SUITE_P(Rigs, TrainableCells,
                         ::testing::Values(ViewsCase{std::nullopt, 8}, ViewsCase{0, 8}, ViewsCase{1, 8},
                                           ViewsCase{-3, 8}, ViewsCase{2, 16}, ViewsCase{16, 128}));

TEST(TrainableCells, AHugeRigTrainsNothing) {
    PartitionPlan plan = makePlan();
    plan.viewsPerFrame = int64_t(1) << 61;
    plan.cells = {makeCell("a", std::numeric_limits<int64_t>::max() - 1, 1)};
    EXPECT_TRUE(plan.trainableCells().empty());
}

TEST(ReplacingCell, ReplacesEveryCellOfTheIdAndAppends) {
    PartitionPlan plan = makePlan();
    plan.lostCellIds.reset();
    plan.cells.push_back(makeCell("cell_0", 9, 1));
    auto quadrants = std::vector<PartitionCell>{makeCell("cell_0_s0", 20, 1), makeCell("cell_0_s3", 20, 1)};
    PartitionPlan replaced = plan.replacingCell("cell_0", quadrants, false);
    ASSERT_EQ(replaced.cells.size(), 3u);
    EXPECT_EQ(replaced.cells[0].id, "cell_1");
    EXPECT_EQ(replaced.cells[1].id, "cell_0_s0");
    EXPECT_EQ(replaced.cells[2].id, "cell_0_s3");
    EXPECT_FALSE(replaced.lostCellIds);
    EXPECT_EQ(replaced.toJSON().find("lostCellIds"), std::string::npos);
    EXPECT_EQ(plan.cells.size(), 3u);  // the original is unchanged

    PartitionPlan lost = plan.replacingCell("cell_1", {}, true);
    EXPECT_EQ(lost.lostCellIds, (std::vector<std::string>{"cell_1"}));
    PartitionPlan again = lost.replacingCell("cell_1", {}, true);
    EXPECT_EQ(again.lostCellIds, (std::vector<std::string>{"cell_1", "cell_1"}));

    PartitionPlan unknown = plan.replacingCell("cell_9", quadrants, false);
    EXPECT_EQ(unknown.cells.size(), 5u);
    unknown.cells.resize(3);
    EXPECT_EQ(unknown.cells, plan.cells);
}

TEST(CellBounds, ContainsIsInclusiveOnEverySide) {
    CellBounds bounds{-1, 2, 0.5, 3};
    EXPECT_TRUE(bounds.contains(-1, 0.5));
    EXPECT_TRUE(bounds.contains(2, 3));
    EXPECT_TRUE(bounds.contains(-1, 3));
    EXPECT_FALSE(bounds.contains(2 + 1e-12, 3));
    EXPECT_FALSE(bounds.contains(0, 0.5 - 1e-12));
    EXPECT_FALSE(bounds.contains(std::nan(""), 1));
    EXPECT_FALSE(bounds.contains(0, std::nan("")));
}

TEST(ClusterCentroid, AcceptsOnlyCellIdsOfTwoPartsWithAnIndexInRange) {
    PartitionPlan plan;
    plan.clusterCentroids = std::vector<Point2D>{{0.5, -0.25}, {1.0, 2.0}};
    plan.schemaVersion = 2;
    EXPECT_EQ(plan.clusterCentroid("cell_0"), (Point2D{0.5, -0.25}));
    EXPECT_EQ(plan.clusterCentroid("cell__1"), (Point2D{1.0, 2.0}));
    for (const char* id : {"cell_2", "cell_-1", "cell_x", "cell_1_s0", "block_1", "cell", "", "cell_ 1"})
        EXPECT_FALSE(plan.clusterCentroid(id).has_value()) << id;

    plan.clusterCentroids.reset();
    EXPECT_FALSE(plan.clusterCentroid("cell_0").has_value());
}

TEST(ClusterCentroid, PlansOfTheOldLayoutAreNormalised) {
    PartitionPlan plan;
    plan.clusterCentroids = std::vector<Point2D>{{12.0, -4.0}};
    plan.normalization = {10.0, 99.0, -8.0, 4.0};
    EXPECT_EQ(plan.clusterCentroid("cell_0"), (Point2D{0.5, 1.0}));
}
