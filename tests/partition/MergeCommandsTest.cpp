#include <gtest/gtest.h>

#include <cstdio>
// GCC 12 warns about std::regex internals (maybe-uninitialized) when the
// sanitizers are on: a known false positive.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <regex>
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

#include "MergeTestSupport.hpp"
#include "colmap/COLMAPUtils.hpp"
#include "engines/PLYCheck.hpp"
#include "generators/SyntheticModel.hpp"
#include "support/TempDir.hpp"

using tessaron::testing::TempDir;
namespace support = tessaron::testing;

namespace {

struct ToolRun {
    int status = -1;
    std::string output;
};

// Runs the developer tool as a user would, with its standard output.
ToolRun runTool(const std::string& arguments) {
    ToolRun run;
    FILE* pipe = ::popen((std::string(TESSARON_TOOL_PATH) + " " + arguments + " 2>&1").c_str(), "r");
    if (!pipe) return run;
    char buffer[4096];
    while (size_t got = std::fread(buffer, 1, sizeof buffer, pipe)) run.output.append(buffer, got);
    run.status = ::pclose(pipe);
    return run;
}

std::string firstMatch(const std::string& text, const std::string& pattern) {
    std::smatch match;
    return std::regex_search(text, match, std::regex(pattern)) ? match[1].str() : "";
}

}  // namespace

TEST(MergeCommands, SyntheticCellsMergeToTheKnownCount) {
    TempDir dir;
    const std::string partitions = (dir / "partitions").string();
    ToolRun made = runTool("synthetic-cells " + partitions + " --columns 3 --rows 2 --gaussians 200 --rejects 6");
    ASSERT_EQ(made.status, 0) << made.output;
    std::string expected = firstMatch(made.output, "Expected merge: (\\d+) total Gaussians");
    ASSERT_FALSE(expected.empty()) << made.output;

    const std::string output = (dir / "output.ply").string();
    ToolRun merged = runTool("merge " + partitions + "/partition_plan.json " + partitions + " " + output);
    ASSERT_EQ(merged.status, 0) << merged.output;
    EXPECT_NE(merged.output.find("Starting Seamless Merge for 6 cells.\n"), std::string::npos);
    EXPECT_NE(merged.output.find("spatial=pure-voronoi (cluster-centroid ownership over 6 cells)"), std::string::npos);
    EXPECT_NE(merged.output.find("Exported seamlessly merged PLY: " + expected + " total Gaussians.\n"),
              std::string::npos)
        << merged.output;
    EXPECT_EQ(tessaron::engines::PLYCheck::validate(dir / "output.ply").vertexCount, std::stoll(expected));

    // A missing cell fails the whole merge and leaves the output as it was.
    std::string before = support::fileBytes(dir / "output.ply");
    std::filesystem::remove(dir / "partitions/cell_4/output.ply");
    ToolRun failed = runTool("merge " + partitions + "/partition_plan.json " + partitions + " " + output);
    EXPECT_NE(failed.status, 0);
    EXPECT_NE(failed.output.find("Cell model cell_4 is missing or incomplete: Cannot read "), std::string::npos);
    EXPECT_EQ(support::fileBytes(dir / "output.ply"), before);
}

TEST(MergeCommands, MaterialiseAndSubdivideAPlannedTown) {
    TempDir dir;
    ASSERT_EQ(runTool("synthetic-model " + (dir / "sparse/0").string() + " --images 240 --points 20000").status, 0);
    const std::string plan = (dir / "partition_plan.json").string();
    ToolRun planned = runTool("plan " + (dir / "sparse/0").string() + " --ram 4 --output " + plan);
    ASSERT_EQ(planned.status, 0) << planned.output;

    ToolRun materialised = runTool("materialise " + plan + " " + (dir / "sparse/0").string() + " " +
                                   (dir / "partitions").string() + " --cells cell_1");
    ASSERT_EQ(materialised.status, 0) << materialised.output;
    EXPECT_NE(materialised.output.find("Progress: 1/1\n"), std::string::npos) << materialised.output;
    EXPECT_TRUE(std::filesystem::exists(dir / "partitions/cell_1/sparse/0/images.bin"));

    ToolRun subdivided = runTool("subdivide " + plan + " cell_1 " + (dir / "sparse/0").string() + " " +
                                 (dir / "partitions").string());
    ASSERT_EQ(subdivided.status, 0) << subdivided.output;
    std::string count = firstMatch(subdivided.output, "(\\d) of 4 quadrants written");
    ASSERT_FALSE(count.empty()) << subdivided.output;
    size_t written = 0;
    for (int q = 0; q < 4; ++q)
        written += std::filesystem::exists(dir / ("partitions/cell_1_s" + std::to_string(q) + "/sparse/0"));
    EXPECT_EQ(written, size_t(std::stoi(count)));
}
