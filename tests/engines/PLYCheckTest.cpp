#include <gtest/gtest.h>

#include <optional>

#include "core/FileError.hpp"
#include "engines/PLYCheck.hpp"
#include "support/TempDir.hpp"

using namespace tessaron::engines;
using tessaron::testing::TempDir;
using tessaron::testing::writeTextFile;

namespace {

const char* const gaussianProperties[] = {"x",       "y",       "z",       "f_dc_0", "f_dc_1", "f_dc_2", "opacity",
                                          "scale_0", "scale_1", "scale_2", "rot_0",  "rot_1",  "rot_2",  "rot_3"};

// The header lines of a Gaussian PLY, as the trainer writes it.
std::string gaussianHeader(int64_t vertexCount, const std::string& extraVertexLines = "",
                           const std::string& format = "binary_little_endian",
                           const std::string& comment = "written by a test") {
    std::string header =
        "ply\nformat " + format + " 1.0\ncomment " + comment + "\nelement vertex " + std::to_string(vertexCount) + "\n";
    for (const char* name : gaussianProperties) header += std::string("property float ") + name + "\n";
    return header + extraVertexLines;
}

struct PLYCase {
    std::string name;
    std::string header;                  // up to and including "end_header\n"
    int64_t bodyBytes;                   // zero bytes after the header
    std::optional<std::string> failure;  // none: the check passes
};

std::string withEnd(const std::string& header) { return header + "end_header\n"; }

const int64_t gaussianBody = 100 * 56;

std::vector<PLYCase> cases() {
    std::string valid = withEnd(gaussianHeader(100));
    std::string withoutOpacityAndRot0;
    for (const char* name : gaussianProperties)
        if (std::string(name) != "opacity" && std::string(name) != "rot_0")
            withoutOpacityAndRot0 += std::string("property float ") + name + "\n";
    std::string crlf = valid;
    for (size_t at = crlf.find('\n'); at != std::string::npos; at = crlf.find('\n', at + 2))
        crlf.replace(at, 1, "\r\n");
    int64_t validSize = int64_t(valid.size()) + gaussianBody;
    return {
        {"CorrectGaussian", valid, gaussianBody, std::nullopt},
        {"OneByteShort", valid, gaussianBody - 1,
         "PLY is incomplete (" + std::to_string(validSize - 1) + " of " + std::to_string(validSize) + " bytes)"},
        {"OneByteLong", valid, gaussianBody + 1,
         "PLY is incomplete (" + std::to_string(validSize + 1) + " of " + std::to_string(validSize) + " bytes)"},
        {"Ascii", withEnd(gaussianHeader(100, "", "ascii")), gaussianBody, "PLY is not binary little-endian"},
        {"BigEndian", withEnd(gaussianHeader(100, "", "binary_big_endian")), gaussianBody,
         "PLY is not binary little-endian"},
        {"MissingOpacityAndRot0",
         withEnd("ply\nformat binary_little_endian 1.0\nelement vertex 100\n" + withoutOpacityAndRot0), 100 * 48,
         "PLY is not a Gaussian model (missing opacity, rot_0)"},
        {"UcharColour", withEnd(gaussianHeader(100, "property uchar red\n")), gaussianBody + 100,
         "Unsupported PLY property: property uchar red"},
        {"ListInVertex", withEnd(gaussianHeader(100, "property list uchar int indices\n")), gaussianBody,
         "Unsupported PLY property: property list uchar int indices"},
        {"RepeatedName", withEnd(gaussianHeader(100, "property float x\n")), gaussianBody,
         "Unsupported PLY property: property float x"},
        {"CrlfHeader", crlf, gaussianBody, "PLY header is incomplete"},
        {"HeaderBeyond64KiB", withEnd(gaussianHeader(100, "", "binary_little_endian", std::string(70000, 'c'))),
         gaussianBody, "PLY header is incomplete"},
        {"ZeroVertices", withEnd(gaussianHeader(0)), 0, "PLY has no vertices"},
        {"CountNotANumber", withEnd("ply\nformat binary_little_endian 1.0\nelement vertex lots\n"), 0,
         "PLY header is invalid: Invalid line in header: \"element vertex lots\""},
        // A type PlyKit does not know is refused, wherever it stands.
        {"UnknownTypeOutsideTheVertices", withEnd(gaussianHeader(100, "element face 0\nproperty int128 weight\n")),
         gaussianBody, "PLY header is invalid: Unknown property type: int128"},
        {"ShortInVertex", withEnd(gaussianHeader(100, "property int16 flags\n")), gaussianBody + 200,
         "Unsupported PLY property: property short flags"},
        {"NoVertexElement", withEnd("ply\nformat binary_little_endian 1.0\nelement face 3\nproperty float x\n"), 12,
         "PLY has no vertices"},
        {"ExtraFloatsAndAFaceList",
         withEnd(gaussianHeader(100, "property float nx\nproperty float32 f_rest_0\n") +
                 "element face 0\nproperty list uchar int vertex_indices\nproperty double weight\n"),
         100 * 64, std::nullopt},
        {"DoubleBlanksBetweenWords", withEnd(gaussianHeader(100, "property  float   nx\n")), 100 * 60, std::nullopt},
        {"CountBeyond32Bits", withEnd(gaussianHeader(INT64_MAX / 2)), 10,
         "PLY header is invalid: Invalid line in header: \"element vertex 4611686018427387903\""},
    };
}

class PLYCheckCases : public ::testing::TestWithParam<PLYCase> {};

}  // namespace

TEST_P(PLYCheckCases, GivesTheExactFailureOrTheLayout) {
    const PLYCase& plyCase = GetParam();
    TempDir folder;
    auto file = folder / "output.ply";
    writeTextFile(file, plyCase.header + std::string(size_t(plyCase.bodyBytes), '\0'));
    if (plyCase.failure) {
        try {
            PLYCheck::validate(file);
            FAIL() << "passed";
        } catch (const PLYCheck::Failure& failure) {
            EXPECT_EQ(failure.what(), *plyCase.failure);
        }
    } else {
        PLYCheck::Layout layout = PLYCheck::validate(file);
        EXPECT_EQ(layout.vertexCount, 100);
        EXPECT_EQ(layout.vertexCount * layout.bytesPerVertex, plyCase.bodyBytes);
    }
}

INSTANTIATE_TEST_SUITE_P(CraftedFiles, PLYCheckCases, ::testing::ValuesIn(cases()),
                         [](const auto& info) { return info.param.name; });

TEST(PLYCheck, FailureCarriesItsPayload) {
    TempDir folder;
    try {
        PLYCheck::validate(folder / "missing.ply");
        FAIL();
    } catch (const PLYCheck::Failure& failure) {
        EXPECT_EQ(failure.kind(), PLYCheck::FailureKind::unreadable);
        EXPECT_EQ(failure.what(), "Cannot read " + (folder / "missing.ply").string());
    }
    writeTextFile(folder / "short.ply", withEnd(gaussianHeader(2)) + "abc");
    try {
        PLYCheck::validate(folder / "short.ply");
        FAIL();
    } catch (const PLYCheck::Failure& failure) {
        EXPECT_EQ(failure.kind(), PLYCheck::FailureKind::sizeMismatch);
        EXPECT_EQ(failure.actual, failure.expected - 112 + 3);
    }
    // A folder opens but cannot be read: the read error, not a missing header.
    try {
        PLYCheck::validate(folder.path());
        FAIL();
    } catch (const tessaron::core::FileError& error) {
        EXPECT_EQ(error.code(), std::errc::is_a_directory);
    }
}
