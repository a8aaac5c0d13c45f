#include <gtest/gtest.h>

#include <limits>
#include <set>

#include "partition/PartitionerDetail.hpp"
#include "generators/SyntheticModel.hpp"
#include "support/TempDir.hpp"

using namespace tessaron;
using namespace tessaron::partition;
using tessaron::generators::makeSyntheticModel;
using tessaron::generators::SyntheticModelOptions;

namespace {

struct PlanRun {
    PartitionPlan plan;
    std::vector<std::string> lines;
    std::vector<PartitionProgress> progress;

    std::string log() const {
        std::string text;
        for (const auto& line : lines) text += line + "\n";
        return text;
    }
    size_t count(const std::string& prefix) const {
        return size_t(std::count_if(lines.begin(), lines.end(),
                                    [&](const std::string& line) { return line.starts_with(prefix); }));
    }
};

PlanRun plan(const colmap::COLMAPModel& model, int64_t downscale, std::optional<double> ramGB,
             int64_t viewsPerFrame = 0, int64_t gaussianBudget = 1000000) {
    PlanRun run;
    run.plan = VastGaussianPartitioner::createPlan(
        model,
        {.downscaleFactor = downscale,
         .gaussianBudget = gaussianBudget,
         .ramLimitGB = ramGB,
         .viewsPerFrame = viewsPerFrame},
        [&](const std::string& line) { run.lines.push_back(line); },
        [&](const PartitionProgress& progress) { run.progress.push_back(progress); });
    return run;
}

colmap::COLMAPModel street(int64_t images, int64_t points, uint64_t width = 1600, uint64_t height = 1200) {
    SyntheticModelOptions options;
    options.imageCount = images;
    options.pointCount = points;
    options.imageWidth = width;
    options.imageHeight = height;
    return makeSyntheticModel(options);
}

// Every camera the plan keeps is in a cell; the rest were dropped.
void expectEveryKeptCameraInACell(const PlanRun& run) {
    std::set<int32_t> assigned;
    for (const auto& cell : run.plan.cells) assigned.insert(cell.cameraIds->begin(), cell.cameraIds->end());
    int64_t dropped = 0;
    for (const auto& line : run.lines)
        if (line.starts_with("  Dropped ")) dropped = std::stoll(line.substr(10));
    EXPECT_EQ(int64_t(assigned.size()) + dropped, run.plan.totalImages);
}

}  // namespace

TEST(CreatePlan, ASceneThatFitsGivesOneCell) {
    PlanRun run = plan(street(60, 4000, 800, 600), 1, 32.0);
    ASSERT_EQ(run.plan.cells.size(), 1u);
    EXPECT_EQ(run.count("  ⚖ split"), 0u);
    EXPECT_EQ(run.count("  ✓ N = 1: every cell reaches ≥85% of demand within budget (worst "), 1u);
    EXPECT_EQ(run.count("Cell count: 1 (strict-Voronoi N-selection)"), 1u);
    const PartitionCell& cell = run.plan.cells[0];
    EXPECT_EQ(cell.id, "cell_0");
    EXPECT_EQ(cell.depth, 0);
    EXPECT_LE(cell.estimatedMemoryGB, run.plan.budgetGB);
    EXPECT_EQ(run.plan.clusterSeed, 0u);
    EXPECT_EQ(run.plan.schemaVersion, 1);
    EXPECT_EQ(run.plan.viewsPerFrame, 1);
    EXPECT_FALSE(run.plan.lostCellIds);
    EXPECT_EQ(run.plan.clusterCentroids->size(), 1u);
    EXPECT_EQ(run.progress.front().phase, "Analyzing scene (4K points)…");
    EXPECT_EQ(run.progress[1].phase, "Splitting scene — testing 1 cell…");
    EXPECT_EQ(run.progress.back().phase, "Computing per-cell budgets…");
    expectEveryKeptCameraInACell(run);
}

