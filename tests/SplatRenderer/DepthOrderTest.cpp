#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>

#include "RendererTestSupport.hpp"
#include "SplatRenderer/DepthOrder.hpp"
#include "SplatRenderer/RadixSort.hpp"
#include "SplatRenderer/SplatChunk.hpp"

using namespace splatrenderer;
using splatrenderer::testing::llvmpipeDevice;
using splatrenderer::testing::roundSplat;

namespace {

struct Case {
    std::size_t count;
    int members;
};

std::shared_ptr<GPUBuffer<EncodedSplatPoint>> recordsAt(const std::vector<std::array<float, 3>>& positions) {
    std::vector<SplatPoint> points;
    for (const auto& position : positions) points.push_back(roundSplat(position, 1, {0, 0, 0}));
    return SplatChunk(llvmpipeDevice(), points).splats;
}

std::vector<ChunkedSplatIndex> orderOf(const std::vector<ChunkReference>& chunks, std::array<float, 3> camera,
                                       ParallelWorkers* workers = nullptr) {
    DepthOrder order;
    GPUBuffer<ChunkedSplatIndex> target(llvmpipeDevice(), DepthOrder::totalSplatCount(chunks));
    order.fill(chunks, camera, workers);
    order.sortInto(target, workers);
    return {target.elements().begin(), target.elements().end()};
}

}  // namespace

class RadixSortMatchesAStableSort : public ::testing::TestWithParam<Case> {};

TEST_P(RadixSortMatchesAStableSort, OnKeysWithManyTies) {
    const auto [count, members] = GetParam();
    std::mt19937 generator{std::uint32_t(count)};
    // Keys that share their top bytes, their low bytes, or nothing.
    std::vector<std::uint32_t> keys(count);
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint32_t value = generator();
        keys[i] = i % 3 == 0 ? (value & 0xFFu) : i % 3 == 1 ? (value & 0xFF000000u) | 7u : value % 50u;
    }
    std::vector<std::uint32_t> payloads(count);
    for (std::size_t i = 0; i < count; ++i) payloads[i] = std::uint32_t(i);

    std::vector<std::pair<std::uint32_t, std::uint32_t>> expected(count);
    for (std::size_t i = 0; i < count; ++i) expected[i] = {keys[i], payloads[i]};
    std::stable_sort(expected.begin(), expected.end(), [](auto& a, auto& b) { return a.first < b.first; });

    ParallelWorkers workers(members);
    std::vector<std::uint32_t> sorted(count);
    RadixSort<std::uint32_t> sort;
    for (int round = 0; round < 2; ++round) {  // the second round reuses the scratch storage
        auto keyCopy = keys;
        auto payloadCopy = payloads;
        sort.sort(keyCopy, payloadCopy, sorted.data(), &workers);
        for (std::size_t i = 0; i < count; ++i) ASSERT_EQ(sorted[i], expected[i].second) << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, RadixSortMatchesAStableSort,
                         ::testing::Values(Case{0, 1}, Case{1, 1}, Case{63, 1}, Case{1000, 4}, Case{200000, 1},
                                           Case{200000, 3}, Case{300001, 8}));

TEST(DepthOrder, DescendingKeysOrderDistancesFarthestFirst) {
    const float values[] = {std::numeric_limits<float>::infinity(), 1e30f, 100, 10, 2, 1, 1e-30f,
                            std::numeric_limits<float>::denorm_min(), 0};
    for (std::size_t i = 0; i + 1 < std::size(values); ++i)
        EXPECT_LT(DepthOrder::descendingKey(values[i]), DepthOrder::descendingKey(values[i + 1])) << values[i];
    EXPECT_EQ(DepthOrder::descendingKey(0.0f), DepthOrder::descendingKey(0.0f));
    // NaN depths come first, where they do no harm: the shader drops them.
    EXPECT_LT(DepthOrder::descendingKey(std::numeric_limits<float>::quiet_NaN()),
              DepthOrder::descendingKey(std::numeric_limits<float>::infinity()));
}

TEST(DepthOrder, FarthestFirstWithTiesInFillOrder) {
    // Camera at the origin. Chunk 4 (listed first) holds splats 10 and 2
    // units away; chunk 1 holds one 2 units away, one 5 away and one 10
    // away: equal distances keep list order, then splat order.
    const std::vector<ChunkReference> chunks{
        {4, recordsAt({{0, 0, 10}, {0, 2, 0}})},
        {1, recordsAt({{-2, 0, 0}, {3, 4, 0}, {0, -10, 0}})},
    };
    EXPECT_EQ(orderOf(chunks, {0, 0, 0}),
              (std::vector<ChunkedSplatIndex>{{4, 0}, {1, 2}, {1, 1}, {4, 1}, {1, 0}}));
    // Seen from far along +z, the splat at z = 10 is nearest.
    EXPECT_EQ(orderOf(chunks, {0, 0, 1000}).back(), (ChunkedSplatIndex{4, 0}));
}

TEST(DepthOrder, ParallelFillAndSortGiveTheSameOrder) {
    std::mt19937 generator(5);
    std::uniform_real_distribution<float> coordinate(-50, 50);
    std::vector<ChunkReference> chunks;
    for (std::uint16_t chunk = 0; chunk < 5; ++chunk) {
        std::vector<std::array<float, 3>> positions(std::size_t(30000 + 7000 * chunk));
        for (auto& position : positions)
            // Coarse coordinates make many equal distances.
            position = {std::round(coordinate(generator)), std::round(coordinate(generator)), 0};
        chunks.push_back({std::uint16_t(chunk * 3), recordsAt(positions)});
    }
    ParallelWorkers workers(6);
    const auto alone = orderOf(chunks, {1, 2, 3});
    EXPECT_EQ(orderOf(chunks, {1, 2, 3}, &workers), alone);
    // And it is the order a stable comparison sort gives.
    std::vector<std::pair<float, ChunkedSplatIndex>> expected;
    for (const auto& chunk : chunks)
        for (std::uint32_t splat = 0; splat < chunk.buffer->count(); ++splat) {
            const auto& p = chunk.buffer->values()[splat].position;
            const float dx = p[0] - 1, dy = p[1] - 2, dz = p[2] - 3;
            expected.push_back({dx * dx + dy * dy + dz * dz, {chunk.chunkIndex, splat}});
        }
    std::stable_sort(expected.begin(), expected.end(), [](auto& a, auto& b) { return a.first > b.first; });
    ASSERT_EQ(alone.size(), expected.size());
    for (std::size_t i = 0; i < alone.size(); ++i) ASSERT_EQ(alone[i], expected[i].second) << i;
}
