#include <gtest/gtest.h>

#include <cmath>

#include "RendererTestSupport.hpp"
#include "SplatRenderer/ChunkPages.hpp"
#include "SplatRenderer/FrameRecords.hpp"

using namespace splatrenderer;
using splatrenderer::testing::bytesOf;

namespace {

ViewportDescriptor viewAt(Vector3f eye, Vector3f target, int width, int height) {
    ViewportDescriptor view;
    view.viewport = {0, 0, double(width), double(height), 0, 1};
    view.projectionMatrix = Matrix4::perspective(float(M_PI) / 3, float(width) / float(height), 0.1f, 100);
    view.viewMatrix = Matrix4::lookAt(eye, target, {0, 1, 0});
    view.screenSize = {width, height};
    return view;
}

}  // namespace

TEST(FrameRecords, UniformsCarryFocalLengthsFromTheProjection) {
    ViewportDescriptor view = viewAt({0, 0, 5}, {0, 0, 0}, 1000, 500);
    view.projectionMatrix(0, 0) = 1.7320508f;
    const Uniforms uniforms = makeUniforms(view, {1, 2, 3}, 4, 2500, 1024);
    EXPECT_FLOAT_EQ(uniforms.focalX, 866.0254f);
    EXPECT_FLOAT_EQ(uniforms.tanHalfFovX, 0.5773503f);
    EXPECT_FLOAT_EQ(uniforms.focalY, 500 * view.projectionMatrix(1, 1) * 0.5f);
    EXPECT_EQ(uniforms.screenSize, (std::array<std::uint32_t, 2>{1000, 500}));

    const auto bytes = bytesOf(uniforms);
    ASSERT_EQ(bytes.size(), 180u);
    auto wordAt = [&](std::size_t offset) {
        std::uint32_t word;
        std::memcpy(&word, &bytes[offset], 4);
        return word;
    };
    EXPECT_EQ(wordAt(128), std::bit_cast<std::uint32_t>(1.0f));  // camera x
    EXPECT_EQ(wordAt(140), 0u);                                  // padding
    EXPECT_EQ(wordAt(144), 1000u);
    EXPECT_EQ(wordAt(168), 4u);
    EXPECT_EQ(wordAt(172), 2500u);
    EXPECT_EQ(wordAt(176), 1024u);
    EXPECT_THROW(makeUniforms(viewAt({0, 0, 5}, {0, 0, 0}, -1, 5), {0, 0, 0}, 0, 0, 0), std::invalid_argument);
}

TEST(FrameRecords, SplatsPerInstanceAndInstanceCount) {
    struct Expected {
        std::int64_t sorted;
        std::uint32_t perInstance, indices, instances;
    };
    for (const auto& expected : {Expected{2500, 1024, 6144, 3}, Expected{700, 700, 4200, 1},
                                 Expected{1024, 1024, 6144, 1}, Expected{1025, 1024, 6144, 2}, Expected{0, 0, 0, 0}}) {
        const auto geometry = FrameGeometry::forSplatCount(expected.sorted);
        EXPECT_EQ(geometry.indexedSplatCount, expected.perInstance) << expected.sorted;
        EXPECT_EQ(geometry.indexCount, expected.indices) << expected.sorted;
        EXPECT_EQ(geometry.instanceCount, expected.instances) << expected.sorted;
    }
}

TEST(FrameRecords, TheSortersPoseIsTheCameraInTheWorld) {
    const auto pose = cameraPoseForSorting(viewAt({1, 2, 3}, {1, 2, -5}, 10, 10));
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(pose.position[std::size_t(i)], (std::array<float, 3>{1, 2, 3})[std::size_t(i)], 1e-5);
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(pose.forward[std::size_t(i)], (std::array<float, 3>{0, 0, -1})[std::size_t(i)], 1e-6);
    const auto turned = cameraPoseForSorting(viewAt({0, 0, 0}, {4, 0, 3}, 10, 10));
    EXPECT_NEAR(turned.forward[0], 0.8f, 1e-6);
    EXPECT_NEAR(turned.forward[2], 0.6f, 1e-6);
}

TEST(FrameRecords, ChunkTableRecordsAreTwentyFourBytes) {
    ChunkTableEntry entry;
    entry.splatPage = 2;
    entry.splatBase = 0x01020304;
    entry.splatCount = 77;
    entry.shDegree = 3;
    entry.enabled = 0;
    const auto bytes = bytesOf(entry);
    ASSERT_EQ(bytes.size(), 24u);
    EXPECT_EQ(bytes[0], 2);
    EXPECT_EQ(bytes[4], 0x04);
    EXPECT_EQ(bytes[7], 0x01);
    EXPECT_EQ(bytes[16], 77);
    EXPECT_EQ(bytes[20], 3);
    EXPECT_EQ(bytes[21], 0);  // disabled
    EXPECT_EQ(bytes[22], 0);
    EXPECT_EQ(bytes[23], 0);
}

TEST(Matrix4, InverseAndProjections) {
    Matrix4 matrix = Matrix4::lookAt({3, -2, 7}, {0, 1, 0}, {0, 1, 0}) *
                     Matrix4::perspective(0.9f, 1.5f, 0.5f, 40.0f);
    const Matrix4 product = matrix * matrix.inverse();
    for (int column = 0; column < 4; ++column)
        for (int row = 0; row < 4; ++row) EXPECT_NEAR(product(column, row), column == row ? 1 : 0, 1e-5);

    // Reversed depth: the near plane at 1, the far plane at 0.
    const Matrix4 projection = Matrix4::perspective(float(M_PI) / 2, 1, 0.5f, 40);
    auto depthAt = [&](float distance) {
        const float z = -distance;
        return (projection(2, 2) * z + projection(3, 2)) / (projection(2, 3) * z);
    };
    EXPECT_NEAR(depthAt(0.5f), 1, 1e-6);
    EXPECT_NEAR(depthAt(40), 0, 1e-6);
}

TEST(ChunkPages, BlocksFillPagesInOrder) {
    auto block = [](std::int64_t length) { return ChunkPages::Block{nullptr, nullptr, length}; };
    const std::vector<ChunkPages::Block> blocks{block(40), block(0), block(60), block(50), block(100)};
    const auto placements = ChunkPages::layout(blocks, 100, 4);
    ASSERT_TRUE(placements.has_value());
    // 40 → page 0 at 0; empty → at 48; 60 does not fit beside 48 bytes: page
    // 1; 50 → page 2 (64 + 50 > 100); 100 → page 3.
    const std::vector<std::pair<std::uint32_t, std::uint32_t>> expected{{0, 0}, {0, 12}, {1, 0}, {2, 0}, {3, 0}};
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ((*placements)[i].page, expected[i].first) << i;
        EXPECT_EQ((*placements)[i].wordOffset, expected[i].second) << i;
    }
    EXPECT_FALSE(ChunkPages::layout(blocks, 100, 3).has_value());
    EXPECT_FALSE(ChunkPages::layout(std::vector<ChunkPages::Block>{block(101)}, 100, 12).has_value());
    EXPECT_TRUE(ChunkPages::layout({}, 100, 1)->empty());
}
