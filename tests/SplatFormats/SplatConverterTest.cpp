#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>
#include <random>

#include "SplatFormats/AutodetectSceneReader.hpp"
#include "SplatFormats/SplatPLYSceneWriter.hpp"
#include "TestCommand.hpp"
#include "support/TempDir.hpp"

using splatformats::SHCoefficients;
using splatformats::SplatPoint;
using splatformats::testing::runCommand;

namespace {

const std::string converter = SPLAT_CONVERTER_PATH;

std::vector<SplatPoint> scene(std::size_t count) {
    std::mt19937 generator(9);
    std::uniform_real_distribution<float> value(-1, 1);
    std::vector<SplatPoint> points;
    for (std::size_t i = 0; i < count; ++i) {
        SHCoefficients triples;
        for (int k = 0; k < 16; ++k) triples.push_back({value(generator), value(generator), value(generator)});
        points.emplace_back(splatformats::Vector3{value(generator) * 10, value(generator) * 10, value(generator) * 10},
                            SplatPoint::Color::sphericalHarmonicFloat(triples), SplatPoint::Opacity::logitFloat(value(generator)),
                            SplatPoint::Scale::exponent({value(generator) - 3, value(generator) - 3, value(generator) - 3}),
                            splatformats::Quaternion{value(generator), value(generator), value(generator), 1});
    }
    return points;
}

void writePLY(const std::filesystem::path& path, const std::vector<SplatPoint>& points) {
    splatformats::SplatPLYSceneWriter writer(path);
    writer.start(3, true, std::int64_t(points.size()));
    writer.write(points);
    writer.close();
}

std::vector<std::filesystem::path> folderContents(const std::filesystem::path& folder) {
    std::vector<std::filesystem::path> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace

class SplatConverterFormats : public ::testing::TestWithParam<std::pair<std::string, std::string>> {};

TEST_P(SplatConverterFormats, ConvertsAndReadsBack) {
    auto [format, extension] = GetParam();
    tessaron::testing::TempDir folder;
    auto input = folder / "my scene.ply";
    auto output = folder / ("my scene" + extension);
    writePLY(input, scene(100));
    auto result = runCommand({converter, input.string(), "-o", output.string(), "-f", format, "-v"});
    EXPECT_EQ(result.status, 0) << result.output;
    EXPECT_NE(result.output.find("Read 100 splats from " + input.string()), std::string::npos) << result.output;
    EXPECT_NE(result.output.find("Wrote 100 splats to " + output.string() + " (" + format + ")"), std::string::npos);
    EXPECT_EQ(splatformats::AutodetectSceneReader(output).readAll().size(), 100u);
    std::vector<std::filesystem::path> expected{"my scene.ply", output.filename()};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(folderContents(folder.path()), expected);
}

INSTANTIATE_TEST_SUITE_P(Formats, SplatConverterFormats,
                         ::testing::Values(std::make_pair("spz", ".spz"), std::make_pair("dotSplat", ".splat"),
                                           std::make_pair("ply-ascii", ".ascii.ply")),
                         [](const auto& info) { return info.param.first == "ply-ascii" ? std::string("plyAscii") : info.param.first; });

TEST(SplatConverter, FailuresExitNonZeroWithAMessageAndLeaveNothing) {
    tessaron::testing::TempDir folder;
    auto input = folder / "scene.ply";
    writePLY(input, scene(3));

    auto missing = runCommand({converter, (folder / "gone.ply").string(), "-o", (folder / "x.spz").string(), "-f", "spz"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.output.find("Input file not found: " + (folder / "gone.ply").string()), std::string::npos);

    auto unknown = runCommand({converter, input.string(), "-o", (folder / "x.glb").string(), "-f", "glb"});
    EXPECT_EQ(unknown.status, 2);
    EXPECT_NE(unknown.output.find("Unknown output format \"glb\""), std::string::npos) << unknown.output;

    auto noOutput = runCommand({converter, input.string(), "-f", "spz"});
    EXPECT_EQ(noOutput.status, 2);

    // A missing folder is made, but none can be made below a file.
    auto unwritable = runCommand({converter, input.string(), "-o", (input / "folder/x.spz").string(), "-f", "spz"});
    EXPECT_EQ(unwritable.status, 1);
    EXPECT_NE(unwritable.output.find("Could not write " + (input / "folder/x.spz").string()), std::string::npos);

    // A damaged input: the reader fails, no output and no temporary remain.
    auto damaged = folder / "damaged.ply";
    std::filesystem::copy_file(input, damaged);
    std::filesystem::resize_file(damaged, std::filesystem::file_size(damaged) - 5);
    auto broken = runCommand({converter, damaged.string(), "-o", (folder / "out.splat").string(), "-f", "dotSplat"});
    EXPECT_EQ(broken.status, 1);
    EXPECT_NE(broken.output.find("Could not read " + damaged.string()), std::string::npos) << broken.output;
    EXPECT_EQ(folderContents(folder.path()), (std::vector<std::filesystem::path>{"damaged.ply", "scene.ply"}));
}

TEST(SplatConverter, AnInputThatBreaksOffAfterManyBatchesFailsAndLeavesNothing) {
    // .splat goes in one pass, decoded ahead of the writer: the error
    // reaches the writer after the batches before it were written. The other
    // formats meet it in their first pass, which counts the points.
    tessaron::testing::TempDir folder;
    auto damaged = folder / "long.ply";
    writePLY(damaged, scene(30'000));
    std::filesystem::resize_file(damaged, std::filesystem::file_size(damaged) - 1000);
    for (const char* format : {"dotSplat", "spz", "ply-ascii"}) {
        auto broken = runCommand({converter, damaged.string(), "-o", (folder / "out").string(), "-f", format});
        EXPECT_EQ(broken.status, 1) << format;
        EXPECT_NE(broken.output.find("Could not read " + damaged.string()), std::string::npos) << broken.output;
        EXPECT_EQ(folderContents(folder.path()), (std::vector<std::filesystem::path>{"long.ply"})) << format;
    }
}

TEST(SplatConverter, PositionsNoFormatCanHoldFailTheWriteAndLeaveNothing) {
    tessaron::testing::TempDir folder;
    auto input = folder / "far.ply";
    std::vector<SplatPoint> points = scene(2);
    points[1].position = {1e9f, 0, 0};  // beyond SPZ's 24-bit fixed point at any precision
    writePLY(input, points);
    auto result = runCommand({converter, input.string(), "-o", (folder / "far.spz").string(), "-f", "spz"});
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.output.find("does not fit the 24-bit fixed-point range"), std::string::npos) << result.output;
    EXPECT_EQ(folderContents(folder.path()), (std::vector<std::filesystem::path>{"far.ply"}));
}

TEST(SplatConverter, AnOutputThatIsNotARegularFileIsNeverReplaced) {
    tessaron::testing::TempDir folder;
    auto input = folder / "scene.ply";
    writePLY(input, scene(3));
    // Never the real /dev/null as -o: a link to it, in a temporary folder.
    std::filesystem::create_symlink("/dev/null", folder / "null.spz");
    ASSERT_EQ(::mkfifo((folder / "fifo.spz").c_str(), 0600), 0);
    std::filesystem::create_directory(folder / "folder.splat");
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"null.spz", "is a character device, not a regular file"},
        {"fifo.spz", "is a FIFO, not a regular file"},
        {"folder.splat", "Is a directory"},
    };
    for (const auto& [name, reason] : cases) {
        for (const char* format : {"spz", "dotSplat"}) {
            auto result = runCommand({converter, input.string(), "-o", (folder / name).string(), "-f", format});
            EXPECT_EQ(result.status, 1) << name << " " << format;
            EXPECT_EQ(result.output,
                      "SplatConverter: Could not write " + (folder / name).string() + ": " + reason + "\n");
        }
    }
    EXPECT_TRUE(std::filesystem::is_symlink(folder / "null.spz"));
    EXPECT_TRUE(std::filesystem::is_character_file("/dev/null"));
    EXPECT_TRUE(std::filesystem::is_fifo(folder / "fifo.spz"));
    EXPECT_TRUE(std::filesystem::is_directory(folder / "folder.splat"));
    EXPECT_EQ(folderContents(folder.path()),
              (std::vector<std::filesystem::path>{"fifo.spz", "folder.splat", "null.spz", "scene.ply"}));
}

TEST(SplatConverter, AnInputBeyondTheSPZLimitIsRefusedAtTheLimitNotAfterReadingItAll) {
    tessaron::testing::TempDir folder;
    // 64 GiB of .splat records (2^31 points), sparse: no disk is used, and
    // reading all of it would take minutes.
    auto input = folder / "huge.splat";
    { std::ofstream create(input); }
    std::filesystem::resize_file(input, std::uintmax_t(64) << 30);
    auto result = runCommand({converter, input.string(), "-o", (folder / "huge.spz").string(), "-f", "spz"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.output, "SplatConverter: Could not write " + (folder / "huge.spz").string() +
                                 ": an SPZ file holds at most 10000000 points, and " + input.string() +
                                 " holds more\n");
    EXPECT_EQ(folderContents(folder.path()), (std::vector<std::filesystem::path>{"huge.splat"}));
}
