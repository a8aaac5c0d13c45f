#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <future>
#include <opencv2/imgcodecs.hpp>

#include "RendererTestSupport.hpp"
#include "SplatFormats/DotSplatSceneWriter.hpp"
#include "SplatRenderer/HeadlessGLContext.hpp"
#include "SplatRenderer/OffscreenFramebuffer.hpp"
#include "SplatRenderer/SplatRenderer.hpp"
#include "SplatRenderer/StillFrame.hpp"
#include "support/TempDir.hpp"

using namespace splatrenderer;
using splatrenderer::testing::roundSplat;
using splatrenderer::testing::scatteredSplats;
using Pixel = std::array<std::uint8_t, 4>;

namespace {

constexpr int imageSize = 128;
constexpr float fieldOfView = float(M_PI) / 3;  // 60° vertical

ViewportDescriptor cameraAt(Vector3f eye, Vector3f target = {0, 0, 0}) {
    ViewportDescriptor view;
    view.viewport = {0, 0, imageSize, imageSize, 0, 1};
    view.projectionMatrix = Matrix4::perspective(fieldOfView, 1, 0.1f, 1000);
    view.viewMatrix = Matrix4::lookAt(eye, target, {0, 1, 0});
    view.screenSize = {imageSize, imageSize};
    return view;
}

SplatRenderer::Configuration withClearColor(SplatRenderer::ClearColor color) {
    SplatRenderer::Configuration configuration;
    configuration.clearColor = color;
    return configuration;
}

void expectNear(Pixel actual, Pixel expected, int tolerance, const std::string& where) {
    for (std::size_t channel = 0; channel < 4; ++channel)
        EXPECT_NEAR(actual[channel], expected[channel], tolerance) << where << " channel " << channel;
}

}  // namespace

// Each case draws with its own EGL context on Mesa's llvmpipe.
class HeadlessRendering : public ::testing::Test {
protected:
    RGBAImage draw(SplatRenderer& renderer, const ViewportDescriptor& view, bool withDepth = false) {
        OffscreenFramebuffer framebuffer(imageSize, imageSize, withDepth);
        EXPECT_TRUE(StillFrame::render(renderer, view, framebuffer.name(), 30));
        lastDepth_ = framebuffer.readDepth();
        return framebuffer.readColor();
    }

    HeadlessGLContext context_{true};
    GPUDevice device_ = GPUDevice::current();
    std::vector<float> lastDepth_;
};

TEST_F(HeadlessRendering, TheContextIsOpenGL45CoreOnMesa) {
    EXPECT_STRNE(HeadlessGLContext::versionText(), "");
    EXPECT_NE(std::string(HeadlessGLContext::versionText()).find("4.5"), std::string::npos);
    EXPECT_EQ(device_.maxBufferLength(), 134217728);  // llvmpipe's storage block limit
}

TEST_F(HeadlessRendering, ARedGaussianIsCentredWithTheRadiusItsProjectionImplies) {
    // Scale 0.5 seen from 7.5 units: σ = focal × 0.5 / 7.5 pixels, widened
    // by the 0.3 px² low-pass filter. Opacity peaks at 0.99.
    SplatRenderer renderer(device_, withClearColor({0, 0, 0, 1}));
    renderer.add(roundSplat({0, 0, 0}, 0.5f, {255, 0, 0}));
    const RGBAImage image = draw(renderer, cameraAt({0, 0, 7.5f}));

    const double focal = imageSize / 2.0 / std::tan(fieldOfView / 2);
    const double sigma = std::sqrt(std::pow(focal * 0.5 / 7.5, 2) + 0.3);
    const double peak = 0.99 * 255;
    double mass = 0, sumX = 0, sumY = 0, halfMaximumArea = 0, farthestLit = 0;
    for (int y = 0; y < imageSize; ++y)
        for (int x = 0; x < imageSize; ++x) {
            const Pixel pixel = image.at(x, y);
            EXPECT_EQ(pixel[1], 0);
            EXPECT_EQ(pixel[2], 0);
            const double red = pixel[0];
            mass += red;
            sumX += red * (x + 0.5);
            sumY += red * (y + 0.5);
            if (red >= peak / 2) ++halfMaximumArea;
            if (red > 0) farthestLit = std::max(farthestLit, std::hypot(x + 0.5 - 64, y + 0.5 - 64));
        }
    ASSERT_GT(mass, 0);
    EXPECT_NEAR(sumX / mass, 64, 0.5);
    EXPECT_NEAR(sumY / mass, 64, 0.5);
    // Half the peak at σ √(2 ln 2).
    EXPECT_NEAR(std::sqrt(halfMaximumArea / M_PI), sigma * std::sqrt(2 * std::log(2.0)), 1.0);
    EXPECT_NEAR(image.at(63, 63)[0], peak, 4);
    // Cut off at three standard deviations.
    EXPECT_LE(farthestLit, 3 * sigma + 1);
    EXPECT_GE(farthestLit, 3 * sigma - 1.5);
}