TEST(CreatePlan, AStreetSceneUnderATightLimitSplitsUntilEveryCellFits) {
    PlanRun run = plan(street(300, 30000), 1, 4.0);
    const PartitionPlan& result = run.plan;
    ASSERT_GE(result.cells.size(), 2u);
    EXPECT_EQ(result.budgetGB, 1.5);
    // Within each pass, every split line is followed by a layout one cell larger.
    int64_t lastN = -1;
    bool afterSplit = false;
    for (const auto& line : run.lines) {
        if (line.starts_with("  N=")) {
            int64_t n = std::stoll(line.substr(4));
            if (afterSplit) {
                EXPECT_EQ(n, lastN + 1) << line;
            }
            lastN = n;
            afterSplit = false;
        }
        if (line.starts_with("  ⚖ split cell_")) afterSplit = true;
    }
    EXPECT_GE(run.count("  ⚖ split cell_"), result.cells.size() - 1);
    EXPECT_EQ(run.count("  ⚠"), 0u);
    for (size_t index = 0; index < result.cells.size(); ++index) {
        const auto& cell = result.cells[index];
        EXPECT_EQ(cell.id, "cell_" + std::to_string(index));
        EXPECT_LE(cell.estimatedMemoryGB, result.budgetGB);
        EXPECT_EQ(cell.imageCount, int64_t(cell.cameraIds->size()));
        EXPECT_EQ(cell.pointCount, int64_t(cell.expandedPointIds->size()));
        EXPECT_TRUE(std::is_sorted(cell.cameraIds->begin(), cell.cameraIds->end()));
        EXPECT_LE(cell.expandedBounds.minX, cell.coreBounds.minX);
        EXPECT_GE(cell.expandedBounds.maxZ, cell.coreBounds.maxZ);
        EXPECT_GE(cell.recommendedIterations, 15000);
        EXPECT_LE(cell.recommendedIterations, 45000);
    }
    EXPECT_EQ(result.printSummary().substr(result.printSummary().rfind('\n') + 1), "All cells fit within RAM budget ✓");
    expectEveryKeptCameraInACell(run);
}

TEST(CreatePlan, TwoRunsGiveTheSameBytes) {
    auto model = street(240, 20000);
    PlanRun first = plan(model, 1, 4.0);
    PlanRun second = plan(model, 1, 4.0);
    EXPECT_EQ(first.plan.toJSON(), second.plan.toJSON());
    EXPECT_EQ(first.log(), second.log());
    EXPECT_EQ(first.progress, second.progress);
}

TEST(CreatePlan, AnImpossibleBudgetEndsBestEffort) {
    // 4000 x 3000 training images: the fixed working set alone exceeds 1 GB.
    PlanRun run = plan(street(150, 8000, 4000, 3000), 1, 3.0);
    EXPECT_EQ(run.plan.budgetGB, 1.0);
    EXPECT_LE(run.plan.cells.size(), 64u);
    EXPECT_EQ(run.count("  ⚠ N=") + run.count("  ⚠ N=64 still can't fit every cell's demand."), 1u) << run.log();
    EXPECT_EQ(run.count("  ⚠ cell_"), run.plan.cells.size());
    for (const auto& cell : run.plan.cells) EXPECT_GT(cell.estimatedMemoryGB, run.plan.budgetGB);
    EXPECT_NE(run.plan.printSummary().find("⚠ exceeds budget"), std::string::npos);
}

TEST(CreatePlan, RigFoldersGiveViewsPerFrame) {
    SyntheticModelOptions options;
    options.imageCount = 60;
    options.pointCount = 3000;
    options.rigViews = 3;
    auto model = makeSyntheticModel(options);
    EXPECT_EQ(model.images.at(2).name, "cam1/frame_000001.jpg");
    PlanRun run = plan(model, 1, 32.0);
    EXPECT_EQ(run.plan.viewsPerFrame, 3);
    EXPECT_EQ(run.count("Detected 3-view rig layout (camN/ image prefixes) — image-count heuristics use physical "
                        "positions."),
              1u);
    // Iterations count capture instants, not images.
    EXPECT_EQ(run.plan.cells[0].recommendedIterations, 15000 + 100 * (run.plan.cells[0].imageCount / 3));

    EXPECT_EQ(plan(model, 1, 32.0, 2).plan.viewsPerFrame, 2);  // an explicit rig size wins
    EXPECT_EQ(plan(model, 1, 32.0, 2).count("Detected"), 0u);
}

TEST(CreatePlan, OnlyNumberedFoldersCountAsRigCameras) {
    auto named = [](std::vector<std::string> names) {
        colmap::ImageMap images;
        for (size_t index = 0; index < names.size(); ++index) images[int32_t(index)].name = names[index];
        return detail::detectedViewsPerFrame(images);
    };
    EXPECT_EQ(named({"cam0/a.jpg", "cam1/a.jpg", "cam2/a.jpg", "cam2/b.jpg"}), 3);
    EXPECT_EQ(named({"cam0/a.jpg", "cam0/b.jpg"}), 1);
    EXPECT_EQ(named({"a.jpg", "b.jpg"}), 1);
    EXPECT_EQ(named({"camera/a.jpg", "cam/b.jpg", "camX/c.jpg"}), 1);
    EXPECT_EQ(named({"0/a.jpg", "cam1/a.jpg"}), 2);
    EXPECT_EQ(named({"cam01/a.jpg", "cam1/a.jpg", "cam+2/a.jpg", "cam2/x/y.jpg"}), 2);
}

