#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>

#include "support/TempDir.hpp"
#include "trevik/GaussianPlyWriter.hpp"

using tessaron::testing::readTextFile;
using tessaron::testing::TempDir;
using tessaron::testing::writeTextFile;
using tessaron::trevik::GaussianPlyWriter;
using tessaron::trevik::GaussianSeed;

namespace fs = std::filesystem;

namespace {

float floatAt(const std::string& bytes, size_t offset) {
    uint32_t bits = uint32_t(uint8_t(bytes[offset])) | uint32_t(uint8_t(bytes[offset + 1])) << 8 |
                    uint32_t(uint8_t(bytes[offset + 2])) << 16 | uint32_t(uint8_t(bytes[offset + 3])) << 24;
    float value;
    std::memcpy(&value, &bits, 4);
    return value;
}

std::vector<std::string> headerLines(const std::string& header) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end = header.find('\n'); end != std::string::npos; end = header.find('\n', start)) {
        lines.push_back(header.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

size_t entriesIn(const fs::path& folder) {
    size_t count = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(folder)) ++count;
    return count;
}

const std::vector<GaussianSeed> twoSeeds = {
    {1.5f, -2.0f, 3.25f, 0.1f, 0.2f, 0.3f, -4.0f},
    {-0.0f, 1e-30f, 7.0f, -1.7f, 0.0f, 1.7f, 0.5f},
};

}  // namespace

TEST(GaussianPlyWriter, HeaderListsTheSixtyTwoFloatPropertiesInOrder) {
    std::vector<std::string> lines = headerLines(GaussianPlyWriter::header(1204332));
    ASSERT_EQ(lines.size(), 3u + 62u + 1u);
    EXPECT_EQ(lines[0], "ply");
    EXPECT_EQ(lines[1], "format binary_little_endian 1.0");
    EXPECT_EQ(lines[2], "element vertex 1204332");
    std::vector<std::string> names = {"x", "y", "z", "nx", "ny", "nz", "f_dc_0", "f_dc_1", "f_dc_2"};
    for (int index = 0; index < 45; ++index) names.push_back("f_rest_" + std::to_string(index));
    for (const char* name : {"opacity", "scale_0", "scale_1", "scale_2", "rot_0", "rot_1", "rot_2", "rot_3"})
        names.push_back(name);
    for (size_t index = 0; index < names.size(); ++index) EXPECT_EQ(lines[3 + index], "property float " + names[index]);
    EXPECT_EQ(lines.back(), "end_header");
}

TEST(GaussianPlyWriter, BodyHoldsEachSeedAsLittleEndianFloats) {
    TempDir folder;
    fs::path target = folder / "output.partial.ply";
    GaussianPlyWriter::write(target, twoSeeds);

    std::string bytes = readTextFile(target);
    std::string header = GaussianPlyWriter::header(2);
    ASSERT_EQ(bytes.size(), header.size() + 2 * 248);
    EXPECT_EQ(bytes.substr(0, header.size()), header);
    for (size_t vertex = 0; vertex < 2; ++vertex) {
        const GaussianSeed& seed = twoSeeds[vertex];
        auto at = [&](size_t property) { return floatAt(bytes, header.size() + vertex * 248 + property * 4); };
        EXPECT_EQ(at(0), seed.x);
        EXPECT_EQ(std::signbit(at(0)), std::signbit(seed.x));
        EXPECT_EQ(at(1), seed.y);
        EXPECT_EQ(at(2), seed.z);
        for (size_t property = 3; property < 6; ++property) EXPECT_EQ(at(property), 0.0f);
        EXPECT_EQ(at(6), seed.dc0);
        EXPECT_EQ(at(7), seed.dc1);
        EXPECT_EQ(at(8), seed.dc2);
        for (size_t property = 9; property < 54; ++property) EXPECT_EQ(at(property), 0.0f) << property;
        EXPECT_EQ(at(54), 0.0f);  // opacity logit of 0.5
        for (size_t property = 55; property < 58; ++property) EXPECT_EQ(at(property), seed.logScale);
        EXPECT_EQ(at(58), 1.0f);
        for (size_t property = 59; property < 62; ++property) EXPECT_EQ(at(property), 0.0f);
    }
    EXPECT_EQ(entriesIn(folder.path()), 1u) << "no temporary is left behind";
}

TEST(GaussianPlyWriter, ReplacesAnOldFileWhole) {
    TempDir folder;
    fs::path target = folder / "out.ply";
    writeTextFile(target, std::string(100000, 'x'));
    GaussianPlyWriter::write(target, {twoSeeds[0]});
    EXPECT_EQ(fs::file_size(target), GaussianPlyWriter::header(1).size() + 248);
    EXPECT_EQ(entriesIn(folder.path()), 1u);
}

TEST(GaussianPlyWriter, MissingFolderFailsAndCreatesNothing) {
    TempDir folder;
    fs::path target = folder / "absent" / "out.ply";
    try {
        GaussianPlyWriter::write(target, twoSeeds);
        FAIL() << "expected a write error";
    } catch (const GaussianPlyWriter::WriteError& error) {
        EXPECT_NE(std::string(error.what()).find((folder / "absent").string()), std::string::npos) << error.what();
    }
    EXPECT_EQ(entriesIn(folder.path()), 0u);
}

TEST(GaussianPlyWriter, AModelThatIsNotFiniteIsNeverWritten) {
    TempDir folder;
    fs::path target = folder / "out.ply";
    writeTextFile(target, "the last good model");
    for (float bad : {std::nanf(""), INFINITY, -INFINITY}) {
        std::vector<GaussianSeed> seeds = twoSeeds;
        seeds[1].logScale = bad;
        try {
            GaussianPlyWriter::write(target, seeds);
            FAIL() << "expected a write error";
        } catch (const GaussianPlyWriter::WriteError& error) {
            EXPECT_NE(std::string(error.what()).find("the model is not saved: Gaussian 2 of 2 holds "),
                      std::string::npos) << error.what();
        }
    }
    EXPECT_EQ(readTextFile(target), "the last good model");
    EXPECT_EQ(entriesIn(folder.path()), 1u) << "no temporary is left behind";
}
