#include <gtest/gtest.h>

#include "engines/MemoryEstimate.hpp"

using tessaron::engines::MemoryEstimate;

namespace {

struct TileCase {
    int64_t width, height, tiles, bytesPerGaussian;
};

class MemoryEstimateTiles : public ::testing::TestWithParam<TileCase> {};

void PrintTo(const TileCase& tile, std::ostream* out) { *out << tile.width << "x" << tile.height; }

}  // namespace

TEST_P(MemoryEstimateTiles, PartialTilesCountAndFourHundredTilesTakeTheSmallerCost) {
    const TileCase& tileCase = GetParam();
    EXPECT_EQ(MemoryEstimate::tileCount(tileCase.width, tileCase.height), tileCase.tiles);
    EXPECT_EQ(MemoryEstimate::bytesPerGaussian(tileCase.width, tileCase.height), tileCase.bytesPerGaussian);
}

INSTANTIATE_TEST_SUITE_P(Sizes, MemoryEstimateTiles,
                         ::testing::Values(TileCase{16, 16, 1, 3275}, TileCase{17, 16, 2, 3275},
                                           TileCase{321, 320, 420, 1971}, TileCase{320, 320, 400, 1971},
                                           TileCase{319, 305, 400, 1971}, TileCase{320, 304, 380, 3275},
                                           TileCase{1, 1, 1, 3275}));

TEST(MemoryEstimate, GigabytesOfImagesAndModel) {
    // 1600 x 1200 pixels, 100 images, a million Gaussians: 0.536 GB of
    // images, 2.583 GB of model.
    EXPECT_DOUBLE_EQ(MemoryEstimate::gigabytes(1600, 1200, 100, 1000000), 3.1192079186439514);
    EXPECT_DOUBLE_EQ(MemoryEstimate::gigabytes(16, 16, 1, 0), 0.28167514801025395);
    EXPECT_DOUBLE_EQ(MemoryEstimate::gigabytes(4000, 3000, 250, 10000000), 30.479952692985535);
}

TEST(MemoryEstimate, FitMessageUsesOneDecimal) {
    EXPECT_EQ(MemoryEstimate::fitMessage(12.345, 10.0),
              "This model size needs about 12.3 GB of memory, more than the 10.0 GB this computer can give it. Turn on "
              "partitioning (Advanced) or choose a smaller model size.");
}
