#include <gtest/gtest.h>

#include <stdexcept>

#include "SplatFormats/SplatFileFormat.hpp"
#include "SplatFormats/SplatMemoryBuffer.hpp"
#include "SplatFormats/SplatSceneReader.hpp"

using splatformats::SplatBatch;
using splatformats::SplatBatchSequence;
using splatformats::SplatFileFormat;
using splatformats::SplatPoint;

namespace {

SplatPoint pointAt(float x) {
    return SplatPoint({x, 0, 0}, SplatPoint::Color::sRGBUInt8({1, 2, 3}), SplatPoint::Opacity::linearUInt8(9),
                      SplatPoint::Scale::exponent({0, 0, 0}), {0, 0, 0, 1});
}

// Yields `batches` batches of two points, then fails when asked to.
class ScriptedReader : public splatformats::SplatSceneReader {
public:
    ScriptedReader(int batches, bool failAtEnd) : batches_(batches), failAtEnd_(failAtEnd) {}

    SplatBatchSequence read() override {
        auto produced = std::make_shared<int>(0);
        int batches = batches_;
        bool failAtEnd = failAtEnd_;
        return SplatBatchSequence([=](SplatBatch& batch) {
            if (*produced == batches) {
                if (failAtEnd) throw std::runtime_error("failed after the batches");
                return false;
            }
            float x = float(2 * (*produced)++);
            batch.push_back(pointAt(x));
            batch.push_back(pointAt(x + 1));
            return true;
        });
    }

private:
    int batches_;
    bool failAtEnd_;
};

}  // namespace

TEST(SplatSceneReader, ReadAllGathersBatchesInOrder) {
    ScriptedReader reader(3, false);
    auto points = reader.readAll();
    ASSERT_EQ(points.size(), 6u);
    for (std::size_t i = 0; i < points.size(); ++i) EXPECT_EQ(points[i].position[0], float(i));
    EXPECT_TRUE(ScriptedReader(0, false).readAll().empty());
}

TEST(SplatSceneReader, FailureAfterTwoBatchesIsRethrownAndEndsTheSequence) {
    ScriptedReader reader(2, true);
    EXPECT_THROW(reader.readAll(), std::runtime_error);
    SplatBatchSequence sequence = reader.read();
    EXPECT_TRUE(sequence.next());
    EXPECT_TRUE(sequence.next());
    EXPECT_THROW(sequence.next(), std::runtime_error);
    EXPECT_FALSE(sequence.next());
}

TEST(SplatSceneReader, MemoryBufferKeepsItsPointsWhenReadingFails) {
    splatformats::SplatMemoryBuffer buffer;
    ScriptedReader good(1, false);
    buffer.read(good);
    ASSERT_EQ(buffer.points.size(), 2u);
    ScriptedReader failing(5, true);
    EXPECT_THROW(buffer.read(failing), std::runtime_error);
    EXPECT_EQ(buffer.points.size(), 2u);
}

TEST(SplatFileFormat, OnlyTheLowerCasedExtensionCounts) {
    EXPECT_EQ(splatformats::splatFileFormat("model.Splat"), SplatFileFormat::dotSplat);
    EXPECT_EQ(splatformats::splatFileFormat("/a/b/model.SPZ"), SplatFileFormat::spz);
    EXPECT_EQ(splatformats::splatFileFormat("model.ply"), SplatFileFormat::ply);
    EXPECT_EQ(splatformats::splatFileFormat("scene.PLY"), SplatFileFormat::ply);
    for (const char* name : {"model.ply.gz", "model", "model.splatx", "folder.ply/model", ""})
        EXPECT_FALSE(splatformats::splatFileFormat(name).has_value()) << name;
}
