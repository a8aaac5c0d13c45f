// Files we write, read by splat-transform, and files it writes, read by us.
// splat-transform is run as a child process and reports values as CSV.
//
// Axes: splat-transform treats PLY and .splat data in the same axes as our
// scenes (RDF) and converts to and from SPZ's RUB exactly as we do (x kept,
// y and z negated on write and read, SH signs likewise), so values compare
// directly in every format.

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <map>
#include <random>

#include "SplatFormats/DotSplatSceneReader.hpp"
#include "SplatFormats/DotSplatSceneWriter.hpp"
#include "SplatFormats/SPZSceneReader.hpp"
#include "SplatFormats/SPZSceneWriter.hpp"
#include "SplatFormats/SplatPLYSceneReader.hpp"
#include "SplatFormats/SplatPLYSceneWriter.hpp"
#include "TestCommand.hpp"
#include "support/TempDir.hpp"

using splatformats::SHCoefficients;
using splatformats::SplatPoint;
namespace fs = std::filesystem;

namespace {

struct CSVTable {
    std::map<std::string, std::size_t> columns;
    std::vector<std::vector<double>> rows;

    bool has(const std::string& name) const { return columns.count(name) != 0; }
    float at(std::size_t row, const std::string& name) const { return float(rows.at(row).at(columns.at(name))); }
};

CSVTable readCSV(const fs::path& path) {
    std::ifstream stream(path);
    CSVTable table;
    std::string line;
    std::getline(stream, line);
    std::stringstream header(line);
    std::string name;
    while (std::getline(header, name, ',')) table.columns.emplace(name, table.columns.size());
    while (std::getline(stream, line)) {
        if (line.empty()) continue;
        std::vector<double> values;
        std::stringstream cells(line);
        std::string cell;
        while (std::getline(cells, cell, ',')) values.push_back(std::strtod(cell.c_str(), nullptr));
        table.rows.push_back(std::move(values));
    }
    return table;
}

class SplatTransformInterop : public ::testing::Test {
protected:
    void SetUp() override {
        auto path = splatformats::testing::splatTransformPath();
        if (!path) GTEST_SKIP() << "splat-transform is not installed: run scripts/setup.sh";
        tool_ = path->string();
    }

    // splat-transform's view of a file, as CSV.
    CSVTable report(const fs::path& file) {
        fs::path csv = folder_ / (file.filename().string() + ".csv");
        transform({file.string(), csv.string()});
        return readCSV(csv);
    }

    void transform(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), {tool_, "-q", "-w"});
        auto result = splatformats::testing::runCommand(arguments);
        ASSERT_EQ(result.status, 0) << result.output;
    }

    static std::vector<SplatPoint> scene(std::size_t count) {
        std::mt19937 generator(21);
        std::uniform_real_distribution<float> unit(-1, 1);
        std::vector<SplatPoint> points;
        for (std::size_t i = 0; i < count; ++i) {
            SHCoefficients triples;
            triples.push_back({unit(generator) * 1.5f, unit(generator) * 1.5f, unit(generator) * 1.5f});
            for (int k = 1; k < 16; ++k) triples.push_back({unit(generator) * 0.4f, unit(generator) * 0.4f, unit(generator) * 0.4f});
            float qx = unit(generator), qy = unit(generator), qz = unit(generator), qw = unit(generator);
            float length = std::sqrt(qx * qx + qy * qy + qz * qz + qw * qw);
            points.emplace_back(splatformats::Vector3{unit(generator) * 30, unit(generator) * 30, unit(generator) * 30},
                                SplatPoint::Color::sphericalHarmonicFloat(triples),
                                SplatPoint::Opacity::logitFloat(unit(generator) * 4),
                                SplatPoint::Scale::exponent({unit(generator) * 2 - 3, unit(generator) * 2 - 3, unit(generator) * 2 - 3}),
                                splatformats::Quaternion{qx / length, qy / length, qz / length, qw / length});
        }
        return points;
    }

    static void writeOurPLY(const fs::path& path, unsigned degree, std::size_t count) {
        splatformats::SplatPLYSceneWriter writer(path);
        writer.start(degree, true, std::int64_t(count));
        writer.write(scene(count));
        writer.close();
    }

    // Our values of one point in splat-transform's column names.
    static std::map<std::string, float> columnsOf(const SplatPoint& point) {
        std::map<std::string, float> values;
        const char* axes[] = {"x", "y", "z"};
        for (int axis = 0; axis < 3; ++axis) {
            values[axes[axis]] = point.position[axis];
            values["scale_" + std::to_string(axis)] = point.scale.asExponent()[axis];
        }
        SHCoefficients triples = point.color.asSphericalHarmonicFloat();
        for (std::size_t channel = 0; channel < 3; ++channel) {
            values["f_dc_" + std::to_string(channel)] = triples[0][channel];
            for (std::size_t k = 1; k < triples.size(); ++k)
                values["f_rest_" + std::to_string(channel * 15 + k - 1)] = triples[k][channel];
        }
        values["opacity"] = point.opacity.asLogitFloat();
        values["rot_0"] = point.rotation.w;
        values["rot_1"] = point.rotation.x;
        values["rot_2"] = point.rotation.y;
        values["rot_3"] = point.rotation.z;
        return values;
    }

    // splat-transform may hand back q or -q for the same rotation.
    static float rotationSign(const CSVTable& table, std::size_t row, const SplatPoint& point) {
        float dot = table.at(row, "rot_0") * point.rotation.w + table.at(row, "rot_1") * point.rotation.x +
                    table.at(row, "rot_2") * point.rotation.y + table.at(row, "rot_3") * point.rotation.z;
        return dot < 0 ? -1.0f : 1.0f;
    }

    tessaron::testing::TempDir folder_;
    std::string tool_;
};

