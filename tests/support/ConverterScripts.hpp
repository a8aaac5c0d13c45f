#pragma once

// Header-only: a test that includes it links tessaron_engines and
// splatformats. Scenes to convert, and converter programs made of shell
// scripts.

#include <sys/stat.h>

#include <cmath>
#include <filesystem>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "SplatFormats/SplatPLYSceneWriter.hpp"
#include "support/TempDir.hpp"
#include "engines/SplatConverterRunner.hpp"

namespace tessaron::testing {

namespace fs = std::filesystem;

// A small Gaussian PLY with every spherical-harmonic band, so splat-transform
// has colour bands to compress.
inline void writeScene(const fs::path& path, std::size_t count = 120) {
    std::mt19937 generator(7);
    std::uniform_real_distribution<float> unit(-1, 1);
    std::vector<splatformats::SplatPoint> points;
    for (std::size_t i = 0; i < count; ++i) {
        splatformats::SHCoefficients triples;
        for (int k = 0; k < 16; ++k) triples.push_back({unit(generator) * 0.5f, unit(generator) * 0.5f, unit(generator) * 0.5f});
        float qx = unit(generator), qy = unit(generator), qz = unit(generator), qw = unit(generator);
        float length = std::sqrt(qx * qx + qy * qy + qz * qz + qw * qw);
        points.emplace_back(splatformats::Vector3{unit(generator) * 5, unit(generator) * 5, unit(generator) * 5},
                            splatformats::SplatPoint::Color::sphericalHarmonicFloat(triples),
                            splatformats::SplatPoint::Opacity::logitFloat(unit(generator) * 3),
                            splatformats::SplatPoint::Scale::exponent({unit(generator) - 3, unit(generator) - 3, unit(generator) - 3}),
                            splatformats::Quaternion{qx / length, qy / length, qz / length, qw / length});
    }
    splatformats::SplatPLYSceneWriter writer(path);
    writer.start(3, true, std::int64_t(count));
    writer.write(points);
    writer.close();
}

// An executable shell script standing in for a converter program.
inline fs::path writeScript(const fs::path& path, const std::string& body) {
    tessaron::testing::writeTextFile(path, "#!/bin/sh\n" + body);
    ::chmod(path.c_str(), 0755);
    return path;
}

// A converter runner whose backends are the programs given (absent: missing).
class ScriptedConverter : public engines::SplatConverterRunner {
public:
    ScriptedConverter(std::optional<fs::path> converter, std::optional<fs::path> splatTransform = std::nullopt)
        : engines::SplatConverterRunner(std::make_shared<engines::ProcessRunner>()),
          converter_(std::move(converter)),
          splatTransform_(std::move(splatTransform)) {}

protected:
    std::optional<fs::path> findResourceConverter() const override { return converter_; }
    std::optional<fs::path> findSplatTransform() const override { return splatTransform_; }

private:
    std::optional<fs::path> converter_;
    std::optional<fs::path> splatTransform_;
};

// A SplatConverter that writes a partial output, then sleeps until stopped.
inline fs::path writeSlowConverter(const fs::path& folder) {
    // $3 is the output's path; `exec` so that the terminate reaches the sleep.
    return writeScript(folder / "slow-converter", "echo partial > \"$3\"\necho started\nexec sleep 30\n");
}

}  // namespace tessaron::testing
