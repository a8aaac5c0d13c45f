// The harness's file commands on files they must not try to load: a folder
// where a PLY is expected, splat files far larger than memory.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

#include "SplatFormats/AutodetectSceneReader.hpp"
#include "engines/ProcessRunner.hpp"
#include "support/ConverterScripts.hpp"
#include "support/TempDir.hpp"

using tessaron::testing::TempDir;
namespace fs = std::filesystem;

namespace {

struct ToolResult {
    int32_t status = 0;
    std::vector<std::string> lines;
};

ToolResult runTool(const std::vector<std::string>& arguments) {
    ToolResult result;
    std::mutex mutex;
    tessaron::engines::ProcessRunner runner;
    result.status =
        runner.run({.executablePath = TESSARON_TOOL_PATH, .arguments = arguments}, [&](const std::string& line) {
            std::lock_guard lock(mutex);
            result.lines.push_back(line);
        });
    return result;
}

// A file of `size` bytes that takes no disk: a hole after `head`.
void writeSparse(const fs::path& file, const std::string& head, std::uintmax_t size) {
    {
        std::ofstream out(file, std::ios::binary);
        out << head;
    }
    fs::resize_file(file, size);
}

}  // namespace

TEST(ToolFileCommands, PlycheckSaysWhyAFileCannotBeRead) {
    TempDir folder;
    ToolResult result = runTool({"plycheck", folder.path().string()});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.lines, std::vector<std::string>{"tessaron-tool plycheck: Cannot read " +
                                                     folder.path().string() + ": Is a directory"});
    result = runTool({"plycheck", (folder / "absent.ply").string()});
    EXPECT_EQ(result.lines, std::vector<std::string>{"tessaron-tool plycheck: Cannot read " +
                                                     (folder / "absent.ply").string() + ": No such file or directory"});
}

TEST(ToolFileCommands, SplatInfoRefusesAFileTooLargeForMemoryBeforeAllocating) {
    TempDir folder;
    // 64 GiB of .splat records, and a Gaussian PLY of 1 TB whose header
    // claims four billion vertices (near the most a PLY count can say).
    writeSparse(folder / "huge.splat", "", std::uintmax_t(64) << 30);
    const std::uintmax_t vertices = 4'000'000'000;
    std::string header = "ply\nformat binary_little_endian 1.0\nelement vertex " + std::to_string(vertices) + "\n";
    for (const char* name : {"x", "y", "z", "f_dc_0", "f_dc_1", "f_dc_2", "opacity", "scale_0", "scale_1", "scale_2",
                             "rot_0", "rot_1", "rot_2", "rot_3"})
        header += std::string("property float ") + name + "\n";
    header += "end_header\n";
    writeSparse(folder / "huge.ply", header, std::uintmax_t(1) << 40);

    for (const auto& [name, count] :
         {std::pair{"huge.splat", std::uintmax_t(1) << 31}, std::pair{"huge.ply", vertices}}) {
        ToolResult result = runTool({"splat-info", (folder / name).string()});
        EXPECT_EQ(result.status, 1) << name;
        ASSERT_EQ(result.lines.size(), 1u) << name;
        const std::string expected = "tessaron-tool splat-info: " + (folder / name).string() + " is too large: its " +
                                     std::to_string(count) + " splats need about ";
        EXPECT_EQ(result.lines[0].substr(0, expected.size()), expected);
        EXPECT_NE(result.lines[0].find(" GB of memory, this computer has "), std::string::npos) << result.lines[0];
    }
}

// splat-transform would read the missing half of a cut PLY as zeros and
// report success: the harness's convert refuses it with our reader's message.
TEST(ToolFileCommands, ConvertRefusesATruncatedPLYForSplatTransform) {
    // Without the tool the conversion ends at its absence instead.
    if (!tessaron::engines::SplatConverterRunner::splatTransformPath())
        GTEST_SKIP() << "splat-transform is not installed: run scripts/setup.sh";
    TempDir folder;
    tessaron::testing::writeScene(folder / "whole.ply", 200);
    std::string whole;
    {
        std::ifstream in(folder / "whole.ply", std::ios::binary);
        whole.assign(std::istreambuf_iterator<char>(in), {});
    }
    {
        std::ofstream out(folder / "half.ply", std::ios::binary);
        out << whole.substr(0, whole.size() / 2);
    }
    std::string readerMessage;
    try {
        splatformats::AutodetectSceneReader(folder / "half.ply").readAll();
    } catch (const std::exception& error) {
        readerMessage = error.what();
    }
    ASSERT_FALSE(readerMessage.empty());
    ToolResult result = runTool({"convert", (folder / "half.ply").string(), "sog"});
    EXPECT_NE(result.status, 0);
    // The progress lines come on stdout, the refusal on stderr: their order
    // between the two pipes is not fixed.
    EXPECT_NE(std::find(result.lines.begin(), result.lines.end(), "tessaron-tool convert: " + readerMessage),
              result.lines.end());
    for (const std::string& line : result.lines) EXPECT_FALSE(line.starts_with("✓ Wrote")) << line;
    EXPECT_FALSE(fs::exists(folder / "half.sog"));
}

TEST(ToolFileCommands, RenderDrawsAHeavySceneWithinItsBudgetInsteadOfForMinutes) {
    // 20,000 large faint splats at 640×480 would be some 5·10⁹ fragments a
    // frame unbounded; the budget draws them at a lower resolution.
    TempDir folder;
    const fs::path scene = folder / "heavy.ply";
    ToolResult made = runTool({"heavy-scene", scene.string(), "--gaussians", "20000", "--seed", "3"});
    ASSERT_EQ(made.status, 0);
    ASSERT_EQ(made.lines.size(), 1u);
    EXPECT_EQ(made.lines[0], "Wrote 20000 Gaussians to " + scene.string());
    // Degree-3 harmonics: 62 floats a Gaussian.
    EXPECT_GT(fs::file_size(scene), std::uintmax_t(20000 * 62 * 4));

    const fs::path image = folder / "heavy.png";
    ToolResult rendered = runTool({"render", scene.string(), "--size", "640x480", "--camera", "0,0,-7.5",
                                   "--high-quality-depth", "--fragment-budget", "2000000", "--out", image.string()});
    ASSERT_EQ(rendered.status, 0);
    EXPECT_TRUE(fs::exists(image));
    bool reduced = false;
    for (const auto& line : rendered.lines)
        if (line.starts_with("Drawn at ") && line.find(" and stretched: the splats cover ") != std::string::npos &&
            line.find("the budget 2000000 + 384 for each of 20000 splats") != std::string::npos)
            reduced = true;
    EXPECT_TRUE(reduced) << "no line says the frame was drawn within the budget";

    ToolResult refused = runTool({"render", scene.string(), "--size", "64x64", "--camera", "0,0,-7.5",
                                  "--fragment-budget", "-1", "--out", image.string()});
    EXPECT_EQ(refused.status, 2);
    ToolResult noCount = runTool({"heavy-scene", scene.string(), "--gaussians", "0"});
    EXPECT_EQ(noCount.status, 2);
}
