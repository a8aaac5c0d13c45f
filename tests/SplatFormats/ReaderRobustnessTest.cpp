// Damaged files of every format: each read either succeeds or fails with the
// system's own error, never with a crash or another exception. Run under
// AddressSanitizer and UndefinedBehaviorSanitizer this also checks every
// memory access of the readers; the fuzz targets explore further.

#include <gtest/gtest.h>

#include <functional>
#include <random>

#include "SplatFormats/DotSplatSceneReader.hpp"
#include "SplatFormats/DotSplatSceneWriter.hpp"
#include "SplatFormats/SPZSceneReader.hpp"
#include "SplatFormats/SPZSceneWriter.hpp"
#include "SplatFormats/SplatPLYSceneReader.hpp"
#include "SplatFormats/SplatPLYSceneWriter.hpp"
#include "SplatFormats/AutodetectSceneReader.hpp"
#include "core/Error.hpp"
#include "support/Fifo.hpp"
#include "support/TempDir.hpp"

using splatformats::SHCoefficients;
using splatformats::SplatPoint;
using Bytes = std::vector<std::uint8_t>;

namespace {

std::vector<SplatPoint> scene() {
    std::vector<SplatPoint> points;
    for (int i = 0; i < 12; ++i) {
        SHCoefficients triples;
        for (int k = 0; k < 16; ++k) triples.push_back({0.1f * float(k), -0.05f * float(i), 0.2f});
        points.emplace_back(splatformats::Vector3{float(i), -float(i), 0.5f}, SplatPoint::Color::sphericalHarmonicFloat(triples),
                            SplatPoint::Opacity::logitFloat(0.3f), SplatPoint::Scale::exponent({-2, -3, -4}),
                            splatformats::Quaternion{0.1f, 0.2f, 0.3f, 0.9f});
    }
    return points;
}

template <typename Writer, typename Start>
Bytes written(Start start) {
    Writer writer(plykit::WriterDestination::memory());
    start(writer);
    writer.write(scene());
    writer.close();
    return *writer.writtenData();
}

struct Format {
    const char* name;
    std::function<Bytes()> file;
    std::function<std::unique_ptr<splatformats::SplatSceneReader>(Bytes)> reader;
};

void PrintTo(const Format& format, std::ostream* stream) { *stream << format.name; }

// Reads everything; returns whether the read succeeded. Anything but the
// system's errors fails the test.
bool survives(const Format& format, const Bytes& bytes) {
    try {
        format.reader(bytes)->readAll();
        return true;
    } catch (const tessaron::core::Error&) {
        return false;
    }
}

class DamagedFiles : public ::testing::TestWithParam<Format> {};

}  // namespace

TEST_P(DamagedFiles, EveryTruncationFailsCleanly) {
    Bytes file = GetParam().file();
    ASSERT_TRUE(survives(GetParam(), file));
    std::size_t step = std::max<std::size_t>(1, file.size() / 400);
    for (std::size_t length = 0; length < file.size(); length += step) {
        Bytes cut(file.begin(), file.begin() + std::ptrdiff_t(length));
        survives(GetParam(), cut);
    }
}

TEST_P(DamagedFiles, RandomByteDamageFailsCleanly) {
    Bytes file = GetParam().file();
    std::mt19937 generator(1234);
    for (int round = 0; round < 400; ++round) {
        Bytes damaged = file;
        int changes = 1 + int(generator() % 8);
        for (int change = 0; change < changes; ++change) {
            std::size_t at = generator() % damaged.size();
            switch (generator() % 3) {
                case 0: damaged[at] = std::uint8_t(generator()); break;
                case 1: damaged[at] ^= std::uint8_t(1u << (generator() % 8)); break;
                default: damaged.insert(damaged.begin() + std::ptrdiff_t(at), std::uint8_t(generator())); break;
            }
        }
        survives(GetParam(), damaged);
    }
}

TEST_P(DamagedFiles, GarbageFailsCleanly) {
    std::mt19937 generator(99);
    for (std::size_t size : {0u, 1u, 2u, 15u, 16u, 31u, 32u, 33u, 1000u, 100000u}) {
        Bytes garbage(size);
        for (auto& byte : garbage) byte = std::uint8_t(generator());
        survives(GetParam(), garbage);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Formats, DamagedFiles,
    ::testing::Values(
        Format{"ply",
               [] { return written<splatformats::SplatPLYSceneWriter>([](auto& writer) { writer.start(3, true, 12); }); },
               [](Bytes bytes) { return std::make_unique<splatformats::SplatPLYSceneReader>(std::move(bytes)); }},
        Format{"asciiPly",
               [] { return written<splatformats::SplatPLYSceneWriter>([](auto& writer) { writer.start(3, false, 12); }); },
               [](Bytes bytes) { return std::make_unique<splatformats::SplatPLYSceneReader>(std::move(bytes)); }},
        Format{"dotSplat", [] { return written<splatformats::DotSplatSceneWriter>([](auto&) {}); },
               [](Bytes bytes) { return std::make_unique<splatformats::DotSplatSceneReader>(std::move(bytes)); }},
        Format{"spz", [] { return written<splatformats::SPZSceneWriter>([](auto& writer) { writer.start(12); }); },
               [](Bytes bytes) { return std::make_unique<splatformats::SPZSceneReader>(std::move(bytes)); }}),
    [](const auto& info) { return std::string(info.param.name); });

// A FIFO or an endless device where a splat file is expected: refused at
// once, by every reader, with the path named.
TEST(SplatReaders, AFifoOrADeviceIsRefusedWithoutWaiting) {
    tessaron::testing::TempDir folder;
    for (const char* name : {"scene.ply", "scene.splat", "scene.spz"}) {
        const auto fifo = folder / name;
        tessaron::testing::makeFifo(fifo);
        EXPECT_TRUE(tessaron::testing::returnsWithin(fifo, [&] {
            try {
                splatformats::AutodetectSceneReader(fifo).readAll();
                ADD_FAILURE() << name;
            } catch (const tessaron::core::Error& error) {
                EXPECT_NE(std::string(error.what()).find(fifo.string()), std::string::npos) << error.what();
                EXPECT_NE(std::string(error.what()).find("is a FIFO, not a regular file"), std::string::npos)
                    << error.what();
            }
        })) << name;
    }
}