class RedInFrontOfBlue : public HeadlessRendering, public ::testing::WithParamInterface<float> {};

TEST_P(RedInFrontOfBlue, TheNearerSplatCoversTheFartherFromEitherSide) {
    // A small red splat one unit towards the camera, a large blue one a
    // unit behind the origin: drawn farthest first, red covers blue's
    // middle, and blue shows around it.
    const float side = GetParam();
    SplatRenderer renderer(device_, withClearColor({0, 0, 0, 1}));
    renderer.add(std::vector<SplatPoint>{roundSplat({0, 0, -side}, 1.0f, {0, 0, 255}),
                                         roundSplat({0, 0, side}, 0.3f, {255, 0, 0})});
    const RGBAImage image = draw(renderer, cameraAt({0, 0, 7.5f * side}));
    const Pixel centre = image.at(64, 64);
    EXPECT_GT(centre[0], 240);
    EXPECT_LT(centre[2], 15);
    const Pixel aside = image.at(64 + 15, 64);
    EXPECT_LT(aside[0], 10);
    EXPECT_GT(aside[2], 100);
}

INSTANTIATE_TEST_SUITE_P(BothSides, RedInFrontOfBlue, ::testing::Values(1.0f, -1.0f));

TEST_F(HeadlessRendering, WithNothingToDrawTheTargetShowsTheClearColour) {
    const SplatRenderer::ClearColor clear{0.25, 0.5, 0.75, 1};
    const Pixel expected{64, 128, 191, 255};
    auto expectCleared = [&](const RGBAImage& image, const std::string& what) {
        for (auto [x, y] : {std::pair{0, 0}, {64, 64}, {127, 127}, {20, 90}}) expectNear(image.at(x, y), expected, 1, what);
    };
    SplatRenderer renderer(device_, withClearColor(clear));
    expectCleared(draw(renderer, cameraAt({0, 0, 5})), "empty scene");

    const ChunkID only = renderer.addChunk(SplatChunk(device_, scatteredSplats(500, 1)), true, false);
    expectCleared(draw(renderer, cameraAt({0, 0, 5})), "disabled chunk");
    renderer.setChunkEnabled(only, true);
    const RGBAImage drawn = draw(renderer, cameraAt({0, 0, 5}));
    EXPECT_NE(drawn.pixels, draw(renderer, cameraAt({0, 0, 5}, {0, 50, 0})).pixels);  // the splats do show
    renderer.removeAllChunks();
    expectCleared(draw(renderer, cameraAt({0, 0, 5})), "all chunks removed");
}

TEST_F(HeadlessRendering, ASceneSplitIntoSeveralChunksDrawsLikeOneChunk) {
    // Buffers capped at 1 MiB: 32,768 records per chunk, so 100,000 splats
    // read from a file become four chunks across four pages.
    tessaron::testing::TempDir folder;
    const auto file = folder / "scene.splat";
    {
        splatformats::DotSplatSceneWriter writer(file);
        writer.write(scatteredSplats(100000, 7));
        writer.close();
    }
    SplatRenderer split(device_.cappedAt(1 << 20), withClearColor({0, 0, 0, 1}));
    split.read(file);
    EXPECT_EQ(split.chunkCount(), 4u);
    EXPECT_EQ(split.splatCount(), 100000);
    SplatRenderer whole(device_, withClearColor({0, 0, 0, 1}));
    whole.read(file);
    EXPECT_EQ(whole.chunkCount(), 1u);

    const auto view = cameraAt({1, 2, 9});
    const RGBAImage splitImage = draw(split, view);
    const RGBAImage wholeImage = draw(whole, view);
    std::size_t lit = 0, differing = 0;
    for (std::size_t i = 0; i < splitImage.pixels.size(); i += 4) {
        if (wholeImage.pixels[i] + wholeImage.pixels[i + 1] + wholeImage.pixels[i + 2] > 30) ++lit;
        for (std::size_t channel = 0; channel < 3; ++channel)
            if (std::abs(int(splitImage.pixels[i + channel]) - int(wholeImage.pixels[i + channel])) > 2) {
                ++differing;
                break;
            }
    }
    EXPECT_GT(lit, std::size_t(imageSize * imageSize / 4));
    EXPECT_LE(differing, std::size_t(imageSize * imageSize / 500));
}

