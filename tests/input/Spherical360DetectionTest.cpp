#include "input/Spherical360Detection.hpp"

#include <gtest/gtest.h>

#include "TestVideo.hpp"
#include "support/TempDir.hpp"

using tessaron::input::Spherical360Detection;
using tessaron::testing::TempDir;
using Source = Spherical360Detection::MetadataSource;

namespace {

std::string bigEndian(std::uint64_t value, int bytes) {
    std::string out;
    for (int i = bytes - 1; i >= 0; --i) out += char((value >> (8 * i)) & 0xff);
    return out;
}

std::string box(const std::string& type, const std::string& payload) {
    return bigEndian(8 + payload.size(), 4) + type + payload;
}

std::string largeBox(const std::string& type, const std::string& payload) {
    return bigEndian(1, 4) + type + bigEndian(16 + payload.size(), 8) + payload;
}

const std::string sphericalId("\xff\xcc\x82\x63\xf8\x55\x4a\x93\x88\x14\x58\x7a\x02\x52\x1f\xdd", 16);

std::string xmpBox(const std::string& text, const std::string& id = sphericalId) { return box("uuid", id + text); }

const std::string equirectangularXMP =
    "<rdf:SphericalVideo><GSpherical:Spherical>true</GSpherical:Spherical>"
    "<GSpherical:ProjectionType>equirectangular</GSpherical:ProjectionType></rdf:SphericalVideo>";

// The path a spherical-video projection box takes inside an MP4 file.
std::string equiTree() {
    const std::string proj = box("proj", box("prhd", std::string(12, '\0')) + box("equi", std::string(20, '\0')));
    const std::string sampleEntry = box("avc1", std::string(78, '\0') + box("avcC", "xx") + box("sv3d", proj));
    const std::string stbl = box("stbl", box("stsd", std::string(8, '\0') + sampleEntry));
    return box("moov", box("mvhd", std::string(100, '\0')) + box("trak", box("mdia", box("minf", stbl))));
}

std::optional<Source> scan(const TempDir& folder, const std::string& bytes) {
    tessaron::testing::writeTextFile(folder / "clip.mp4", bytes);
    return Spherical360Detection::scanContainerMetadata(folder / "clip.mp4");
}

std::string nested(const std::string& inner, int levels) {
    std::string bytes = inner;
    for (int i = 0; i < levels; ++i) bytes = box("moov", bytes);
    return bytes;
}

const std::string ftyp = box("ftyp", "isom" + std::string(4, '\0') + "isomiso2");

}  // namespace

TEST(Spherical360Detection, ExtensionsDecideFirstWhateverTheirCase) {
    TempDir folder;
    EXPECT_EQ(Spherical360Detection::detect(folder / "walk.OSV"), Spherical360Detection::dualFisheye());
    EXPECT_EQ(Spherical360Detection::detect(folder / "walk.INSV"), Spherical360Detection::proprietaryContainer("insv"));
    EXPECT_EQ(Spherical360Detection::detect(folder / "walk.360"), Spherical360Detection::proprietaryContainer("360"));
    EXPECT_NE(Spherical360Detection::detect(folder / "walk.insv"), Spherical360Detection::proprietaryContainer("360"));
    EXPECT_EQ(Spherical360Detection::detect(folder / "missing.mp4"), std::nullopt);
    EXPECT_EQ(Spherical360Detection::detect(folder.path()), std::nullopt) << "a folder";
    tessaron::testing::writeTextFile(folder / "notes.txt", "hello");
    EXPECT_EQ(Spherical360Detection::detect(folder / "notes.txt"), std::nullopt);
}

TEST(Spherical360Detection, FindsTheProjectionBoxAndTheXMP) {
    TempDir folder;
    EXPECT_EQ(scan(folder, ftyp + equiTree()), Source::sv3dEquiBox);
    EXPECT_EQ(Spherical360Detection::detect(folder / "clip.mp4"),
              Spherical360Detection::equirectangular(Source::sv3dEquiBox));
    EXPECT_EQ(scan(folder, ftyp + box("moov", box("trak", xmpBox(equirectangularXMP)))), Source::xmpSphericalVideo);
    EXPECT_EQ(scan(folder, ftyp + xmpBox(equirectangularXMP) + equiTree()), Source::sv3dEquiBox);
    EXPECT_EQ(scan(folder, ftyp + equiTree() + xmpBox(equirectangularXMP)), Source::sv3dEquiBox);
    EXPECT_EQ(scan(folder, ftyp + box("free", "")), std::nullopt);
}

