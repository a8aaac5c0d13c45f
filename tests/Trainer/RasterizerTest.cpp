// The tile renderer against the plainest possible one: every pixel
// composits every Gaussian in depth order. The tile renderer visits only the
// half rows a Gaussian's footprint reaches; a footprint cut too tight would
// show here as a missing slice of a Gaussian.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

#include "Trainer/Rasterizer.hpp"
#include "TrainerTestScenes.hpp"

using namespace tessaron::trainer;
using tessaron::core::ThreadPool;

namespace {

std::vector<float> referenceImage(const GaussianModel& model, const ViewCamera& camera, int shDegree,
                                  const Vec3& background) {
    std::vector<ProjectedGaussian> projected(model.size());
    for (size_t index = 0; index < model.size(); ++index)
        GaussianProjection::project(model, index, camera, camera.centre(), shDegree, projected[index]);
    const std::vector<ProjectedGaussian> visible = tessaron::testing::visibleByDepth(projected);
    std::vector<float> image(size_t(camera.width) * size_t(camera.height) * 3);
    for (int y = 0; y < camera.height; ++y) {
        for (int x = 0; x < camera.width; ++x) {
            double T = 1, colour[3] = {0, 0, 0};
            for (const ProjectedGaussian& p : visible) {
                const double alpha = std::min(double(Rasterizer::maxAlpha), tessaron::testing::alphaAt(p, x, y));
                if (alpha < Rasterizer::minAlpha) continue;
                if (T * (1 - alpha) < Rasterizer::minTransmittance) break;
                for (int c = 0; c < 3; ++c) colour[c] += alpha * T * p.colour[c];
                T *= 1 - alpha;
            }
            const size_t pixel = size_t(y) * size_t(camera.width) + size_t(x);
            for (int c = 0; c < 3; ++c) image[pixel * 3 + c] = float(colour[c] + T * background[c]);
        }
    }
    return image;
}

// Nearly opaque, long and thin, turned: footprints reaching past their
// bounding square's tiles and across tile rows at a slant; some run off
// the image, whose size is no multiple of the tile.
GaussianModel awkwardGaussians(unsigned seed) {
    GaussianModel model = tessaron::testing::randomGaussians(60, seed, 0.05f, 0.995f);
    for (size_t i = 0; i < model.size(); i += 3) {
        float* s = model.at(GaussianModel::logScale, i);
        s[0] = std::log(0.6f);
        s[1] = std::log(0.02f);
    }
    return model;
}

}  // namespace

class TileRendering : public ::testing::TestWithParam<unsigned> {};

TEST_P(TileRendering, MatchesCompositingEveryGaussianAtEveryPixel) {
    const ViewCamera camera = tessaron::testing::smallCamera(53, 37);
    const Vec3 background{0.2f, 0.5f, 0.9f};
    for (unsigned seed : {1u, 2u, 3u}) {
        const GaussianModel model = awkwardGaussians(seed);
        ThreadPool pool(GetParam());
        Rasterizer rasterizer(pool);
        std::vector<float> image;
        rasterizer.forward(model, camera, 3, background, image);
        const std::vector<float> expected = referenceImage(model, camera, 3, background);
        ASSERT_EQ(image.size(), expected.size());
        double largest = 0, total = 0;
        for (size_t i = 0; i < image.size(); ++i) {
            const double difference = std::fabs(double(image[i]) - double(expected[i]));
            largest = std::max(largest, difference);
            total += difference;
        }
        // A Gaussian at the alpha threshold may fall either side of it
        // (about 1/255 of its colour); a missing slice of one costs far more.
        EXPECT_LT(largest, 0.01) << "seed " << seed;
        EXPECT_LT(total / double(image.size()), 1e-4) << "seed " << seed;
    }
}

TEST_P(TileRendering, NoGaussiansOrNoneInViewLeaveTheBackground) {
    const ViewCamera camera = tessaron::testing::smallCamera(53, 37);
    GaussianModel behind = tessaron::testing::randomGaussians(5, 4);
    for (size_t i = 0; i < behind.size(); ++i) behind.at(GaussianModel::position, i)[2] = -3;
    for (const GaussianModel& model : {GaussianModel{}, behind}) {
        ThreadPool pool(GetParam());
        Rasterizer rasterizer(pool);
        std::vector<float> image;
        rasterizer.forward(model, camera, 3, Vec3{0.2f, 0.5f, 0.9f}, image);
        EXPECT_EQ(rasterizer.entryCount(), 0u);
        ASSERT_EQ(image.size(), size_t(camera.width) * size_t(camera.height) * 3);
        for (size_t i = 0; i < image.size(); i += 3) ASSERT_EQ(image[i + 2], 0.9f) << "pixel " << i / 3;
    }
}

INSTANTIATE_TEST_SUITE_P(Threads, TileRendering, ::testing::Values(1u, 3u),
                         [](const auto& info) { return std::to_string(info.param) + "threads"; });