TEST_F(HeadlessRendering, AScenePastTheDevicesBuffersIsReportedOnceAndNotDrawn) {
    // Buffers capped at 4 KiB: 128 records per chunk and page, so 2,000
    // splats need 16 pages of the 12 a frame may bind.
    SplatRenderer renderer(device_.cappedAt(4096), withClearColor({0, 0, 0, 1}));
    std::vector<std::string> failures;
    renderer.setOnFrameFailure([&](const std::string& message) { failures.push_back(message); });
    renderer.add(scatteredSplats(2000, 9));
    ASSERT_EQ(renderer.chunkCount(), 16u);
    OffscreenFramebuffer framebuffer(imageSize, imageSize, false);
    EXPECT_FALSE(renderer.render(cameraAt({0, 0, 9}), framebuffer.name(), 1, 5));
    EXPECT_FALSE(renderer.render(cameraAt({0, 0, 9}), framebuffer.name(), 1, 5));
    renderer.finishFrames();
    // The chunk set did not change, so the second frame says nothing new.
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_EQ(failures[0], "The scene needs more than 12 buffers of 4096 bytes; it cannot be drawn");
}

TEST_F(HeadlessRendering, HarmonicsGiveAColourThatDependsOnTheView) {
    // Degree 1 with only the third basis function (−C1·x): grey 0.5 plus
    // 0.4·(1, 0, −1) seen looking along −x, minus it looking along +x.
    const float c1 = 0.4886025f;
    splatformats::SHCoefficients triples{{0, 0, 0}, {0, 0, 0}, {0, 0, 0}, {0.4f / c1, 0, -0.4f / c1}};
    const SplatPoint point({0, 0, 0}, SplatPoint::Color::sphericalHarmonicFloat(triples),
                           SplatPoint::Opacity::linearFloat(1), SplatPoint::Scale::linearFloat({0.5f, 0.5f, 0.5f}),
                           Quaternion{});
    SplatRenderer renderer(device_, withClearColor({0, 0, 0, 1}));
    renderer.addChunk(SplatChunk(device_, std::span<const SplatPoint>(&point, 1)), false, true);
    const double peak = 0.99 * 255;
    expectNear(draw(renderer, cameraAt({6, 0, 0})).at(64, 64),
               Pixel{std::uint8_t(peak * 0.9), std::uint8_t(peak * 0.5), std::uint8_t(peak * 0.1), 255}, 3, "from +x");
    expectNear(draw(renderer, cameraAt({-6, 0, 0})).at(64, 64),
               Pixel{std::uint8_t(peak * 0.1), std::uint8_t(peak * 0.5), std::uint8_t(peak * 0.9), 255}, 3, "from -x");
}

TEST_F(HeadlessRendering, TheMultiStageSetBlendsLikeTheSingleStageAndWritesDepth) {
    const std::vector<SplatPoint> scene{roundSplat({0, 0, -1}, 1.0f, {0, 0, 255}), roundSplat({0, 0, 1}, 0.3f, {255, 0, 0})};
    const auto view = cameraAt({0, 0, 7.5f});

    SplatRenderer::Configuration single = withClearColor({0, 0, 0, 1});
    single.depthFormat = OffscreenFramebuffer::depthFormat;
    SplatRenderer singleStage(device_, single);
    singleStage.add(scene);
    const RGBAImage singleImage = draw(singleStage, view, true);
    // Depth writes without blending: the nearest quad's depth, even where
    // its splat is faint; 0 (the far plane) where nothing was drawn.
    const double redDepth = (view.projectionMatrix(2, 2) * -6.5 + view.projectionMatrix(3, 2)) / 6.5;
    EXPECT_NEAR(lastDepth_[64 * imageSize + 64], redDepth, 1e-4);
    EXPECT_EQ(lastDepth_[0], 0.0f);

    SplatRenderer::Configuration multi = single;
    multi.highQualityDepth = true;
    SplatRenderer multiStage(device_, multi);
    multiStage.add(scene);
    const RGBAImage multiImage = draw(multiStage, view, true);
    for (auto [x, y] : {std::pair{64, 64}, {89, 64}, {64, 100}, {0, 0}})
        expectNear(multiImage.at(x, y), singleImage.at(x, y), 2, "pixel " + std::to_string(x) + "," + std::to_string(y));
    // The blended depth lies between the two splats, nearer the opaque red.
    const double blueDepth = (view.projectionMatrix(2, 2) * -8.5 + view.projectionMatrix(3, 2)) / 8.5;
    const float centreDepth = lastDepth_[64 * imageSize + 64];
    EXPECT_NEAR(centreDepth, redDepth, (redDepth - blueDepth) * 0.05);
    EXPECT_GT(centreDepth, blueDepth);
    EXPECT_EQ(lastDepth_[0], 0.0f);
}