float sigmoid(float x) { return 1 / (1 + std::exp(-x)); }

}  // namespace

TEST_F(SplatTransformInterop, OurBinaryPLYReadsWithTheValuesWeWrote) {
    auto points = scene(40);
    fs::path file = folder_ / "ours.ply";
    writeOurPLY(file, 3, 40);

    CSVTable table = report(file);
    ASSERT_EQ(table.rows.size(), points.size());
    for (std::size_t row = 0; row < points.size(); ++row)
        for (const auto& [name, value] : columnsOf(points[row])) EXPECT_EQ(table.at(row, name), value) << name << " of " << row;
}

TEST_F(SplatTransformInterop, OurDotSplatReadsWithinItsByteQuantisation) {
    auto points = scene(40);
    fs::path file = folder_ / "ours.splat";
    splatformats::DotSplatSceneWriter writer(file);
    writer.write(points);
    writer.close();

    CSVTable table = report(file);
    ASSERT_EQ(table.rows.size(), points.size());
    for (std::size_t row = 0; row < points.size(); ++row) {
        const SplatPoint& point = points[row];
        for (int axis = 0; axis < 3; ++axis) {
            const char* names[] = {"x", "y", "z"};
            EXPECT_EQ(table.at(row, names[axis]), point.position[axis]);
            EXPECT_NEAR(std::exp(table.at(row, "scale_" + std::to_string(axis))), point.scale.asLinearFloat()[axis],
                        1e-6f + 1e-5f * point.scale.asLinearFloat()[axis]);
            // Colour bytes: one step of 1/255 in the linear colour.
            float linear = table.at(row, "f_dc_" + std::to_string(axis)) * SplatPoint::Color::SH_C0 + 0.5f;
            EXPECT_NEAR(linear, point.color.asSRGBFloat()[axis], 1.0f / 255 + 1e-5f);
        }
        EXPECT_NEAR(sigmoid(table.at(row, "opacity")), point.opacity.asLinearFloat(), 1.0f / 255 + 1e-4f);
        // Rotation bytes hold 1/128 steps; both tools normalise after decoding.
        float sign = rotationSign(table, row, point);
        EXPECT_NEAR(sign * table.at(row, "rot_0"), point.rotation.w, 0.02f);
        EXPECT_NEAR(sign * table.at(row, "rot_1"), point.rotation.x, 0.02f);
        EXPECT_NEAR(sign * table.at(row, "rot_3"), point.rotation.z, 0.02f);
    }
}

