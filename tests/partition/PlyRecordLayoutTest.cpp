#include <gtest/gtest.h>

#include "PlyKit/PLYHeader.hpp"
#include "partition/SeamlessMerger.hpp"

using tessaron::partition::SeamlessMerger;

namespace {

using Layout = SeamlessMerger::PlyLayout;

// The vertex element of a header with these property lines, as PlyKit reads it.
plykit::PLYHeader::Element vertexElement(const std::string& propertyLines) {
    return plykit::PLYHeader::decodeASCII("ply\nformat binary_little_endian 1.0\nelement vertex 3\n" + propertyLines +
                                          "end_header\n")
        .elements.at(0);
}

struct LayoutCase {
    const char* name;
    std::string properties;
    int64_t stride;
    int64_t x, y, z;
    std::optional<int64_t> opacity = {}, scale0 = {}, scale1 = {}, scale2 = {};
};

class RecordLayout : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(RecordLayout, GivesStrideAndOffsetsFromEachType) {
    const LayoutCase& param = GetParam();
    const plykit::PLYHeader::Element vertex = vertexElement(param.properties);
    Layout layout = SeamlessMerger::recordLayout(vertex, "cell_0");
    EXPECT_EQ(layout.stride, param.stride);
    EXPECT_EQ(layout.xOff, param.x);
    EXPECT_EQ(layout.yOff, param.y);
    EXPECT_EQ(layout.zOff, param.z);
    EXPECT_EQ(layout.opacityOff, param.opacity);
    EXPECT_EQ(layout.scale0Off, param.scale0);
    EXPECT_EQ(layout.scale1Off, param.scale1);
    EXPECT_EQ(layout.scale2Off, param.scale2);
    EXPECT_EQ(layout.properties, vertex.properties);
}

const std::string kGaussian =
    "property float x\nproperty float y\nproperty float z\nproperty float f_dc_0\nproperty float f_dc_1\n"
    "property float f_dc_2\nproperty float opacity\nproperty float scale_0\nproperty float scale_1\n"
    "property float scale_2\nproperty float rot_0\nproperty float rot_1\nproperty float rot_2\n"
    "property float rot_3\n";

INSTANTIATE_TEST_SUITE_P(
    Elements, RecordLayout,
    ::testing::Values(
        LayoutCase{"Gaussian", kGaussian, 56, 0, 4, 8, 24, 28, 32, 36},
        LayoutCase{"ReversedPosition", "property float z\nproperty float y\nproperty float x\n", 12, 8, 4, 0},
        LayoutCase{"SizesByType",
                   "property double a\nproperty uchar b\nproperty char c\nproperty short d\nproperty ushort e\n"
                   "property int f\nproperty uint g\nproperty float scale_2\n",
                   26, 0, 4, 8, std::nullopt, std::nullopt, std::nullopt, 22},
        // A uchar colour and short extras before the position shift it by
        // their own widths, never by a guessed four bytes each.
        LayoutCase{"SizedNamesAndNarrowColour",
                   "property uint8 red\nproperty uint8 green\nproperty uint8 blue\nproperty int16 flags\n"
                   "property float32 x\nproperty float32 y\nproperty float32 z\nproperty float64 weight\n",
                   25, 5, 9, 13}),
    [](const auto& info) { return std::string(info.param.name); });

struct RefusedCase {
    const char* name;
    std::string properties;
    std::string message;
};

class RecordLayoutRefusal : public ::testing::TestWithParam<RefusedCase> {};

TEST_P(RecordLayoutRefusal, NamesTheProperty) {
    try {
        SeamlessMerger::recordLayout(vertexElement(GetParam().properties), "cell_4");
        FAIL() << "a layout was made";
    } catch (const SeamlessMerger::MergeError& error) {
        EXPECT_EQ(error.kind(), SeamlessMerger::MergeErrorKind::layoutMismatch);
        EXPECT_EQ(error.what(), GetParam().message);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Elements, RecordLayoutRefusal,
    ::testing::Values(
        RefusedCase{"ListProperty", "property float x\nproperty list uchar int indices\n",
                    "Cell model cell_4 has the list property \"indices\" in its vertex records"},
        RefusedCase{"NarrowOpacity", "property float x\nproperty uchar opacity\n",
                    "Cell model cell_4 has the property \"opacity\" as uchar, not float"},
        RefusedCase{"DoublePosition", "property double x\n",
                    "Cell model cell_4 has the property \"x\" as double, not float"}),
    [](const auto& info) { return std::string(info.param.name); });

struct RewriteCase {
    const char* name;
    std::string header;
    int64_t count;
    std::string expected;
};

class RewriteVertexCount : public ::testing::TestWithParam<RewriteCase> {};

TEST_P(RewriteVertexCount, ReplacesOnlyTheFirstVertexCount) {
    EXPECT_EQ(SeamlessMerger::rewriteVertexCount(GetParam().header, GetParam().count), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Headers, RewriteVertexCount,
    ::testing::Values(
        RewriteCase{"Count", "ply\nelement vertex 12\nproperty float x\nend_header\n", 5,
                    "ply\nelement vertex 5\nproperty float x\nend_header\n"},
        RewriteCase{"Zero", "ply\nelement vertex 7\nend_header\n", 0, "ply\nelement vertex 0\nend_header\n"},
        RewriteCase{"LargeCount", "ply\nelement vertex 1\nend_header\n", 9223372036854775807,
                    "ply\nelement vertex 9223372036854775807\nend_header\n"},
        RewriteCase{"OnlyTheFirst", "ply\nelement face 4\nelement vertex 2 \nelement vertex 3\nend_header\n", 9,
                    "ply\nelement face 4\nelement vertex 9\nelement vertex 3\nend_header\n"},
        RewriteCase{"NoVertexElement", "ply\nelement face 4\nend_header\n", 9, "ply\nelement face 4\nend_header\n"},
        RewriteCase{"WithoutACountNothingBegins", "ply\nelement vertex\nend_header\n", 9,
                    "ply\nelement vertex\nend_header\n"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
