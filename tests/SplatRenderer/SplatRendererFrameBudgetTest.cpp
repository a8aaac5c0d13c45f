// What one frame may cost: a scene of large, faint, overlapping splats is
// drawn within the renderer's fragment budget (at a lower resolution,
// stretched) and still looks like itself; scenes within the budget are
// drawn as before. Besides the renderer's own count of covered pixels, the
// GL implementation counts the fragment shader invocations; llvmpipe shades
// in blocks of 4×4 pixels, so a quad's ragged edge costs up to a few times
// its pixels when the quad is small.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "RendererTestSupport.hpp"
#include "SplatRenderer/HeadlessGLContext.hpp"
#include "SplatRenderer/OffscreenFramebuffer.hpp"
#include "SplatRenderer/SplatRenderer.hpp"
#include "SplatRenderer/StillFrame.hpp"
#include "generators/HeavySplatScene.hpp"

using namespace splatrenderer;
using splatrenderer::testing::roundSplat;
using splatrenderer::testing::scatteredSplats;

namespace {

constexpr int imageSize = 128;

// The viewer's opening camera: 7.5 units back, 60° vertical.
ViewportDescriptor openingCamera(int width = imageSize, int height = imageSize) {
    ViewportDescriptor view;
    view.viewport = {0, 0, double(width), double(height), 0, 1};
    view.projectionMatrix = Matrix4::perspective(float(M_PI) / 3, float(width) / float(height), 0.1f, 1000);
    view.viewMatrix = Matrix4::lookAt({0, 0, -7.5f}, {0, 0, 0}, {0, -1, 0});
    view.screenSize = {width, height};
    return view;
}

SplatRenderer::Configuration withBudget(std::optional<std::int64_t> budget, bool highQualityDepth = false) {
    SplatRenderer::Configuration configuration;
    configuration.clearColor = {0, 0, 0, 1};
    configuration.fragmentBudget = budget;
    if (highQualityDepth) {
        configuration.depthFormat = OffscreenFramebuffer::depthFormat;
        configuration.highQualityDepth = true;
    }
    return configuration;
}

// Invocations for so many covered pixels, edge blocks included, and the
// composite's one per target pixel.
std::int64_t shadedAtMost(std::int64_t coveredPixels, int width = imageSize, int height = imageSize) {
    return 3 * coveredPixels + std::int64_t(width) * height;
}

struct Drawn {
    RGBAImage image;
    SplatRenderer::FrameReport frame;
    std::int64_t fragmentInvocations = 0;  // of the final frame, composite included
};

// Draws the final frame of `points` and counts the fragment shader
// invocations of that frame with a pipeline statistics query.
Drawn drawCounted(const std::vector<splatformats::SplatPoint>& points, const SplatRenderer::Configuration& configuration,
                  const ViewportDescriptor& view = openingCamera()) {
    SplatRenderer renderer(GPUDevice::current(), configuration);
    renderer.add(points);
    const int width = view.screenSize[0], height = view.screenSize[1];
    OffscreenFramebuffer framebuffer(width, height, configuration.depthFormat != 0);
    EXPECT_TRUE(StillFrame::render(renderer, view, framebuffer.name(), 60));
    // Once more, counted: the order is sorted from this camera by now.
    GLuint query = 0;
    glGenQueries(1, &query);
    glBeginQuery(GL_FRAGMENT_SHADER_INVOCATIONS, query);
    EXPECT_TRUE(renderer.render(view, framebuffer.name(), 10, 10));
    glEndQuery(GL_FRAGMENT_SHADER_INVOCATIONS);
    renderer.finishFrames();
    GLuint64 invocations = 0;
    glGetQueryObjectui64v(query, GL_QUERY_RESULT, &invocations);
    glDeleteQueries(1, &query);
    return {framebuffer.readColor(), renderer.lastFrame(), std::int64_t(invocations)};
}

// Mean of each colour channel over blocks of `block` pixels.
std::vector<double> blockMeans(const RGBAImage& image, int block) {
    std::vector<double> means;
    for (int by = 0; by < image.height; by += block)
        for (int bx = 0; bx < image.width; bx += block)
            for (int channel = 0; channel < 3; ++channel) {
                double sum = 0;
                for (int y = by; y < by + block; ++y)
                    for (int x = bx; x < bx + block; ++x) sum += image.at(x, y)[std::size_t(channel)];
                means.push_back(sum / (block * block));
            }
    return means;
}

tessaron::generators::HeavySplatSceneOptions smallHeavyScene() {
    tessaron::generators::HeavySplatSceneOptions options;
    options.count = 2000;
    options.shDegree = 0;
    return options;
}

}  // namespace

class FrameBudget : public ::testing::TestWithParam<bool> {
protected:
    HeadlessGLContext context_;
};

