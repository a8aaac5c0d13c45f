#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <thread>

#include "MergeTestSupport.hpp"
#include "core/AtomicFile.hpp"
#include "core/NumberText.hpp"
#include "PlyKit/PLYHeader.hpp"
#include "partition/SeamlessMerger.hpp"
#include "generators/SyntheticCells.hpp"
#include "support/TempDir.hpp"

namespace core = tessaron::core;
namespace support = tessaron::testing;
using namespace tessaron::partition;
using support::FloatPly;
using support::LogLines;
using support::TempDir;

namespace {

using MergeError = SeamlessMerger::MergeError;
using MergeErrorKind = SeamlessMerger::MergeErrorKind;

const std::vector<std::string> kGaussianNames = {"x",       "y",       "z",       "f_dc_0", "f_dc_1",
                                                 "f_dc_2",  "opacity", "scale_0", "scale_1", "scale_2",
                                                 "rot_0",   "rot_1",   "rot_2",   "rot_3"};
const CellBounds kScene{-1, 1, -1, 1};
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInfinity = std::numeric_limits<float>::infinity();

// A Gaussian record of the usual layout, in its cell's frame.
std::vector<float> gaussian(float x, float y, float z, float opacity = 1.0f, float s0 = -5, float s1 = -5,
                            float s2 = -5) {
    return {x, y, z, 0.1f, 0.2f, 0.3f, opacity, s0, s1, s2, 1, 0, 0, 0};
}

// A cell in the scene frame itself (translation 0, scale 1).
SeamlessMerger::CellInput identityCell(const std::filesystem::path& ply, CellBounds core, CellBounds expanded,
                                       std::optional<Point2D> centroid = std::nullopt) {
    SeamlessMerger::CellInput cell;
    cell.plyURL = ply;
    cell.coreBounds = core;
    cell.expandedBounds = expanded;
    cell.clusterCentroidXZ = centroid;
    return cell;
}

// Two cells side by side in X, sharing the core side x = 0.
std::vector<SeamlessMerger::CellInput> twoCells(const TempDir& dir, const std::vector<std::vector<float>>& left,
                                                const std::vector<std::vector<float>>& right, bool centroids) {
    tessaron::generators::writeFloatPly(dir / "cell_0/output.ply", kGaussianNames, left);
    tessaron::generators::writeFloatPly(dir / "cell_1/output.ply", kGaussianNames, right);
    return {identityCell(dir / "cell_0/output.ply", {-1, 0, -1, 1}, {-1.2, 0.2, -1.2, 1.2},
                         centroids ? std::optional<Point2D>({-0.5, 0}) : std::nullopt),
            identityCell(dir / "cell_1/output.ply", {0, 1, -1, 1}, {-0.2, 1.2, -1.2, 1.2},
                         centroids ? std::optional<Point2D>({0.5, 0}) : std::nullopt)};
}

class SeamlessMerge : public ::testing::Test {};

// The record layout of a header's vertex element.
SeamlessMerger::PlyLayout layoutOf(const std::string& header) {
    const plykit::PLYHeader parsed = plykit::PLYHeader::decodeASCII(header);
    return SeamlessMerger::recordLayout(parsed.elements.at(*parsed.index("vertex")), "cell_0");
}

std::string filterLine(const std::string& spatial, const std::string& band = "off") {
    return "Filter: input=normalised (legacy), spatial=" + spatial + ", Y=" + band +
           ", opacityMin=0.02, maxScaleFraction=0.15, anisotropy=needle-only(≤1000000000000.0×), visibility=off";
}

// ---- Synthetic cells: every Gaussian once, in the scene frame ----------

struct SyntheticCase {
    bool centroids;
    bool reordered;
    int64_t columns;
    int64_t rows;
    int64_t extraProperties;
};

class SyntheticMerge : public SeamlessMerge, public ::testing::WithParamInterface<SyntheticCase> {};

TEST_P(SyntheticMerge, KeepsEveryOwnedGaussianOnceInTheSceneFrame) {
    const SyntheticCase& param = GetParam();
    TempDir dir;
    tessaron::generators::SyntheticCellsOptions options;
    options.columns = param.columns;
    options.rows = param.rows;
    options.gaussiansPerCell = 300;
    options.rejectsPerCell = 9;
    options.centroids = param.centroids;
    options.reorderedProperties = param.reordered;
    options.extraProperties = param.extraProperties;
    options.seed = uint64_t(param.columns * 10 + param.rows);
    auto made = tessaron::generators::writeSyntheticCells(dir / "partitions", options);

    // As the pipeline does: each cell's frame from its own cameras.
    auto inputs = made.inputs;
    for (auto& input : inputs) {
        auto estimated = SeamlessMerger::estimateNormTransform(input.sparseURL);
        ASSERT_TRUE(estimated);
        input.transform = *estimated;
    }
    LogLines log;
    SeamlessMerger::merge(inputs, dir / "output.ply", made.plan.sceneBounds, {.pureVoronoiOwnership = param.centroids},
                          log.sink());

    FloatPly merged = support::readFloatPly(dir / "output.ply");
    EXPECT_EQ(merged.names, made.propertyNames);
    std::vector<size_t> order = made.expectedOrder();
    ASSERT_EQ(merged.records.size(), order.size());
    for (size_t row = 0; row < order.size(); ++row) {
        std::vector<float> expected = made.record(order[row], {});
        for (size_t column = 0; column < expected.size(); ++column) {
            const std::string& name = made.propertyNames[column];
            if (name == "x" || name == "y" || name == "z")
                EXPECT_NEAR(merged.records[row][column], expected[column], 1e-6) << name << " of record " << row;
            else if (name.starts_with("scale_"))
                EXPECT_NEAR(merged.records[row][column], expected[column], 4e-6) << name << " of record " << row;
            else
                EXPECT_EQ(merged.records[row][column], expected[column]) << name << " of record " << row;
        }
    }

    // The log: the header lines, one summary per cell, the total.
    const size_t cellCount = made.inputs.size();
    ASSERT_EQ(log.lines.size(), cellCount + 3);
    EXPECT_EQ(log.lines[0], "Starting Seamless Merge for " + std::to_string(cellCount) + " cells.");
    EXPECT_EQ(log.lines[1], filterLine(param.centroids ? "pure-voronoi (cluster-centroid ownership over " +
                                                             std::to_string(cellCount) + " cells)"
                                                       : "midpoint (overlapShareRate=0.0)"));
    for (size_t cell = 0; cell < cellCount; ++cell) {
        int64_t n = 0, op = 0, sz = 0, aniso = 0, kept = 0;
        for (size_t index = 0; index < made.gaussians.size(); ++index) {
            const auto& g = made.gaussians[index];
            if (!made.inputs[cell].expandedBounds.contains(g.position[0], g.position[2])) continue;
            ++n;
            if (g.opacity == -5.0f) continue;
            ++op;
            if (g.logScale[2] == -0.5f) continue;
            ++sz;
            if (g.logScale[0] == -31.0f) continue;
            ++aniso;
            if (g.owner == cell) ++kept;
        }
        const CellBounds& core = made.inputs[cell].coreBounds;
        bool edge = core.minX <= -1 || core.maxX >= 1 || core.minZ <= -1 || core.maxZ >= 1;
        std::string percentage = core::fixedText(double(kept) / double(n) * 100, 1) + "%";
        EXPECT_EQ(log.lines[2 + cell],
                  "Cell " + std::to_string(cell) + ": " + std::to_string(n) + " → " + std::to_string(op) +
                      " (op) → " + std::to_string(sz) + " (sz) → " + std::to_string(aniso) + " (aniso) → " +
                      std::to_string(kept) + " (spatial) → " + std::to_string(kept) + " kept (" + percentage + ")" +
                      (edge ? " (edge cell, bounds extended)" : "") +
                      ". scale=" + core::fixedText(inputs[cell].transform.scale, 4));
    }
    EXPECT_EQ(log.lines.back(),
              "Exported seamlessly merged PLY: " + std::to_string(order.size()) + " total Gaussians.");
}

INSTANTIATE_TEST_SUITE_P(Grids, SyntheticMerge,
                         ::testing::Values(SyntheticCase{true, false, 2, 1, 0}, SyntheticCase{false, false, 2, 1, 0},
                                           SyntheticCase{true, false, 3, 3, 0}, SyntheticCase{false, false, 3, 3, 3},
                                           SyntheticCase{true, true, 2, 2, 0}, SyntheticCase{false, true, 1, 3, 5}));

// ---- The record chain at its limits ------------------------------------

struct ChainCase {
    const char* name;
    float opacity;
    float scales[3];
    float x;
    int reached;  // 0 dropped for opacity, 1 for size, 2 as a needle, 3 by position, 4 kept
};

const double kMaxLogScale = std::log(0.15 * 2.0);
// The floats on either side of a double limit.
float floatAtOrBelow(double limit) {
    float value = float(limit);
    return double(value) > limit ? std::nextafter(value, -INFINITY) : value;
}
float floatAbove(double limit) { return std::nextafter(floatAtOrBelow(limit), INFINITY); }
const float kLargestKeptScale = floatAtOrBelow(kMaxLogScale);
// hi - lo of -30 and these is exact in float, so the spread sits on either
// side of ln 1e12.
const float kNeedleBelow = -30.0f + floatAtOrBelow(SeamlessMerger::needleLogSpread);
const float kNeedleAbove = -30.0f + floatAbove(SeamlessMerger::needleLogSpread);

class RecordChain : public ::testing::TestWithParam<ChainCase> {};

TEST_P(RecordChain, StopsAtTheStageTheRecordFails) {
    const ChainCase& param = GetParam();
    std::string header = "ply\nformat binary_little_endian 1.0\nelement vertex 1\n";
    for (const auto& name : kGaussianNames) header += "property float " + name + "\n";
    header += "end_header\n";
    SeamlessMerger::PlyLayout layout = layoutOf(header);
    std::vector<float> record =
        gaussian(param.x, 0.25f, 0.5f, param.opacity, param.scales[0], param.scales[1], param.scales[2]);

    SeamlessMerger::CellFilter filter;
    filter.layout = &layout;
    filter.owned = {-10, 10, -10, 10};
    filter.opacityThreshold = std::log(0.02 / 0.98);
    filter.maxLogScale = kMaxLogScale;
    std::vector<float> output(record.size(), -99.0f);
    auto counts = SeamlessMerger::filterCell(reinterpret_cast<const std::byte*>(record.data()), 1, filter,
                                             reinterpret_cast<std::byte*>(output.data()));
    EXPECT_EQ(counts, (SeamlessMerger::FilterCounts{param.reached >= 1, param.reached >= 2, param.reached >= 3,
                                                    param.reached >= 4}));
    if (param.reached == 4) {
        EXPECT_EQ(output, record);
    } else {
        EXPECT_EQ(output, std::vector<float>(record.size(), -99.0f));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Limits, RecordChain,
    ::testing::Values(ChainCase{"OpacityLogitBelowTheMinimum", -3.90f, {-5, -5, -5}, 0, 0},
                      ChainCase{"OpacityLogitJustAboveTheMinimum", -3.89f, {-5, -5, -5}, 0, 4},
                      ChainCase{"NaNOpacity", kNaN, {-5, -5, -5}, 0, 0},
                      ChainCase{"InfiniteOpacity", kInfinity, {-5, -5, -5}, 0, 0},
                      ChainCase{"LargestScaleAtTheLimit", 1, {-5, kLargestKeptScale, -5}, 0, 4},
                      ChainCase{"LargestScaleJustOverTheLimit", 1,
                                {-5, floatAbove(kMaxLogScale), -5}, 0, 1},
                      ChainCase{"NaNScale", 1, {-5, kNaN, -5}, 0, 1},
                      ChainCase{"NegativeInfiniteScale", 1, {-kInfinity, -5, -5}, 0, 1},
                      ChainCase{"NeedleJustOverTheRatio", 1, {-30, -29.5f, kNeedleAbove}, 0, 2},
                      ChainCase{"NeedleJustUnderTheRatio", 1, {-30, -29.5f, kNeedleBelow}, 0, 4},
                      ChainCase{"DiscWithTwoLongAxesIsNoNeedle", 1, {-30, kNeedleAbove, kNeedleAbove}, 0, 4},
                      ChainCase{"NaNPosition", 1, {-5, -5, -5}, kNaN, 3},
                      ChainCase{"InfinitePosition", 1, {-5, -5, -5}, kInfinity, 3},
                      ChainCase{"PositionOutsideTheOwnedBox", 1, {-5, -5, -5}, 11, 3}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(RecordChain, LayoutsWithoutOpacityOrAScaleSkipThoseStages) {
    SeamlessMerger::PlyLayout layout = layoutOf(
        "ply\nformat binary_little_endian 1.0\nelement vertex 2\nproperty float scale_0\nproperty float x\n"
        "property float y\nproperty float z\nproperty float scale_1\nend_header\n");
    ASSERT_FALSE(layout.opacityOff);
    ASSERT_FALSE(layout.scale2Off);
    // Huge scales pass, since the size and needle tests need all three; the
    // scales present still take the frame's log-scale offset.
    std::vector<float> records = {3.0f, 0.5f, 0.25f, -0.5f, -40.0f, 30.0f, 1.0f, 0, 0, 1.0f};
    SeamlessMerger::CellFilter filter;
    filter.layout = &layout;
    filter.transform.scale = 2;
    filter.transform.translation = {1, 2, 3};
    filter.owned = {-10, 10, -10, 10};
    filter.maxLogScale = -100;
    filter.logScaleOffset = float(-std::log(2.0));
    std::vector<float> output(10, 0);
    auto counts = SeamlessMerger::filterCell(reinterpret_cast<const std::byte*>(records.data()), 2, filter,
                                             reinterpret_cast<std::byte*>(output.data()));
    EXPECT_EQ(counts, (SeamlessMerger::FilterCounts{2, 2, 2, 2}));
    const float offset = float(-std::log(2.0));
    EXPECT_EQ(output, (std::vector<float>{3.0f + offset, 1.25f, 2.125f, 2.75f, -40.0f + offset, 30.0f + offset,
                                          1.5f, 2, 3, 1.0f + offset}));
}

// ---- Ownership ----------------------------------------------------------

TEST_F(SeamlessMerge, MidpointOwnershipKeepsASharedSideInBothCellsAndAnEdgeMarginInItsCell) {
    TempDir dir;
    auto cells = twoCells(dir, {gaussian(0, 0, 0.5f), gaussian(-1.1f, 0, 0), gaussian(0.1f, 0, 0)},
                          {gaussian(0, 0, 0.5f), gaussian(0.1f, 0, 0), gaussian(1.15f, 0, 1.1f)}, false);
    LogLines log;
    SeamlessMerger::merge(cells, dir / "output.ply", kScene, {}, log.sink());
    FloatPly merged = support::readFloatPly(dir / "output.ply");
    ASSERT_EQ(merged.records.size(), 5u);
    EXPECT_EQ(merged.records[0][0], 0.0f);
    EXPECT_EQ(merged.records[1][0], -1.1f);
    EXPECT_EQ(merged.records[2][0], 0.0f);
    EXPECT_EQ(merged.records[3][0], 0.1f);
    EXPECT_EQ(merged.records[4][0], 1.15f);
    EXPECT_EQ(log.lines[2], "Cell 0: 3 → 3 (op) → 3 (sz) → 3 (aniso) → 2 (spatial) → 2 kept (66.7%) (edge cell, "
                            "bounds extended). scale=1.0000");
}

TEST_F(SeamlessMerge, PureVoronoiKeepsAGaussianEquallyNearTwoCentroidsInBoth) {
    TempDir dir;
    auto cells = twoCells(dir, {gaussian(0, 0, 0.7f), gaussian(-0.01f, 0, 0), gaussian(0.01f, 0, 0)},
                          {gaussian(0, 0, 0.7f), gaussian(0.01f, 0, 0), gaussian(-0.01f, 0, 0)}, true);
    SeamlessMerger::merge(cells, dir / "output.ply", kScene, {.pureVoronoiOwnership = true});
    FloatPly merged = support::readFloatPly(dir / "output.ply");
    ASSERT_EQ(merged.records.size(), 4u);
    EXPECT_EQ(merged.records[0][0], 0.0f);
    EXPECT_EQ(merged.records[1][0], -0.01f);
    EXPECT_EQ(merged.records[2][0], 0.0f);
    EXPECT_EQ(merged.records[3][0], 0.01f);
}

// The settings belong to each merge: two at once with different ones give
// what each gives alone.
TEST_F(SeamlessMerge, TwoMergesWithDifferentOptionsAtOnceGiveTheirOwnResults) {
    TempDir dir;
    auto cells = twoCells(dir, {gaussian(0, 0, 0.7f), gaussian(-0.01f, 0, 0), gaussian(-0.5f, 0, 0, -3.0f)},
                          {gaussian(0, 0, 0.7f), gaussian(0.01f, 0, 0), gaussian(-0.01f, 0, 0)}, true);
    const SeamlessMerger::Options voronoi{.pureVoronoiOwnership = true};
    const SeamlessMerger::Options strict{.opacityMin = 0.5};
    SeamlessMerger::merge(cells, dir / "voronoi.ply", kScene, voronoi);
    SeamlessMerger::merge(cells, dir / "strict.ply", kScene, strict);
    const std::string voronoiAlone = support::fileBytes(dir / "voronoi.ply");
    const std::string strictAlone = support::fileBytes(dir / "strict.ply");
    ASSERT_NE(voronoiAlone, strictAlone);
    for (int round = 0; round < 20; ++round) {
        {
            std::jthread first([&] { SeamlessMerger::merge(cells, dir / "voronoi.ply", kScene, voronoi); });
            std::jthread second([&] { SeamlessMerger::merge(cells, dir / "strict.ply", kScene, strict); });
        }
        ASSERT_EQ(support::fileBytes(dir / "voronoi.ply"), voronoiAlone) << "round " << round;
        ASSERT_EQ(support::fileBytes(dir / "strict.ply"), strictAlone) << "round " << round;
    }
}

TEST_F(SeamlessMerge, CellsWithoutCentroidsOwnByTheirFrameCentre) {
    TempDir dir;
    auto cells = twoCells(dir, {gaussian(-0.2f, 0, 0)}, {gaussian(-0.8f, 0, 0)}, false);
    // Frames centred at x = -0.5 and 0.5: the left cell owns x = -0.2.
    cells[0].transform = {{-0.5, 0, 0}, 1};
    cells[1].transform = {{0.5, 0, 0}, 1};
    SeamlessMerger::merge(cells, dir / "output.ply", kScene, {.pureVoronoiOwnership = true});
    FloatPly merged = support::readFloatPly(dir / "output.ply");
    ASSERT_EQ(merged.records.size(), 1u);
    EXPECT_FLOAT_EQ(merged.records[0][0], -0.7f);
}

TEST(OwnedBounds, ACoreSideWithinTheToleranceOfTheSceneTakesTheExpandedSide) {
    SeamlessMerger::CellInput cell;
    cell.coreBounds = {-0.991, -0.2, -0.99, 0.5};
    cell.expandedBounds = {-1.3, 0.1, -1.25, 0.8};
    EXPECT_EQ(SeamlessMerger::ownedBounds(cell, kScene), (CellBounds{-1.3, -0.2, -0.99, 0.5}));
    EXPECT_TRUE(SeamlessMerger::isEdgeCell(cell, kScene));
    cell.coreBounds.minX = -0.99;
    EXPECT_EQ(SeamlessMerger::ownedBounds(cell, kScene), cell.coreBounds);
    EXPECT_FALSE(SeamlessMerger::isEdgeCell(cell, kScene));
    // A core side beyond the scene's side is an edge side too.
    cell.coreBounds.maxZ = 1.5;
    cell.expandedBounds.maxZ = 1.7;
    EXPECT_EQ(SeamlessMerger::ownedBounds(cell, kScene).maxZ, 1.7);
}

// ---- Thresholds, band, output -------------------------------------------

struct OpacityCase {
    double minimum;
    double threshold;
};
class OpacityMinimum : public SeamlessMerge, public ::testing::WithParamInterface<OpacityCase> {};

TEST_P(OpacityMinimum, IsClampedBeforeItsLogitIsTaken) {
    TempDir dir;
    float threshold = float(GetParam().threshold);
    tessaron::generators::writeFloatPly(dir / "cell_0/output.ply", kGaussianNames,
                           {gaussian(0, 0, 0, threshold - 0.001f), gaussian(0, 0, 0, threshold + 0.001f)});
    LogLines log;
    SeamlessMerger::merge({identityCell(dir / "cell_0/output.ply", kScene, kScene)}, dir / "output.ply", kScene,
                          {.opacityMin = GetParam().minimum}, log.sink());
    EXPECT_TRUE(log.lines[1].find("opacityMin=" + core::shortestText(GetParam().minimum) + ",") != std::string::npos);
    EXPECT_TRUE(log.lines[2].starts_with("Cell 0: 2 → 1 (op)")) << log.lines[2];
}

INSTANTIATE_TEST_SUITE_P(Limits, OpacityMinimum,
                         ::testing::Values(OpacityCase{0.02, -3.8918202981106265}, OpacityCase{0.0, -20.7232658},
                                           OpacityCase{-1.0, -20.7232658}, OpacityCase{1.0, 20.7232658},
                                           OpacityCase{2.5, 20.7232658}, OpacityCase{0.5, 0.0}));

TEST_F(SeamlessMerge, ABandKeepsRecordsWithinTheWidenedRange) {
    TempDir dir;
    tessaron::generators::writeFloatPly(dir / "cell_0/output.ply", kGaussianNames,
                           {gaussian(0, 0.13f, 0), gaussian(0, -0.15f, 0), gaussian(0, 0.139f, 0)});
    LogLines log;
    SeamlessMerger::merge({identityCell(dir / "cell_0/output.ply", kScene, kScene)}, dir / "output.ply", kScene,
                          {.yRange = SeamlessMerger::YRange{-0.1, 0.1}}, log.sink());
    EXPECT_EQ(log.lines[1], filterLine("midpoint (overlapShareRate=0.0)", "[-0.14, 0.14]"));
    EXPECT_EQ(support::readFloatPly(dir / "output.ply").records.size(), 2u);
}

TEST_F(SeamlessMerge, TheOutputIsTheFirstCellsHeaderWithTheTotalCount) {
    TempDir dir;
    auto headerWith = [](int count) {
        std::string header = "ply\nformat binary_little_endian 1.0\ncomment trained by a stand-in\nelement vertex " +
                             std::to_string(count) + "\n";
        for (const auto& name : kGaussianNames) header += "property float " + name + "\n";
        return header + "end_header\n";
    };
    auto bodyOf = [](std::vector<std::vector<float>> records) {
        std::string body;
        for (const auto& record : records)
            body.append(reinterpret_cast<const char*>(record.data()), record.size() * sizeof(float));
        return body;
    };
    // Both cells hold all four; the left owns the first, the right the next two.
    std::string cellBody = bodyOf({gaussian(-0.5f, 0, 0), gaussian(0.5f, 0, 0), gaussian(0.75f, 0, 0.25f),
                                   gaussian(5.0f, 0, 0)});
    auto cells = twoCells(dir, {}, {}, false);
    support::writeBytes(cells[0].plyURL, headerWith(4) + cellBody);
    support::writeBytes(cells[1].plyURL, headerWith(4) + cellBody);

    SeamlessMerger::merge(cells, dir / "output.ply", kScene);
    EXPECT_EQ(support::fileBytes(dir / "output.ply"),
              headerWith(3) + bodyOf({gaussian(-0.5f, 0, 0), gaussian(0.5f, 0, 0), gaussian(0.75f, 0, 0.25f)}));
}

TEST_F(SeamlessMerge, WhenEverythingIsDroppedTheOutputHoldsTheHeaderAlone) {
    TempDir dir;
    auto cells = twoCells(dir, {gaussian(0.5f, 0, 0), gaussian(-0.5f, 0, 0, -8.0f)}, {gaussian(-0.5f, 0, 0)}, false);
    std::string header = support::fileBytes(cells[0].plyURL);
    header = header.substr(0, header.find("end_header\n") + 11);
    header.replace(header.find("element vertex 2"), 16, "element vertex 0");
    LogLines log;
    SeamlessMerger::merge(cells, dir / "output.ply", kScene, {}, log.sink());
    EXPECT_EQ(support::fileBytes(dir / "output.ply"), header);
    EXPECT_EQ(log.lines[3], "⚠ Cell 0: Retained 0/2 Gaussians — possible bounds/visibility mismatch.");
    EXPECT_EQ(log.lines[5], "⚠ Cell 1: Retained 0/1 Gaussians — possible bounds/visibility mismatch.");
    EXPECT_EQ(log.lines.back(), "Exported seamlessly merged PLY: 0 total Gaussians.");
}

// ---- Failures leave the previous output untouched ----------------------

TEST_F(SeamlessMerge, NoCellsFailsWithCodeThreeBeforeAnyLogLine) {
    TempDir dir;
    LogLines log;
    try {
        SeamlessMerger::merge({}, dir / "output.ply", kScene, {}, log.sink());
        FAIL() << "merged nothing";
    } catch (const MergeError& error) {
        EXPECT_EQ(error.code(), 3);
        EXPECT_STREQ(error.what(), "No cells to merge — nothing to write.");
    }
    EXPECT_TRUE(log.lines.empty());
    EXPECT_FALSE(std::filesystem::exists(dir / "output.ply"));
}

struct BrokenCell {
    const char* name;
    // Replaces the second cell's PLY; returns the expected reason.
    std::string (*damage)(const std::filesystem::path& ply);
    MergeErrorKind kind;
};

class BrokenCellMerge : public SeamlessMerge, public ::testing::WithParamInterface<BrokenCell> {};

TEST_P(BrokenCellMerge, FailsNamingTheCellAndKeepsTheOlderOutput) {
    TempDir dir;
    auto cells = twoCells(dir, {gaussian(-0.5f, 0, 0)}, {gaussian(0.5f, 0, 0), gaussian(0.25f, 0, 0)}, false);
    const std::string older = "an older merged model";
    support::writeBytes(dir / "output.ply", older);
    std::string reason = GetParam().damage(cells[1].plyURL);

    LogLines log;
    try {
        SeamlessMerger::merge(cells, dir / "output.ply", kScene, {}, log.sink());
        FAIL() << "merged a broken cell";
    } catch (const MergeError& error) {
        EXPECT_EQ(error.kind(), GetParam().kind);
        EXPECT_EQ(std::string(error.what()), reason);
    }
    EXPECT_EQ(support::fileBytes(dir / "output.ply"), older);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 3) << "no temporary file left";
    EXPECT_FALSE(log.contains("Exported seamlessly merged PLY: 2 total Gaussians."));
}

INSTANTIATE_TEST_SUITE_P(
    Cells, BrokenCellMerge,
    ::testing::Values(
        BrokenCell{"Missing",
                   [](const std::filesystem::path& ply) {
                       std::filesystem::remove(ply);
                       return "Cell model cell_1 is missing or incomplete: Cannot read " + ply.string();
                   },
                   MergeErrorKind::incompleteCell},
        BrokenCell{"Empty",
                   [](const std::filesystem::path& ply) {
                       support::writeBytes(ply, "");
                       return std::string("Cell model cell_1 is missing or incomplete: PLY header is incomplete");
                   },
                   MergeErrorKind::incompleteCell},
        BrokenCell{"Truncated",
                   [](const std::filesystem::path& ply) {
                       std::string bytes = support::fileBytes(ply);
                       support::writeBytes(ply, bytes.substr(0, bytes.size() - 1));
                       return "Cell model cell_1 is missing or incomplete: PLY is incomplete (" +
                              std::to_string(bytes.size() - 1) + " of " + std::to_string(bytes.size()) + " bytes)";
                   },
                   MergeErrorKind::incompleteCell},
        BrokenCell{"NoVertices",
                   [](const std::filesystem::path& ply) {
                       tessaron::generators::writeFloatPly(ply, kGaussianNames, std::vector<float>{});
                       return std::string("Cell model cell_1 is missing or incomplete: PLY has no vertices");
                   },
                   MergeErrorKind::incompleteCell},
        BrokenCell{"OtherPropertyOrder",
                   [](const std::filesystem::path& ply) {
                       std::vector<std::string> names = kGaussianNames;
                       std::swap(names[3], names[5]);
                       tessaron::generators::writeFloatPly(ply, names, {gaussian(0.5f, 0, 0)});
                       return std::string("Cell model cell_1 has a different record layout from cell model cell_0; "
                                          "cells can only be merged with one layout");
                   },
                   MergeErrorKind::layoutMismatch},
        // Narrow colour and short extras would shift every record if they
        // were counted as floats: the cell is refused, naming the property.
        BrokenCell{"NarrowColourAndShortExtras",
                   [](const std::filesystem::path& ply) {
                       std::string header = "ply\nformat binary_little_endian 1.0\nelement vertex 1\n";
                       for (const auto& name : kGaussianNames) header += "property float " + name + "\n";
                       header += "property uchar red\nproperty uchar green\nproperty uchar blue\n"
                                 "property short flags\nend_header\n";
                       support::writeBytes(ply, header + std::string(14 * 4 + 3 + 2, '\0'));
                       return std::string("Cell model cell_1 is missing or incomplete: Unsupported PLY property: "
                                          "property uchar red");
                   },
                   MergeErrorKind::incompleteCell}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SeamlessMerge, AnOutputThatCannotBeWrittenFailsWithTheWriteError) {
    TempDir dir;
    auto cells = twoCells(dir, {gaussian(-0.5f, 0, 0)}, {gaussian(0.5f, 0, 0)}, false);
    LogLines log;
    EXPECT_THROW(SeamlessMerger::merge(cells, dir / "missing/output.ply", kScene, {}, log.sink()),
                 core::AtomicFile::WriteError);
    EXPECT_FALSE(std::filesystem::exists(dir / "missing"));
    EXPECT_FALSE(log.lines.back().starts_with("Exported"));
}

}  // namespace
