// The renderer's and the loss's gradients against central finite
// differences, per parameter group: as a whole (cosine of the two gradient
// vectors) and value by value (a few float-rounding outliers allowed).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>

#include "Trainer/ImageLoss.hpp"
#include "Trainer/Rasterizer.hpp"
#include "TrainerTestScenes.hpp"

using namespace tessaron::trainer;
using tessaron::core::ThreadPool;
using tessaron::testing::randomGaussians;
using tessaron::testing::smallCamera;

namespace {

struct Agreement {
    double cosine = 0;
    double agreeingShare = 0;
};

Agreement compare(const std::vector<double>& analytic, const std::vector<double>& numeric) {
    double dotProduct = 0, a2 = 0, n2 = 0;
    size_t agreeing = 0;
    for (size_t i = 0; i < analytic.size(); ++i) {
        dotProduct += analytic[i] * numeric[i];
        a2 += analytic[i] * analytic[i];
        n2 += numeric[i] * numeric[i];
        double scale = std::max(std::fabs(analytic[i]), std::fabs(numeric[i]));
        if (std::fabs(analytic[i] - numeric[i]) <= 0.03 * scale + 2e-3) ++agreeing;
    }
    Agreement result;
    result.cosine = (a2 == 0 && n2 == 0) ? 1.0 : dotProduct / std::sqrt(a2 * n2 + 1e-300);
    result.agreeingShare = analytic.empty() ? 1.0 : double(agreeing) / double(analytic.size());
    return result;
}

// A weighted sum of the image's values: its gradient is the weights.
struct LinearImageLoss {
    std::vector<float> weights;
    double operator()(const std::vector<float>& image) const {
        double sum = 0;
        for (size_t i = 0; i < image.size(); ++i) sum += double(weights[i]) * double(image[i]);
        return sum;
    }
};

const char* groupName(int group) {
    static const char* names[] = {"position", "logScale", "rotation", "opacity", "shDC", "shRest"};
    return names[group];
}

}  // namespace

// A scene for the renderer's gradient: colour degree, and whether its
// Gaussians pile up nearly opaque on an image whose width is no multiple of
// eight, so that pixels turn opaque (compositing stops), alphas reach their
// cap and half rows run past the image's edge.
struct RendererScene {
    int shDegree = 0;
    bool opaquePile = false;
};

class RendererGradient : public ::testing::TestWithParam<RendererScene> {};

TEST_P(RendererGradient, EveryParameterGroupMatchesFiniteDifferences) {
    const int shDegree = GetParam().shDegree;
    const bool pile = GetParam().opaquePile;
    ThreadPool pool(2);
    Rasterizer rasterizer(pool);
    ViewCamera camera = pile ? smallCamera(44, 30) : smallCamera();
    // Turned a little, so that the rotation of the camera takes part.
    camera.rotation = rotationOf(0.995f, 0.05f, -0.08f, 0.02f);
    const Vec3 background{0.2f, 0.1f, 0.3f};
    GaussianModel model =
        pile ? randomGaussians(24, 21, 0.998f, 0.99999f) : randomGaussians(8, 7 + unsigned(shDegree));
    if (pile)
        for (size_t index = 0; index < model.size(); ++index) {
            float* p = model.at(GaussianModel::position, index);
            p[0] *= 0.2f;
            p[1] *= 0.2f;
            for (int k = 0; k < 3; ++k) model.at(GaussianModel::logScale, index)[k] += std::log(5.0f);
        }

    std::mt19937 random(3);
    std::uniform_real_distribution<float> unit(-1, 1);
    LinearImageLoss loss;
    loss.weights.resize(size_t(camera.width) * camera.height * 3);
    for (float& w : loss.weights) w = unit(random);

    std::vector<float> image;
    rasterizer.forward(model, camera, shDegree, background, image);
    // A pixel where some Gaussian's alpha lies near the cut-off or the cap,
    // or where compositing is near its stop, would jump or kink under a small
    // change of the parameters: such pixels get weight 0, so the loss is
    // smooth at this point and the comparison is fair.
    const std::vector<ProjectedGaussian> visible = tessaron::testing::visibleByDepth(rasterizer.projected());
    size_t stopped = 0, capped = 0;
    for (int y = 0; y < camera.height; ++y) {
        for (int x = 0; x < camera.width; ++x) {
            bool rough = false;
            double T = 1;
            for (const ProjectedGaussian& p : visible) {
                const double alpha = tessaron::testing::alphaAt(p, x, y);
                rough |= alpha > 0.3 * Rasterizer::minAlpha && alpha < 3 * Rasterizer::minAlpha;
                if (alpha < Rasterizer::minAlpha) continue;
                rough |= alpha > Rasterizer::maxAlpha - 0.005 && alpha < Rasterizer::maxAlpha + 0.005;
                capped += alpha >= Rasterizer::maxAlpha + 0.005 ? 1 : 0;
                const double next = T * (1 - std::min(alpha, double(Rasterizer::maxAlpha)));
                rough |= next > 0.3 * Rasterizer::minTransmittance && next < 3 * Rasterizer::minTransmittance;
                if (next < Rasterizer::minTransmittance) {
                    ++stopped;
                    break;
                }
                T = next;
            }
            if (rough)
                for (int c = 0; c < 3; ++c) loss.weights[(size_t(y) * camera.width + x) * 3 + c] = 0;
        }
    }
    if (pile) {
        ASSERT_GE(stopped, 20u) << "the pile should turn pixels opaque";
        ASSERT_GE(capped, 5u) << "the pile should reach the alpha cap";
    }
    GaussianModel gradients;
    std::vector<float> norms;
    rasterizer.backward(model, camera, shDegree, background, loss.weights, gradients, norms);

    const float epsilon = 1e-3f;
    for (int group = 0; group < GaussianModel::groupCount; ++group) {
        auto g = GaussianModel::Group(group);
        // Opacities this close to one change the image by less than a
        // float's resolution when their logit moves by epsilon.
        if (pile && g == GaussianModel::opacity) continue;
        std::vector<double> analytic, numeric;
        const size_t usedRest = size_t(3 * (std::pow(shDegree + 1, 2) - 1));
        for (size_t index = 0; index < model.size(); ++index) {
            size_t width = g == GaussianModel::shRest ? usedRest : GaussianModel::widths[group];
            for (size_t k = 0; k < width; ++k) {
                float& value = model.at(g, index)[k];
                const float saved = value;
                value = saved + epsilon;
                rasterizer.forward(model, camera, shDegree, background, image);
                double plus = loss(image);
                value = saved - epsilon;
                rasterizer.forward(model, camera, shDegree, background, image);
                double minus = loss(image);
                value = saved;
                numeric.push_back((plus - minus) / (2.0 * epsilon));
                analytic.push_back(gradients.at(g, index)[k]);
            }
        }
        Agreement agreement = compare(analytic, numeric);
        EXPECT_GT(agreement.cosine, 0.9999) << groupName(group);
        EXPECT_GE(agreement.agreeingShare, 0.97) << groupName(group);
    }
}

