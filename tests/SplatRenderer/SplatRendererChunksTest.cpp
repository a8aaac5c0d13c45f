#include <gtest/gtest.h>

#include <map>

#include "SorterTestSupport.hpp"
#include "SplatFormats/AutodetectSceneReader.hpp"
#include "SplatRenderer/SplatRenderer.hpp"
#include "support/TempDir.hpp"

using namespace splatrenderer;
using namespace splatrenderer::testing;

// The chunk set needs no GL context: these renderers never draw.
namespace {

SplatChunk chunkOf(std::size_t count, float firstX = 0) {
    std::vector<SplatPoint> points;
    for (std::size_t i = 0; i < count; ++i) points.push_back(roundSplat({firstX + float(i), 0, 0}, 1, {1, 2, 3}));
    return SplatChunk(llvmpipeDevice(), points);
}

// How many entries of the newest order name each chunk index.
std::map<std::uint16_t, int> entriesPerChunk(SplatSorter& sorter) {
    std::map<std::uint16_t, int> counts;
    const auto newest = sorter.snapshot().mostRecentValidBufferIndex;
    if (!newest) return counts;
    for (const auto& entry : sorter.indexBufferContents(*newest)) ++counts[entry.chunkIndex];
    return counts;
}

std::vector<float> positionsX(const SplatChunk& chunk) {
    std::vector<float> xs;
    for (const auto& record : chunk.splats->elements()) xs.push_back(record.position[0]);
    return xs;
}

}  // namespace

TEST(SplatRendererChunks, IdsAreNeverReusedAndIndicesStayDense) {
    SplatRenderer renderer(llvmpipeDevice(), {});
    PassGate gate;  // keeps the unsorted orders in place
    gate.install(renderer.sorter());
    std::vector<ChunkID> ids;
    for (std::size_t i = 0; i < 5; ++i) ids.push_back(renderer.addChunk(chunkOf(i + 1), false, true));
    EXPECT_EQ(ids[4].rawValue, 4u);
    EXPECT_EQ(entriesPerChunk(renderer.sorter()), (std::map<std::uint16_t, int>{{0, 1}, {1, 2}, {2, 3}, {3, 4}, {4, 5}}));

    // Removing index 2 renumbers 3 and 4 as 2 and 3, in the sorter too.
    renderer.removeChunk(ids[2]);
    EXPECT_EQ(renderer.orderedChunkIDs(), (std::vector<ChunkID>{ids[0], ids[1], ids[3], ids[4]}));
    EXPECT_EQ(entriesPerChunk(renderer.sorter()), (std::map<std::uint16_t, int>{{0, 1}, {1, 2}, {2, 4}, {3, 5}}));

    // Unknown ids change nothing.
    renderer.removeChunk(ids[2]);
    renderer.setChunkEnabled(ids[2], false);
    renderer.setChunkEnabled(ChunkID{99}, false);
    EXPECT_EQ(renderer.chunkCount(), 4u);
    EXPECT_EQ(renderer.splatCount(), 12);

    renderer.removeAllChunks();
    EXPECT_EQ(renderer.chunkCount(), 0u);
    EXPECT_EQ(renderer.addChunk(chunkOf(1), false, true).rawValue, 5u);
    gate.open();
}

TEST(SplatRendererChunks, DisabledChunksDoNotCount) {
    SplatRenderer renderer(llvmpipeDevice(), {});
    const ChunkID only = renderer.addChunk(chunkOf(7), true, false);
    EXPECT_FALSE(renderer.isChunkEnabled(only));
    EXPECT_EQ(renderer.splatCount(), 0);
    renderer.setChunkEnabled(only, true);
    EXPECT_TRUE(renderer.isChunkEnabled(only));
    EXPECT_EQ(renderer.splatCount(), 7);
    EXPECT_FALSE(renderer.isChunkEnabled(ChunkID{12}));
    // A disabled chunk stays in the sort.
    EXPECT_EQ(renderer.sorter().snapshot().chunkCount, 1u);
}