TEST(CreatePlan, MemoryLimitAndBudget) {
    EXPECT_EQ(VastGaussianPartitioner::ramLimitGB(std::nullopt, 16ULL << 30), 13.0);
    EXPECT_EQ(VastGaussianPartitioner::ramLimitGB(std::nullopt, 4ULL << 30), 4.0);
    EXPECT_EQ(VastGaussianPartitioner::ramLimitGB(3.0, 16ULL << 30), 3.0);
    EXPECT_EQ(detail::budgetGB(13.0), 10.5);
    EXPECT_EQ(detail::budgetGB(3.0), 1.0);
    PlanRun run = plan(street(60, 3000), 1, 3.0);
    EXPECT_EQ(run.plan.physicalRAMGB, 3.0);
    EXPECT_EQ(run.plan.budgetGB, 1.0);
    EXPECT_EQ(run.count("App RAM: 3.0 GB limit, 2.5 GB framework overhead, 1.0 GB budget per cell"), 1u);
}

TEST(CreatePlan, TrainingSizeIsTheFirstCameraOverTheDownscale) {
    auto model = street(60, 3000, 4000, 3000);
    for (auto [downscale, width, height] : {std::tuple{0, 4000, 3000}, {1, 4000, 3000}, {3, 1333, 1000}}) {
        PlanRun run = plan(model, downscale, 64.0);
        EXPECT_EQ(run.plan.imageWidth, width);
        EXPECT_EQ(run.plan.imageHeight, height);
        EXPECT_EQ(run.plan.downscaleFactor, downscale);
        EXPECT_EQ(run.count("Image resolution: 4000×3000 → " + std::to_string(width) + "×" + std::to_string(height) +
                            " at " + std::to_string(downscale) + "× downscale"),
                  1u);
    }
}

TEST(CreatePlan, ALightSceneSuggestsALowerDownscale) {
    auto model = street(60, 3000, 4000, 3000);
    EXPECT_EQ(plan(model, 1, 64.0).count("\nBudget utilization"), 0u);
    PlanRun two = plan(model, 2, 64.0);
    ASSERT_EQ(two.count("\nBudget utilization "), 1u) << two.log();
    EXPECT_NE(two.log().find("% — leftover RAM could support 1× downscale\n(est. "), std::string::npos);
    EXPECT_NE(two.log().find(" GB). Consider lowering the downscale factor for more detail."), std::string::npos);
    EXPECT_NE(plan(model, 5, 64.0).log().find("could support 2× downscale"), std::string::npos);
}

TEST(CreatePlan, SmallGaussianBudgetWarns) {
    PlanRun run = plan(street(60, 3000), 1, 32.0, 0, 1000);
    EXPECT_EQ(run.count("⚠ The budget is below the SfM point count — cells train at their seed count"), 1u);
    EXPECT_GE(run.plan.cells[0].recommendedCapMax, 50000);
}

TEST(CreatePlan, CamerasAtOnePointGiveRadiusOne) {
    auto model = street(60, 3000);
    for (auto& [id, image] : model.images) image.tx = image.ty = image.tz = 0;
    PlanRun run = plan(model, 1, 32.0);
    EXPECT_EQ(run.plan.normalization.radius, 1.0);
    EXPECT_EQ(run.plan.normalization.centerX, 0.0);
}

TEST(CreatePlan, EmptyModelsThrowInOrder) {
    auto model = street(60, 3000);
    auto expectError = [](colmap::COLMAPModel broken, VastGaussianPartitioner::PartitionErrorKind kind,
                          const std::string& message, bool filterLogged) {
        std::vector<std::string> lines;
        try {
            VastGaussianPartitioner::createPlan(broken, {.ramLimitGB = 8.0},
                                                [&](const std::string& line) { lines.push_back(line); });
            FAIL() << "no error";
        } catch (const VastGaussianPartitioner::PartitionError& error) {
            EXPECT_EQ(error.kind(), kind);
            EXPECT_EQ(error.what(), message);
        }
        EXPECT_EQ(std::any_of(lines.begin(), lines.end(),
                              [](const std::string& line) { return line.starts_with("SfM quality filter"); }),
                  filterLogged);
    };
    auto noImages = model;
    noImages.images.clear();
    noImages.points3D.clear();
    expectError(noImages, VastGaussianPartitioner::PartitionErrorKind::noImages,
                "COLMAP data contains no registered images", false);
    auto noPoints = model;
    noPoints.points3D.clear();
    expectError(noPoints, VastGaussianPartitioner::PartitionErrorKind::noPoints, "COLMAP data contains no 3D points",
                false);
    auto noCameras = model;
    noCameras.cameras.clear();
    expectError(noCameras, VastGaussianPartitioner::PartitionErrorKind::noCameras,
                "COLMAP data contains no camera models", true);
}

