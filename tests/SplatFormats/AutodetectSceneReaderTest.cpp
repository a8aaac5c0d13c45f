#include <gtest/gtest.h>

#include "PlyKit/PLYReader.hpp"
#include "SplatFormats/AutodetectSceneReader.hpp"
#include "SplatFormats/DotSplatSceneWriter.hpp"
#include "SplatFormats/SPZSceneReader.hpp"
#include "support/TempDir.hpp"

using splatformats::AutodetectSceneReader;
using splatformats::SplatPoint;

namespace {

void writeDotSplat(const std::filesystem::path& path, std::size_t count) {
    splatformats::DotSplatSceneWriter writer(path);
    writer.write(std::vector<SplatPoint>(count, SplatPoint({1, 2, 3}, SplatPoint::Color::sRGBUInt8({1, 2, 3}),
                                                           SplatPoint::Opacity::linearUInt8(4),
                                                           SplatPoint::Scale::linearFloat({1, 1, 1}), {0, 0, 0, 1})));
    writer.close();
}

}  // namespace

TEST(AutodetectSceneReader, PicksTheReaderByExtensionInAnyCase) {
    tessaron::testing::TempDir folder;
    writeDotSplat(folder / "scene.SPLAT", 3);
    AutodetectSceneReader reader(folder / "scene.SPLAT");
    EXPECT_EQ(reader.readAll().size(), 3u);
    EXPECT_EQ(reader.readAll().size(), 3u);  // every read opens the file again
}

TEST(AutodetectSceneReader, UnknownExtensionFailsBeforeAnythingIsOpened) {
    try {
        AutodetectSceneReader("/nowhere/scene.txt").read();
        FAIL();
    } catch (const AutodetectSceneReader::Error& error) {
        EXPECT_EQ(error.kind(), AutodetectSceneReader::ErrorKind::cannotDetermineFormat);
        EXPECT_STREQ(error.what(), "Cannot determine the splat format of /nowhere/scene.txt (expected .ply, .splat or .spz)");
    }
}

TEST(AutodetectSceneReader, ContentsAreNeverSniffed) {
    tessaron::testing::TempDir folder;
    writeDotSplat(folder / "scene.ply", 2);
    try {
        AutodetectSceneReader(folder / "scene.ply").read();
        FAIL();
    } catch (const plykit::PLYReader::Error& error) {
        EXPECT_EQ(error.kind(), plykit::PLYReader::ErrorKind::headerStartMissing);
    }
    EXPECT_THROW(AutodetectSceneReader(folder / "missing.spz").read(), splatformats::SPZSceneReader::Error);
}