TEST_P(FrameBudget, AHeavySceneIsDrawnWithinItsBudgetAndLooksTheSame) {
    const bool highQualityDepth = GetParam();
    const auto points = tessaron::generators::makeHeavySplatScene(smallHeavyScene());
    // Unbounded, every splat covers much of the picture: tens of millions
    // of fragments for 16,384 pixels.
    const Drawn full = drawCounted(points, withBudget(std::int64_t(1) << 50, highQualityDepth));
    EXPECT_EQ(full.frame.outcome, SplatRenderer::FrameReport::Outcome::drawn);
    EXPECT_EQ(full.frame.resolutionScale, 1.0);
    EXPECT_EQ(full.frame.projections, 1);
    EXPECT_EQ(full.frame.coveringSplats, 2000);
    EXPECT_GT(full.fragmentInvocations, 10'000'000);
    EXPECT_LE(full.fragmentInvocations, shadedAtMost(full.frame.coveredPixels));

    const std::int64_t budget = 400'000;
    const Drawn bounded = drawCounted(points, withBudget(budget, highQualityDepth));
    const auto& frame = bounded.frame;
    EXPECT_EQ(frame.outcome, SplatRenderer::FrameReport::Outcome::drawn);
    EXPECT_LT(frame.resolutionScale, 0.5);
    EXPECT_GE(frame.resolutionScale, SplatRenderer::minResolutionScale);
    EXPECT_EQ(frame.resolution[0], frame.resolution[1]);
    // The counted frame follows others from the same camera: it starts at
    // the resolution they found and projects once.
    EXPECT_EQ(frame.projections, 1);
    EXPECT_LE(frame.coveredPixels, budget + SplatRenderer::fragmentsPerSplat * frame.coveringSplats);
    // What the GL implementation shaded.
    EXPECT_LE(bounded.fragmentInvocations, shadedAtMost(frame.coveredPixels));
    EXPECT_LT(bounded.fragmentInvocations, full.fragmentInvocations / 5);

    // A fog of faint splats has no fine detail to lose: block by block the
    // two pictures agree. (The reference gathers in half floats: blended
    // straight into 8 bits, 2,000 faint layers band.)
    const Drawn reference =
        highQualityDepth ? full : drawCounted(points, withBudget(std::int64_t(1) << 50, true));
    const auto fullMeans = blockMeans(reference.image, 16);
    const auto boundedMeans = blockMeans(bounded.image, 16);
    double largest = 0, total = 0;
    for (std::size_t i = 0; i < fullMeans.size(); ++i) {
        largest = std::max(largest, std::abs(fullMeans[i] - boundedMeans[i]));
        total += fullMeans[i];
    }
    EXPECT_GT(total / double(fullMeans.size()), 20);  // the fog shows
    EXPECT_LT(largest, 8) << "block means differ by up to " << largest << " levels";
}

INSTANTIATE_TEST_SUITE_P(BothPipelineSets, FrameBudget, ::testing::Values(false, true));

TEST(FrameBudgetLimit, AtTheLowestResolutionSplatsAreCappedSoTheBoundStillHolds) {
    HeadlessGLContext context;
    // A budget so small that even an eighth of the picture's width and
    // height is too much for the heavy scene: every splat's radius is
    // capped instead.
    const auto points = tessaron::generators::makeHeavySplatScene(smallHeavyScene());
    const Drawn drawn = drawCounted(points, withBudget(1000), openingCamera(640, 640));
    const auto& frame = drawn.frame;
    EXPECT_EQ(frame.outcome, SplatRenderer::FrameReport::Outcome::drawn);
    EXPECT_EQ(frame.resolution[0], 80);
    EXPECT_GT(frame.splatRadiusCap, 0.0f);
    EXPECT_EQ(frame.projections, 1);
    EXPECT_LE(frame.coveredPixels, 1000 / 4 + SplatRenderer::cappedFragmentsPerSplat * frame.coveringSplats);
    EXPECT_LE(drawn.fragmentInvocations, shadedAtMost(frame.coveredPixels, 640, 640));
}

TEST(FrameBudgetLimit, AnOrdinarySceneIsDrawnInFullAtTheDefaultBudget) {
    HeadlessGLContext context;
    // Small opaque splats, as a trained scene's, and one large faint splat:
    // the default budget leaves them all at full resolution, and the same
    // picture as without a budget.
    auto points = scatteredSplats(50000, 4);
    points.push_back(roundSplat({0, 0, 0}, 1.0f, {0, 255, 0}, 13));
    const Drawn unbounded = drawCounted(points, withBudget(0));
    const Drawn atDefault = drawCounted(points, withBudget(std::nullopt));
    EXPECT_EQ(atDefault.frame.resolutionScale, 1.0);
    EXPECT_EQ(atDefault.frame.splatRadiusCap, 0.0f);
    EXPECT_EQ(atDefault.frame.projections, 1);
    EXPECT_GT(atDefault.frame.coveredPixels, 0);
    EXPECT_EQ(atDefault.image.pixels, unbounded.image.pixels);
}

TEST(FrameBudgetLimit, AFaintSplatIsDrawnAsFarAsItIsVisibleAndNoFarther) {
    HeadlessGLContext context;
    // Opacity 0.05: visible (1/255 or more) out to σ·√(2 ln 12.75) ≈ 2.26σ,
    // where its quad now ends, well short of 3σ.
    const auto points = std::vector<splatformats::SplatPoint>{roundSplat({0, 0, 0}, 0.6f, {255, 255, 255}, 13)};
    const Drawn drawn = drawCounted(points, withBudget(std::nullopt));
    const double focal = imageSize / 2.0 / std::tan(M_PI / 6);
    const double sigma = std::sqrt(std::pow(focal * 0.6 / 7.5, 2) + 0.3);
    double farthestLit = 0;
    for (int y = 0; y < imageSize; ++y)
        for (int x = 0; x < imageSize; ++x)
            if (drawn.image.at(x, y)[0] > 0) farthestLit = std::max(farthestLit, std::hypot(x + 0.5 - 64, y + 0.5 - 64));
    const double visibleTo = sigma * std::sqrt(2 * std::log(255 * (13 / 255.0)));
    EXPECT_NEAR(farthestLit, visibleTo, 1.5);
    // Fragments: about the quad of ±2.26σ (a square 4.5σ across), not the
    // ±3σ one (single-stage: no composite pass).
    EXPECT_LT(double(drawn.fragmentInvocations), std::pow(2 * 2.4 * sigma, 2));
}