TEST_F(SplatTransformInterop, OurSpzReadsWithinItsQuantisationInTheSameAxes) {
    auto points = scene(40);
    fs::path file = folder_ / "ours.spz";
    splatformats::SPZSceneWriter writer(file);
    writer.start(40);
    writer.write(points);
    writer.close();

    CSVTable table = report(file);
    ASSERT_EQ(table.rows.size(), points.size());
    for (std::size_t row = 0; row < points.size(); ++row) {
        auto expected = columnsOf(points[row]);
        for (const char* name : {"x", "y", "z"}) EXPECT_NEAR(table.at(row, name), expected[name], 0.5f / 4096 + 1e-6f) << name;
        for (int axis = 0; axis < 3; ++axis) {
            std::string scale = "scale_" + std::to_string(axis), dc = "f_dc_" + std::to_string(axis);
            EXPECT_NEAR(table.at(row, scale), expected[scale], 1.0f / 32 + 1e-5f);
            EXPECT_NEAR(table.at(row, dc), expected[dc], 0.5f / 38.25f + 1e-5f);
        }
        for (int index = 0; index < 45; ++index) {
            std::string name = "f_rest_" + std::to_string(index);
            float step = index % 15 < 3 ? 4.5f / 128 : 8.5f / 128;
            EXPECT_NEAR(table.at(row, name), expected[name], step + 1e-5f) << name << " of " << row;
        }
        EXPECT_NEAR(sigmoid(table.at(row, "opacity")), sigmoid(expected["opacity"]), 0.5f / 255 + 1e-5f);
        float sign = rotationSign(table, row, points[row]);
        for (const char* name : {"rot_0", "rot_1", "rot_2", "rot_3"})
            EXPECT_NEAR(sign * table.at(row, name), expected[name], 2e-3f) << name;
    }
}

TEST_F(SplatTransformInterop, ItsPLYReadsWithTheValuesItReports) {
    fs::path ours = folder_ / "ours.ply";
    writeOurPLY(ours, 3, 30);
    // Moved, so that splat-transform computes and writes values of its own.
    fs::path theirs = folder_ / "theirs.ply";
    transform({ours.string(), "-t", "1.5,-2,0.25", theirs.string()});
    CSVTable table = report(theirs);
    auto points = splatformats::SplatPLYSceneReader(theirs).readAll();
    ASSERT_EQ(points.size(), table.rows.size());
    for (std::size_t row = 0; row < points.size(); ++row)
        for (const auto& [name, value] : columnsOf(points[row])) {
            if (!table.has(name)) continue;
            EXPECT_EQ(value, table.at(row, name)) << name << " of " << row;
        }
}

TEST_F(SplatTransformInterop, ItsVersionThreeSpzReadsWithTheValuesItReports) {
    fs::path ours = folder_ / "ours.ply";
    writeOurPLY(ours, 3, 30);
    fs::path theirs = folder_ / "theirs.spz";
    transform({ours.string(), "--spz-version", "3", theirs.string()});
    CSVTable table = report(theirs);
    auto points = splatformats::SPZSceneReader(theirs).readAll();
    ASSERT_EQ(points.size(), table.rows.size());
    for (std::size_t row = 0; row < points.size(); ++row) {
        auto values = columnsOf(points[row]);
        float sign = rotationSign(table, row, points[row]);
        for (const auto& [name, value] : values) {
            if (!table.has(name)) continue;
            float reported = name.rfind("rot_", 0) == 0 ? sign * table.at(row, name) : table.at(row, name);
            // Both decode the same bytes; only float rounding may differ.
            EXPECT_NEAR(value, reported, 1e-5f + 1e-5f * std::abs(reported)) << name << " of " << row;
        }
    }
}

TEST_F(SplatTransformInterop, ItsDefaultVersionFourSpzIsRefusedClearly) {
    fs::path ours = folder_ / "ours.ply";
    writeOurPLY(ours, 0, 2);
    fs::path theirs = folder_ / "v4.spz";
    transform({ours.string(), theirs.string()});
    try {
        splatformats::SPZSceneReader(theirs).read();
        FAIL() << "version 4 was read";
    } catch (const splatformats::SPZSceneReader::Error& error) {
        EXPECT_NE(std::string(error.what()).find("Unsupported SPZ version 4"), std::string::npos) << error.what();
    }
}