INSTANTIATE_TEST_SUITE_P(Scenes, RendererGradient,
                         ::testing::Values(RendererScene{0, false}, RendererScene{1, false}, RendererScene{3, false},
                                           RendererScene{1, true}),
                         [](const auto& info) {
                             return "degree" + std::to_string(info.param.shDegree) +
                                    (info.param.opaquePile ? "OpaquePile" : "");
                         });

class LossGradient : public ::testing::TestWithParam<bool> {};

TEST_P(LossGradient, MatchesFiniteDifferencesWithAndWithoutMask) {
    const bool masked = GetParam();
    // Wide and tall enough for the blurs' vector paths, with tails.
    const int width = 45, height = 37;
    std::mt19937 random(11);
    std::uniform_real_distribution<float> unit(0.05f, 0.95f);
    std::vector<float> rendered(size_t(width) * height * 3), photo(rendered.size());
    for (size_t i = 0; i < rendered.size(); ++i) {
        photo[i] = unit(random);
        // Keep |rendered - photo| away from 0, where L1 has its kink.
        rendered[i] = std::clamp(photo[i] + (unit(random) > 0.5f ? 0.1f : -0.1f), 0.0f, 1.0f);
        if (std::fabs(rendered[i] - photo[i]) < 0.02f) rendered[i] = photo[i] + 0.05f;
    }
    std::vector<uint8_t> mask;
    if (masked) {
        mask.assign(size_t(width) * height, 1);
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width / 3; ++x) mask[size_t(y) * width + x] = 0;
    }
    ThreadPool pool(2);
    ImageLoss loss(pool);
    std::vector<float> gradient, scratch;
    loss.evaluate(rendered, photo, mask, width, height, gradient);

    const float epsilon = 1e-3f;
    std::vector<double> analytic, numeric;
    for (size_t i = 0; i < rendered.size(); i += 7) {
        const float saved = rendered[i];
        rendered[i] = saved + epsilon;
        double plus = loss.evaluate(rendered, photo, mask, width, height, scratch);
        rendered[i] = saved - epsilon;
        double minus = loss.evaluate(rendered, photo, mask, width, height, scratch);
        rendered[i] = saved;
        numeric.push_back((plus - minus) / (2.0 * epsilon));
        analytic.push_back(gradient[i]);
        if (masked && mask[i / 3] == 0) {
            EXPECT_EQ(gradient[i], 0.0f);
        }
    }
    // The loss is a mean over thousands of values: scale up to compare.
    for (double& value : analytic) value *= 1e3;
    for (double& value : numeric) value *= 1e3;
    Agreement agreement = compare(analytic, numeric);
    EXPECT_GT(agreement.cosine, 0.99);
    EXPECT_GE(agreement.agreeingShare, 0.9);
}