TEST(CreatePlan, UnusableOptionsAreRefusedBeforeTheModelIsRead) {
    using Options = VastGaussianPartitioner::PlanOptions;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double infinity = std::numeric_limits<double>::infinity();
    const std::vector<std::pair<Options, std::string>> cases = {
        {{.downscaleFactor = -1}, "Partition option downscaleFactor must be at least 0 (is -1)"},
        {{.iterationFloor = -5}, "Partition option iterationFloor must be at least 1 (is -5)"},
        {{.gaussianBudget = 0}, "Partition option gaussianBudget must be at least 1 (is 0)"},
        {{.ramLimitGB = -1.0}, "Partition option ramLimitGB must be a number of at least 0"},
        {{.ramLimitGB = nan}, "Partition option ramLimitGB must be a number of at least 0"},
        {{.ramLimitGB = infinity}, "Partition option ramLimitGB must be a number of at least 0"},
        {{.viewsPerFrame = -1}, "Partition option viewsPerFrame must be at least 0 (is -1)"},
        // The first field out of range is named.
        {{.downscaleFactor = -2, .gaussianBudget = 0}, "Partition option downscaleFactor must be at least 0 (is -2)"},
    };
    tessaron::testing::TempDir dir;
    for (const auto& [options, message] : cases) {
        std::vector<std::string> lines;
        try {
            // The folder holds no model: the options are looked at first.
            VastGaussianPartitioner::createPlan(dir / "missing", options,
                                                [&](const std::string& line) { lines.push_back(line); });
            ADD_FAILURE() << "no error for " << message;
        } catch (const VastGaussianPartitioner::OptionsError& error) {
            EXPECT_EQ(std::string(error.what()), message);
        }
        EXPECT_TRUE(lines.empty()) << message;
        EXPECT_THROW(VastGaussianPartitioner::createPlan(street(60, 3000), options),
                     VastGaussianPartitioner::OptionsError);
    }
    // The limits themselves are accepted: a zero limit plans with the 1 GB floor.
    PlanRun floor = plan(street(60, 3000), 1, 0.0);
    EXPECT_EQ(floor.plan.budgetGB, 1.0);
}

TEST(CreatePlan, LogBeginsWithTheModelAndItsBounds) {
    PlanRun run = plan(street(60, 3000), 1, 8.0);
    ASSERT_GE(run.lines.size(), 10u);
    EXPECT_EQ(run.lines[0], "Loaded 60 images, 3000 points, 1 camera(s).");
    EXPECT_TRUE(run.lines[1].starts_with("SfM quality filter: 3000 → "));
    EXPECT_TRUE(run.lines[5].starts_with("Raw point cloud bounds: X [")) << run.lines[5];
    EXPECT_NE(run.lines[5].find("], Z ["), std::string::npos);
    EXPECT_TRUE(run.lines[6].starts_with("IQR-filtered bounds: X ["));
    EXPECT_TRUE(run.lines[7].starts_with("Hybrid grid bounds: X ["));
    EXPECT_TRUE(run.lines[8].starts_with("Scene normalization: center=("));
    EXPECT_TRUE(run.lines[9].starts_with("Gaussian budget: 1000K for the scene = "));
    EXPECT_EQ(run.lines.back().substr(0, 20), "Budget utilization: ");
}

TEST(CreatePlan, AModelFolderPlansLikeTheModelInMemory) {
    tessaron::testing::TempDir dir;
    auto model = street(120, 6000);
    colmap::COLMAPUtils::writeModel(model.cameras, model.images, model.points3D, dir / "sparse/0");
    std::vector<std::string> lines;
    std::vector<PartitionProgress> progress;
    PartitionPlan fromFolder = VastGaussianPartitioner::createPlan(
        dir / "sparse/0", {.ramLimitGB = 4.0}, [&](const std::string& line) { lines.push_back(line); },
        [&](const PartitionProgress& update) { progress.push_back(update); });
    PlanRun inMemory = plan(model, 1, 4.0);
    EXPECT_EQ(fromFolder.toJSON(), inMemory.plan.toJSON());
    ASSERT_EQ(lines.size(), inMemory.lines.size() + 1);
    EXPECT_EQ(lines[0], "Loading COLMAP data from " + (dir / "sparse/0").string() + "...");
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 1, lines.end()), inMemory.lines);
    EXPECT_EQ(progress.front(), (PartitionProgress{"Loading reconstruction…", {}, 0}));

    // A model that cannot be read: the reader's error, unchanged.
    EXPECT_THROW(VastGaussianPartitioner::createPlan(dir / "missing", {.ramLimitGB = 4.0}),
                 colmap::COLMAPUtils::FileError);
}