TEST_F(HeadlessRendering, ChunkOperationsWaitForFramesInFlight) {
    SplatRenderer renderer(device_, withClearColor({0, 0, 0, 1}));
    renderer.add(scatteredSplats(1000, 2));
    OffscreenFramebuffer framebuffer(imageSize, imageSize, false);
    ASSERT_TRUE(renderer.render(cameraAt({0, 0, 6}), framebuffer.name(), 1, 1));
    ASSERT_EQ(renderer.accessState().inFlightRenderCount(), 1);

    // Another thread waits until this one has seen the frame complete.
    auto removal = std::async(std::launch::async, [&] { renderer.removeAllChunks(); });
    while (renderer.accessState().waiterCount() == 0 && renderer.accessState().inFlightRenderCount() == 1)
        std::this_thread::yield();
    EXPECT_FALSE(renderer.isReadyToRender());
    EXPECT_EQ(removal.wait_for(std::chrono::milliseconds(20)), std::future_status::timeout);
    renderer.finishFrames();
    removal.get();
    EXPECT_EQ(renderer.chunkCount(), 0u);

    // The render thread itself may change chunks with a frame in flight: it
    // ends its own finished frames while it waits.
    renderer.add(scatteredSplats(10, 3));
    ASSERT_TRUE(renderer.render(cameraAt({0, 0, 6}), framebuffer.name(), 1, 1));
    renderer.add(scatteredSplats(10, 4));
    EXPECT_EQ(renderer.chunkCount(), 2u);
    EXPECT_EQ(renderer.accessState().inFlightRenderCount(), 0);
}

TEST_F(HeadlessRendering, AShaderThatDoesNotCompileIsReportedWithItsLog) {
    const std::vector<ShaderProgram::Stage> stages{
        {GL_VERTEX_SHADER, "brokenVertexShader", "#version 450 core\nvoid main() { gl_Position = undefinedThing; }\n"}};
#ifdef NDEBUG
    try {
        ShaderProgram program("Broken", stages);
        FAIL() << "a broken shader compiled";
    } catch (const ShaderProgram::Error& error) {
        EXPECT_EQ(error.kind(), ShaderProgram::ErrorKind::compilationFailed);
        const std::string message = error.what();
        EXPECT_EQ(message.rfind("Unable to compile shader function \"brokenVertexShader\": ", 0), 0u) << message;
        EXPECT_NE(message.find("undefinedThing"), std::string::npos) << message;
    }
#else
    EXPECT_DEATH(ShaderProgram("Broken", stages), "brokenVertexShader");
#endif
}

TEST_F(HeadlessRendering, TheRenderCommandWritesAPNG) {
    tessaron::testing::TempDir folder;
    const auto scene = folder / "red.splat";
    {
        splatformats::DotSplatSceneWriter writer(scene);
        writer.write({roundSplat({0, 0, 0}, 0.5f, {255, 0, 0})});
        writer.close();
    }
    const auto image = folder / "red.png";
    const std::string command = std::string(TESSARON_TOOL_PATH) + " render " + scene.string() +
                                " --size 96x64 --camera 0,0,7.5 --background 0,0,0.5 --out " + image.string() +
                                " > " + (folder / "output.txt").string();
    ASSERT_EQ(std::system(command.c_str()), 0);
    EXPECT_EQ(tessaron::testing::readTextFile(folder / "output.txt").rfind("Loaded 1 splats in 1 chunk in ", 0), 0u);
    const cv::Mat png = cv::imread(image.string(), cv::IMREAD_UNCHANGED);
    ASSERT_EQ(png.cols, 96);
    ASSERT_EQ(png.rows, 64);
    ASSERT_EQ(png.channels(), 4);
    const auto centre = png.at<cv::Vec4b>(32, 48);  // blue, green, red, alpha
    EXPECT_GT(centre[2], 240);
    EXPECT_EQ(png.at<cv::Vec4b>(0, 0), cv::Vec4b(128, 0, 0, 255));
    EXPECT_NE(std::system((std::string(TESSARON_TOOL_PATH) + " render " + scene.string() + " --size 0x5 --out x.png 2>/dev/null").c_str()), 0);
}