TEST(Spherical360Detection, XMPMustDeclareAnEquirectangularSphere) {
    TempDir folder;
    EXPECT_EQ(scan(folder, xmpBox("<SphericalVideo><ProjectionType>cubemap</ProjectionType></SphericalVideo>")),
              std::nullopt);
    EXPECT_EQ(scan(folder, xmpBox("<SphericalVideo><Spherical>true</Spherical></SphericalVideo>")),
              Source::xmpSphericalVideo);
    EXPECT_EQ(scan(folder, xmpBox("<Spherical>true</Spherical>")), std::nullopt);
    EXPECT_EQ(scan(folder, xmpBox(equirectangularXMP, std::string(16, 'x'))), std::nullopt) << "another uuid";
    EXPECT_EQ(scan(folder, xmpBox(equirectangularXMP + "\xff\xfe")), std::nullopt) << "not UTF-8";
    EXPECT_EQ(scan(folder, xmpBox(std::string(8192, ' ') + equirectangularXMP)), std::nullopt)
        << "only the first 8192 bytes are read";
    EXPECT_EQ(scan(folder, xmpBox(std::string(8192 - equirectangularXMP.size(), ' ') + equirectangularXMP)),
              Source::xmpSphericalVideo);
}

TEST(Spherical360Detection, BoxSizesAtTheirLimits) {
    TempDir folder;
    // Size 0 runs to the end of the enclosing range.
    EXPECT_EQ(scan(folder, ftyp + bigEndian(0, 4) + "moov" + box("trak", xmpBox(equirectangularXMP))),
              Source::xmpSphericalVideo);
    // A 64-bit size is honoured, and below 16 it ends the level.
    EXPECT_EQ(scan(folder, largeBox("free", "abc") + equiTree()), Source::sv3dEquiBox);
    EXPECT_EQ(scan(folder, bigEndian(1, 4) + "free" + bigEndian(15, 8) + equiTree()), std::nullopt);
    // Sizes 2 to 7 end the level; a size past the range ends it too.
    EXPECT_EQ(scan(folder, bigEndian(7, 4) + "free" + equiTree()), std::nullopt);
    EXPECT_EQ(scan(folder, bigEndian(1000000, 4) + "free" + equiTree()), std::nullopt);
    // A 64-bit size that would wrap the offset around is refused, not added.
    EXPECT_EQ(scan(folder, bigEndian(1, 4) + "free" + bigEndian(~std::uint64_t(0) - 4, 8) + equiTree()), std::nullopt);
    EXPECT_EQ(scan(folder, ""), std::nullopt);
    EXPECT_EQ(scan(folder, "short"), std::nullopt);
}

TEST(Spherical360Detection, TheWalkIsBoundedInDepthAndBoxes) {
    TempDir folder;
    const std::string equi = box("equi", "");
    EXPECT_EQ(scan(folder, nested(equi, 12)), Source::sv3dEquiBox) << "depth 12 is examined";
    EXPECT_EQ(scan(folder, nested(equi, 13)), std::nullopt) << "depth 13 is not";

    std::string boxes;
    for (int i = 0; i < 4095; ++i) boxes += box("free", "");
    EXPECT_EQ(scan(folder, boxes + equi), Source::sv3dEquiBox) << "the 4096th header is read";
    EXPECT_EQ(scan(folder, boxes + box("free", "") + equi), std::nullopt) << "the 4097th is not";
}

TEST(Spherical360Detection, TwoToOneVideosFromUHDUpAreLikelyEquirectangular) {
    TempDir folder;
    auto detectSize = [&](int width, int height) {
        tessaron::testing::TestVideo video;
        video.width = width;
        video.height = height;
        video.frameCount = 1;
        video.frame = [=](int) { return tessaron::testing::uniformFrame(width, height, 90); };
        const auto file = folder / (std::to_string(width) + "x" + std::to_string(height) + ".mp4");
        video.write(file);
        return Spherical360Detection::detect(file);
    };
    EXPECT_EQ(detectSize(3840, 1920), Spherical360Detection::likelyEquirectangular());
    EXPECT_EQ(detectSize(3838, 1919), std::nullopt);
    EXPECT_EQ(detectSize(4000, 1999), std::nullopt);
    EXPECT_EQ(detectSize(1920, 960), std::nullopt);
}

TEST(Spherical360Detection, InspectorStatusTexts) {
    using tessaron::input::inspectorStatusText;
    EXPECT_EQ(inspectorStatusText(Spherical360Detection::equirectangular(Source::xmpSphericalVideo)),
              "Equirectangular metadata detected");
    EXPECT_EQ(inspectorStatusText(Spherical360Detection::equirectangular(Source::sv3dEquiBox)),
              "Equirectangular metadata detected");
    EXPECT_EQ(inspectorStatusText(Spherical360Detection::proprietaryContainer("insv")),
              "Proprietary .insv — export an equirectangular MP4 first");
    EXPECT_EQ(inspectorStatusText(Spherical360Detection::likelyEquirectangular()),
              "2:1 aspect — likely equirectangular");
    EXPECT_EQ(inspectorStatusText(Spherical360Detection::dualFisheye()), "Raw dual-fisheye .osv detected");
    EXPECT_EQ(inspectorStatusText(std::nullopt), "Manual 360 mode");
}