INSTANTIATE_TEST_SUITE_P(Masks, LossGradient, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "masked" : "unmasked"; });

// The loss of two images by its definition, in double precision: SSIM per
// value with an 11 x 11 Gaussian window (sigma 1.5) and zero padding.
std::pair<double, double> referenceLoss(const std::vector<float>& a, const std::vector<float>& b, int width,
                                        int height) {
    double window[11], total = 0;
    for (int i = 0; i < 11; ++i) total += window[i] = std::exp(-double((i - 5) * (i - 5)) / (2 * 1.5 * 1.5));
    for (double& w : window) w /= total;
    const double c1 = 0.01 * 0.01, c2 = 0.03 * 0.03;
    double l1 = 0, ssim = 0;
    for (int c = 0; c < 3; ++c)
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) {
                double mx = 0, my = 0, xx = 0, yy = 0, xy = 0;
                for (int dy = -5; dy <= 5; ++dy)
                    for (int dx = -5; dx <= 5; ++dx) {
                        if (x + dx < 0 || x + dx >= width || y + dy < 0 || y + dy >= height) continue;
                        const size_t i = (size_t(y + dy) * width + size_t(x + dx)) * 3 + size_t(c);
                        const double w = window[dx + 5] * window[dy + 5];
                        mx += w * a[i];
                        my += w * b[i];
                        xx += w * a[i] * a[i];
                        yy += w * b[i] * b[i];
                        xy += w * a[i] * b[i];
                    }
                ssim += (2 * mx * my + c1) * (2 * (xy - mx * my) + c2) /
                        ((mx * mx + my * my + c1) * (xx - mx * mx + yy - my * my + c2));
                const size_t i = (size_t(y) * width + size_t(x)) * 3 + size_t(c);
                l1 += std::fabs(double(a[i]) - double(b[i]));
            }
    const double values = double(width) * height * 3;
    return {0.8 * l1 / values + 0.2 * (1 - ssim / values), ssim / values};
}

TEST(LossValue, MatchesTheDefinitionAtSizesThatLeaveVectorTails) {
    std::mt19937 random(5);
    std::uniform_real_distribution<float> unit(0, 1);
    for (const auto& [width, height] : {std::pair{45, 37}, std::pair{70, 12}, std::pair{9, 40}}) {
        std::vector<float> rendered(size_t(width) * height * 3), photo(rendered.size());
        for (size_t i = 0; i < photo.size(); ++i) {
            photo[i] = unit(random);
            rendered[i] = std::clamp(photo[i] + 0.3f * (unit(random) - 0.5f), 0.0f, 1.0f);
        }
        ThreadPool pool(3);
        ImageLoss loss(pool);
        std::vector<float> gradient;
        const auto [expected, ssim] = referenceLoss(rendered, photo, width, height);
        EXPECT_NEAR(loss.evaluate(rendered, photo, {}, width, height, gradient), expected, 1e-5) << width;
        EXPECT_NEAR(loss.lastSsim(), ssim, 1e-5) << width;
    }
}

TEST(LossValue, IdenticalImagesCostNothingAndSsimIsOne) {
    const int width = 20, height = 16;
    std::vector<float> photo(size_t(width) * height * 3);
    for (size_t i = 0; i < photo.size(); ++i) photo[i] = float(i % 17) / 17.0f;
    ThreadPool pool(1);
    ImageLoss loss(pool);
    std::vector<float> gradient;
    EXPECT_NEAR(loss.evaluate(photo, photo, {}, width, height, gradient), 0.0f, 1e-5f);
    EXPECT_NEAR(loss.lastSsim(), 1.0f, 1e-5f);
}

TEST(LossValue, HeldOutPsnrIsTheMeanOfEachImagesOwn) {
    // Errors of 0.1 and 0.01 everywhere: 20 and 40 dB; pooled they would
    // give 22.97 dB. An image its mask leaves empty counts for nothing.
    const size_t values = 4 * 3;
    const std::vector<float> photo(values, 0.5f), far(values, 0.6f), near(values, 0.51f);
    ImageLoss::MeanPsnr mean;
    EXPECT_NEAR(mean.add(far, photo, {}), 20.0, 1e-4);
    EXPECT_NEAR(mean.add(near, photo, {}), 40.0, 1e-4);
    EXPECT_EQ(mean.add(far, photo, std::vector<uint8_t>(4, 0)), 0.0);
    EXPECT_NEAR(mean.value(), 30.0, 1e-4);
    EXPECT_EQ(ImageLoss::MeanPsnr().value(), 0.0);
}
