#include <gtest/gtest.h>

#include "partition/SeamlessMerger.hpp"

using tessaron::partition::SeamlessMerger;

namespace {

using Layout = SeamlessMerger::PlyLayout;

std::string vertexHeader(const std::string& propertyLines) {
    return "ply\nformat binary_little_endian 1.0\nelement vertex 3\n" + propertyLines + "end_header\n";
}

struct LayoutCase {
    const char* name;
    std::string header;
    int64_t stride;
    int64_t x, y, z;
    std::optional<int64_t> opacity = {}, scale0 = {}, scale1 = {}, scale2 = {};
};

class ParsePlyLayout : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(ParsePlyLayout, GivesStrideAndOffsets) {
    const LayoutCase& param = GetParam();
    Layout layout = SeamlessMerger::parsePlyLayout(param.header);
    EXPECT_EQ(layout.stride, param.stride);
    EXPECT_EQ(layout.xOff, param.x);
    EXPECT_EQ(layout.yOff, param.y);
    EXPECT_EQ(layout.zOff, param.z);
    EXPECT_EQ(layout.opacityOff, param.opacity);
    EXPECT_EQ(layout.scale0Off, param.scale0);
    EXPECT_EQ(layout.scale1Off, param.scale1);
    EXPECT_EQ(layout.scale2Off, param.scale2);
    EXPECT_EQ(layout.headerString, param.header);
}

const std::string kGaussian =
    "property float x\nproperty float y\nproperty float z\nproperty float f_dc_0\nproperty float f_dc_1\n"
    "property float f_dc_2\nproperty float opacity\nproperty float scale_0\nproperty float scale_1\n"
    "property float scale_2\nproperty float rot_0\nproperty float rot_1\nproperty float rot_2\n"
    "property float rot_3\n";

INSTANTIATE_TEST_SUITE_P(
    Headers, ParsePlyLayout,
    ::testing::Values(
        LayoutCase{"Gaussian", vertexHeader(kGaussian), 56, 0, 4, 8, 24, 28, 32, 36},
        LayoutCase{"NoPropertyLines", "ply\nformat binary_little_endian 1.0\nend_header\n", 0, 0, 4, 8},
        LayoutCase{"ReversedPosition", vertexHeader("property float z\nproperty float y\nproperty float x\n"), 12, 8,
                   4, 0},
        LayoutCase{"TwoTokensAddNothing", vertexHeader("property float\nproperty float x\n"), 4, 0, 4, 8},
        LayoutCase{"UnknownTypesCountFour", vertexHeader("property float32 a\nproperty uint8 opacity\n"), 8, 0, 4, 8,
                   4},
        LayoutCase{"SizesByType",
                   vertexHeader("property double a\nproperty uchar b\nproperty char c\nproperty short d\n"
                                "property ushort e\nproperty int f\nproperty uint g\nproperty float scale_2\n"),
                   26, 0, 4, 8, std::nullopt, std::nullopt, std::nullopt, 22},
        LayoutCase{"ListCountsFourAndSetsNoOffset",
                   vertexHeader("property list uchar int x\nproperty float y\n"), 8, 0, 4, 8},
        LayoutCase{"TwoBlanksMakeAnEmptyType", vertexHeader("property  float x\nproperty float y\n"), 8, 0, 4, 8},
        LayoutCase{"ACarriageReturnStaysInTheName", vertexHeader("property float x\r\nproperty float y\r\n"), 8, 0,
                   4, 8},
        LayoutCase{"ALaterLineWithTheSameNameWins", vertexHeader("property float x\nproperty float x\n"), 8, 4, 4,
                   8},
        // Records hold only the vertex element: other elements' properties
        // neither add to the stride nor move an offset.
        LayoutCase{"OtherElementsDoNotCount",
                   "ply\nelement camera 1\nproperty double x\nelement vertex 2\nproperty float y\n"
                   "property float x\nelement face 1\nproperty list uchar int vertex_indices\n"
                   "property float opacity\nend_header\n",
                   8, 4, 0, 8}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ParsePlyLayout, ListsTheCountedPropertiesAsRead) {
    Layout layout = SeamlessMerger::parsePlyLayout(vertexHeader("property float x\nproperty  float y\n"));
    EXPECT_EQ(layout.properties, (std::vector<SeamlessMerger::PlyProperty>{{"float", "x"}, {"", "float"}}));
}

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