TEST(SplatRendererChunks, TheChunkBeyondTheLimitIsAnError) {
    SplatRenderer renderer(llvmpipeDevice(), {});
    PassGate gate;  // one pass at most, so adding stays cheap
    gate.install(renderer.sorter());
    const SplatChunk empty = chunkOf(0);
    renderer.withChunkAccess([&] {
        renderer.addChunk(chunkOf(1), false, true);
        for (std::size_t i = 1; i < SplatRenderer::maxChunkCount; ++i) renderer.addChunk(empty, false, true);
    });
    EXPECT_EQ(renderer.chunkCount(), 65535u);
    try {
        renderer.addChunk(empty, false, true);
        FAIL() << "a 65536th chunk was added";
    } catch (const SplatRenderer::Error& error) {
        EXPECT_EQ(error.kind(), SplatRenderer::ErrorKind::chunkLimitExceeded);
        EXPECT_STREQ(error.what(), "Maximum chunk count (65535) exceeded; chunk will not be added");
    }
    EXPECT_EQ(renderer.chunkCount(), 65535u);
    // Room again after a removal; ids went on counting past the refusal.
    renderer.removeChunk(renderer.orderedChunkIDs().back());
    EXPECT_EQ(renderer.addChunk(empty, false, true).rawValue, 65535u);
    gate.open();
}

TEST(SplatRendererChunks, AddedPointsKeepTheirOrderBelowFourAndLoseTheirHarmonics) {
    SplatRenderer renderer(llvmpipeDevice(), {});
    const std::vector<SplatPoint> three{roundSplat({5, 0, 0}, 1, {0, 0, 0}), roundSplat({-3, 1, 0}, 1, {0, 0, 0}),
                                        roundSplat({2, 2, 9}, 1, {0, 0, 0})};
    renderer.add(three);
    auto added = renderer.chunk(renderer.orderedChunkIDs().at(0));
    ASSERT_TRUE(added.has_value());
    EXPECT_EQ(positionsX(*added), (std::vector<float>{5, -3, 2}));

    splatformats::SHCoefficients triples;
    for (int i = 0; i < 16; ++i) triples.push_back({0.5f, 0.25f, float(i)});
    renderer.add(SplatPoint({0, 0, 0}, SplatPoint::Color::sphericalHarmonicFloat(triples),
                            SplatPoint::Opacity::logitFloat(0), SplatPoint::Scale::exponent({0, 0, 0}), Quaternion{}));
    auto harmonic = renderer.chunk(renderer.orderedChunkIDs().at(1));
    EXPECT_EQ(harmonic->shDegree, SHDegree::sh0);
    EXPECT_EQ(harmonic->shCoefficients, nullptr);
    EXPECT_EQ(toFloat(harmonic->splats->values()[0].colorSH0.g), 0.25f);
    EXPECT_TRUE(renderer.isChunkEnabled(renderer.orderedChunkIDs().at(1)));
}

TEST(SplatRendererChunks, AddedPointsSplitIntoChunksTheDeviceHolds) {
    SplatRenderer renderer(GPUDevice(32 * 100), {});
    renderer.add(scatteredSplats(250, 3));
    EXPECT_EQ(renderer.chunkCount(), 3u);
    EXPECT_EQ(renderer.splatCount(), 250);
    EXPECT_EQ(renderer.chunk(renderer.orderedChunkIDs().back())->splatCount(), 50);
}

TEST(SplatRendererChunks, ReadingAFileOfUnknownFormatAddsNothing) {
    tessaron::testing::TempDir folder;
    tessaron::testing::writeTextFile(folder / "scene.txt", "not a scene");
    SplatRenderer renderer(llvmpipeDevice(), {});
    EXPECT_THROW(renderer.read(folder / "scene.txt"), splatformats::AutodetectSceneReader::Error);
    EXPECT_EQ(renderer.chunkCount(), 0u);
}