namespace {

// Gaussians in a few layers of exactly equal depth (the camera looks down
// +z from the origin, so a Gaussian's depth is its z), nearly opaque and
// overlapping across many tiles: wherever two of a layer cover the same
// pixel, which one comes first shows.
GaussianModel layeredGaussians(size_t count, const std::vector<float>& depths, float scale) {
    GaussianModel model = tessaron::testing::randomGaussians(count, 11, 0.6f, 0.95f);
    for (size_t i = 0; i < count; ++i) {
        float* p = model.at(GaussianModel::position, i);
        const float depth = depths[i % depths.size()];
        p[0] = p[0] / p[2] * depth;
        p[1] = p[1] / p[2] * depth;
        p[2] = depth;
        float* s = model.at(GaussianModel::logScale, i);
        for (int k = 0; k < 3; ++k) s[k] += std::log(scale);
    }
    return model;
}

struct RenderAndGradients {
    std::vector<float> image, meanGradientNorms;
    GaussianModel gradients;
};

RenderAndGradients renderOn(unsigned threads, const GaussianModel& model, const ViewCamera& camera) {
    ThreadPool pool(threads);
    Rasterizer rasterizer(pool);
    const Vec3 background{0.1f, 0.3f, 0.2f};
    RenderAndGradients out;
    rasterizer.forward(model, camera, 3, background, out.image);
    std::vector<float> imageGradient(out.image.size());
    for (size_t i = 0; i < imageGradient.size(); ++i) imageGradient[i] = std::sin(0.37f * float(i));
    rasterizer.backward(model, camera, 3, background, imageGradient, out.gradients, out.meanGradientNorms);
    return out;
}

// Bit for bit (without printing images when they differ).
void expectIdentical(const RenderAndGradients& one, const RenderAndGradients& other) {
    EXPECT_TRUE(one.image == other.image);
    EXPECT_TRUE(one.meanGradientNorms == other.meanGradientNorms);
    for (int group = 0; group < GaussianModel::groupCount; ++group) {
        const auto g = GaussianModel::Group(group);
        EXPECT_TRUE(one.gradients.values(g) == other.gradients.values(g)) << "parameter group " << group;
    }
}

}  // namespace

// Depth layers whose bits differ in none, in the low, and in nearly all of
// their bits.
class EqualDepths : public ::testing::TestWithParam<std::vector<float>> {};

TEST_P(EqualDepths, TiesCompositeInIndexOrderWhateverTheThreadCount) {
    const ViewCamera camera = tessaron::testing::smallCamera(150, 100);
    const GaussianModel model = layeredGaussians(400, GetParam(), 0.6f);
    const RenderAndGradients one = renderOn(1, model, camera), three = renderOn(3, model, camera);
    expectIdentical(one, three);
    const std::vector<float> expected = referenceImage(model, camera, 3, Vec3{0.1f, 0.3f, 0.2f});
    ASSERT_EQ(one.image.size(), expected.size());
    double largest = 0;
    for (size_t i = 0; i < expected.size(); ++i)
        largest = std::max(largest, std::fabs(double(one.image[i]) - double(expected[i])));
    // Two tied Gaussians composited the other way round differ by far more.
    EXPECT_LT(largest, 0.01);
}

// Enough Gaussians that sorting and filling the tiles split into several
// blocks and chunks on three threads, and into one on a single thread.
TEST_P(EqualDepths, ManyGaussiansRenderTheSameWhateverTheThreadCount) {
    const ViewCamera camera = tessaron::testing::smallCamera(160, 120);
    const GaussianModel model = layeredGaussians(30000, GetParam(), 0.15f);
    expectIdentical(renderOn(1, model, camera), renderOn(3, model, camera));
}

INSTANTIATE_TEST_SUITE_P(Layers, EqualDepths,
                         ::testing::Values(std::vector<float>{3.0f}, std::vector<float>{3.0f, 3.5f, 2.75f, 3.25f},
                                           std::vector<float>{0.5f, 3.0f, 2.0f, 3.0f, 4000.0f}),
                         [](const auto& info) { return "layers" + std::to_string(info.index); });

// Gaussians no footprint can be had of (a position or scale that is NaN, a
// scale so large that its covariance overflows, an opacity of exactly 0)
// take no tile and change no pixel, and get no gradient: the others render
// bit for bit as they do alone.
TEST_P(TileRendering, GaussiansWithoutAFootprintTakeNoTile) {
    const ViewCamera camera = tessaron::testing::smallCamera(53, 37);
    const GaussianModel alone = tessaron::testing::randomGaussians(20, 5);
    GaussianModel model = alone;
    const float nan = std::numeric_limits<float>::quiet_NaN();
    for (int broken = 0; broken < 4; ++broken) {
        model.appendCopy(alone, size_t(broken));
        const size_t index = model.size() - 1;
        if (broken == 0) model.at(GaussianModel::position, index)[0] = nan;
        if (broken == 1) model.at(GaussianModel::logScale, index)[1] = nan;
        if (broken == 2)
            for (int k = 0; k < 3; ++k) model.at(GaussianModel::logScale, index)[k] = 80;
        if (broken == 3) model.at(GaussianModel::opacity, index)[0] = -200;
    }
    const RenderAndGradients expected = renderOn(GetParam(), alone, camera);
    const RenderAndGradients got = renderOn(GetParam(), model, camera);
    EXPECT_TRUE(got.image == expected.image);
    for (size_t index = alone.size(); index < model.size(); ++index) {
        EXPECT_EQ(got.meanGradientNorms[index], 0) << index;
        for (float value : {got.gradients.at(GaussianModel::position, index)[0],
                            got.gradients.at(GaussianModel::opacity, index)[0]})
            EXPECT_EQ(value, 0) << index;
    }
}
