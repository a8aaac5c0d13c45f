// The projection of Gaussians eight at a time (the renderer's path) against
// the same arithmetic one Gaussian at a time, over Gaussians that take every
// per-lane branch: behind the camera, outside the frustum's margin, without a
// rotation, with scales too small or too large, with colour clamped at 0.
// Also the lane arithmetic it is made of, against the C library.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "Trainer/GaussianProjection.hpp"
#include "Trainer/Lanes.hpp"
#include "Trainer/SphericalHarmonics.hpp"
#include "TrainerTestScenes.hpp"

using namespace tessaron::trainer;
using tessaron::testing::randomGaussians;
using tessaron::testing::smallCamera;

namespace {

// Ways a Gaussian can meet the projection's per-lane conditions.
enum class Kind {
    plain,
    behindTheCamera,
    insideTheNearPlane,
    farRightOfTheView,  // the Jacobian clamped in x
    farBelowTheView,    // and in y
    zeroRotation,
    tinyScales,
    scalesOverflowing,  // the covariance is not finite
    largeScales,
    negativeColour,  // every channel clamped at 0
    notANumber,
    kindCount
};

ViewCamera turnedCamera() {
    ViewCamera camera = smallCamera();
    camera.rotation = rotationOf(0.99f, 0.06f, -0.1f, 0.03f);
    camera.translation = {0.1f, -0.05f, 0.2f};
    return camera;
}

Kind kindOf(size_t index) { return Kind((index * 5) % size_t(Kind::kindCount)); }

// 45 Gaussians (five batches and a tail of five), each kind at several lanes.
GaussianModel mixedGaussians(const ViewCamera& camera) {
    GaussianModel model = randomGaussians(45, 11);
    for (size_t i = 0; i < model.size(); ++i) {
        float* p = model.at(GaussianModel::position, i);
        float* s = model.at(GaussianModel::logScale, i);
        float* q = model.at(GaussianModel::rotation, i);
        // Where the camera sees it.
        Vec3 seen{p[0], p[1], p[2]};
        switch (kindOf(i)) {
            case Kind::plain: break;
            case Kind::behindTheCamera: seen[2] = -2; break;
            case Kind::insideTheNearPlane: seen[2] = 0.5f * GaussianProjection::nearPlane; break;
            case Kind::farRightOfTheView: seen[0] = 2.5f * seen[2]; break;
            case Kind::farBelowTheView: seen[1] = -1.8f * seen[2]; seen[0] = -1.1f * seen[2]; break;
            case Kind::zeroRotation: std::fill_n(q, 4, 0.0f); break;
            case Kind::tinyScales: std::fill_n(s, 3, -30.0f); break;
            case Kind::scalesOverflowing: s[1] = 50; break;
            case Kind::largeScales: s[0] = 2.5f; break;
            case Kind::negativeColour: std::fill_n(model.at(GaussianModel::shDC, i), 3, -4.0f); break;
            case Kind::notANumber: seen[0] = std::numeric_limits<float>::quiet_NaN(); break;
            case Kind::kindCount: break;
        }
        const Vec3 world = multiplyTransposed(camera.rotation, seen - camera.translation);
        std::copy_n(world.data(), 3, p);
    }
    return model;
}

// The two paths run the same operations in the same order, without fused
// multiply-adds: they agree to the bit.
void expectSame(const ProjectedGaussian& batch, const ProjectedGaussian& single, const std::string& what) {
    EXPECT_EQ(batch.meanX, single.meanX) << what;
    EXPECT_EQ(batch.meanY, single.meanY) << what;
    EXPECT_EQ(batch.conicA, single.conicA) << what;
    EXPECT_EQ(batch.conicB, single.conicB) << what;
    EXPECT_EQ(batch.conicC, single.conicC) << what;
    EXPECT_EQ(batch.opacity, single.opacity) << what;
    for (int c = 0; c < 3; ++c) EXPECT_EQ(batch.colour[c], single.colour[c]) << what;
    EXPECT_EQ(batch.depth, single.depth) << what;
    EXPECT_EQ(batch.radius, single.radius) << what;
}

const char* const groupNames[] = {"position", "logScale", "rotation", "opacity", "shDC", "shRest"};

}  // namespace

class BatchProjection : public ::testing::TestWithParam<int> {};

TEST_P(BatchProjection, AgreesWithOneGaussianAtATime) {
    const int shDegree = GetParam();
    const ViewCamera camera = turnedCamera();
    const GaussianModel model = mixedGaussians(camera);
    const Vec3 centre = camera.centre();
    // One more than asked: what lies beyond stays as it was.
    std::vector<ProjectedGaussian> batch(model.size() + 1);
    batch.back().radius = -7;
    GaussianProjection::projectBatch(model, 0, model.size(), camera, centre, shDegree, batch.data());
    EXPECT_EQ(batch.back().radius, -7);

    int visible = 0;
    for (size_t i = 0; i < model.size(); ++i) {
        ProjectedGaussian single;
        const bool drawn = GaussianProjection::project(model, i, camera, centre, shDegree, single);
        const ProjectedGaussian& b = batch[i];
        const std::string what = "Gaussian " + std::to_string(i);
        const Kind kind = kindOf(i);
        const bool expectedDrawn = kind != Kind::behindTheCamera && kind != Kind::insideTheNearPlane &&
                                   kind != Kind::zeroRotation && kind != Kind::scalesOverflowing &&
                                   kind != Kind::notANumber;
        EXPECT_EQ(drawn, expectedDrawn) << what;
        EXPECT_EQ(b.radius > 0, drawn) << what;
        if (!drawn) {
            EXPECT_EQ(single.radius, 0) << what;
            EXPECT_EQ(b.radius, 0) << what;
            continue;
        }
        ++visible;
        expectSame(b, single, what);
        for (int c = 0; c < 3; ++c) {
            EXPECT_GE(b.colour[c], 0) << what;
            if (kind == Kind::negativeColour && shDegree == 0) {
                EXPECT_EQ(b.colour[c], 0) << what;
            }
        }
    }
    EXPECT_GE(visible, 25);
}

TEST_P(BatchProjection, BackwardAgreesWithOneGaussianAtATime) {
    const int shDegree = GetParam();
    const ViewCamera camera = turnedCamera();
    const GaussianModel model = mixedGaussians(camera);
    const Vec3 centre = camera.centre();
    std::mt19937 random(5 + unsigned(shDegree));
    std::uniform_real_distribution<float> unit(-1, 1);

    // Every other Gaussian, in shuffled order: batches gather scattered
    // Gaussians, and the others must stay untouched.
    std::vector<size_t> indices;
    for (size_t i = 0; i < model.size(); i += 2) indices.push_back(i);
    std::shuffle(indices.begin(), indices.end(), random);
    std::vector<ProjectedGradient> incoming(indices.size());
    for (ProjectedGradient& g : incoming) {
        g = {unit(random), unit(random), unit(random), unit(random), unit(random), unit(random),
             {unit(random), unit(random), unit(random)}};
    }

    // Gradients are added to what is there.
    GaussianModel single, batch;
    single.resize(model.size());
    for (int group = 0; group < GaussianModel::groupCount; ++group)
        for (float& value : single.values(GaussianModel::Group(group))) value = 0.25f;
    batch = single;
    std::vector<float> singleNorms(indices.size()), batchNorms(indices.size() + 1, -7.0f);
    for (size_t k = 0; k < indices.size(); ++k)
        singleNorms[k] = GaussianProjection::backward(model, indices[k], camera, centre, shDegree, incoming[k], single);
    GaussianProjection::backwardBatch(model, indices.data(), indices.size(), camera, centre, shDegree,
                                      incoming.data(), batch, batchNorms.data());
    EXPECT_EQ(batchNorms.back(), -7.0f);

    const size_t usedRest = size_t(SphericalHarmonics::coefficientCount(shDegree) - 1) * 3;
    for (int group = 0; group < GaussianModel::groupCount; ++group) {
        const auto g = GaussianModel::Group(group);
        for (size_t i = 0; i < model.size(); ++i) {
            const bool gathered = std::find(indices.begin(), indices.end(), i) != indices.end();
            for (size_t k = 0; k < GaussianModel::widths[group]; ++k) {
                const std::string what = std::string(groupNames[group]) + " of Gaussian " + std::to_string(i) +
                                         " value " + std::to_string(k);
                if (!gathered || (g == GaussianModel::shRest && k >= usedRest)) {
                    EXPECT_EQ(batch.at(g, i)[k], 0.25f) << what;
                } else {
                    EXPECT_EQ(batch.at(g, i)[k], single.at(g, i)[k]) << what;
                }
            }
        }
    }
    for (size_t k = 0; k < indices.size(); ++k) {
        const size_t i = indices[k];
        EXPECT_EQ(batchNorms[k], singleNorms[k]) << i;
        ProjectedGaussian projected;
        if (!GaussianProjection::project(model, i, camera, centre, shDegree, projected)) {
            // Gaussians not drawn pass nothing and report no gradient.
            EXPECT_EQ(batchNorms[k], 0) << i;
            for (int group = 0; group < GaussianModel::shRest; ++group)
                EXPECT_EQ(batch.at(GaussianModel::Group(group), i)[0], 0.25f) << groupNames[group] << " of " << i;
        } else if (kindOf(i) == Kind::negativeColour && shDegree == 0) {
            // A channel clamped at 0 passes no gradient to its colour.
            for (int c = 0; c < 3; ++c) EXPECT_EQ(batch.at(GaussianModel::shDC, i)[c], 0.25f) << i;
        } else {
            EXPECT_GT(batchNorms[k], 0) << i;
        }
    }
}

TEST_P(BatchProjection, ABatchOfOneMatchesTheScalarPath) {
    const int shDegree = GetParam();
    const GaussianModel model = randomGaussians(3, 2);
    const ViewCamera camera = turnedCamera();
    ProjectedGaussian single, batch;
    ASSERT_TRUE(GaussianProjection::project(model, 2, camera, camera.centre(), shDegree, single));
    GaussianProjection::projectBatch(model, 2, 1, camera, camera.centre(), shDegree, &batch);
    expectSame(batch, single, "Gaussian 2");

    // Nothing at all to do is no fault either.
    GaussianProjection::projectBatch(model, 0, 0, camera, camera.centre(), shDegree, nullptr);
    GaussianModel gradients;
    gradients.resize(3);
    gradients.setZero();
    GaussianProjection::backwardBatch(model, nullptr, 0, camera, camera.centre(), shDegree, nullptr, gradients,
                                      nullptr);
    for (float value : gradients.values(GaussianModel::position)) EXPECT_EQ(value, 0);
}

INSTANTIATE_TEST_SUITE_P(ShDegrees, BatchProjection, ::testing::Values(0, 1, 2, 3),
                         [](const auto& info) { return "degree" + std::to_string(info.param); });

// A Gaussian with axis-aligned scales, seen by an unturned camera: its image
// has a covariance in closed form, J diag(s²) Jᵀ plus the dilation.
TEST(GaussianProjection, AxisAlignedGaussianProjectsToItsClosedForm) {
    const ViewCamera camera = smallCamera();
    GaussianModel model = randomGaussians(1, 3);
    const double x = 0.4, y = -0.3, z = 2.5, sx = 0.2, sy = 0.1, sz = 0.3;
    std::copy_n(std::array<float, 3>{float(x), float(y), float(z)}.data(), 3, model.at(GaussianModel::position, 0));
    std::copy_n(std::array<float, 3>{float(std::log(sx)), float(std::log(sy)), float(std::log(sz))}.data(), 3,
                model.at(GaussianModel::logScale, 0));
    std::copy_n(std::array<float, 4>{2, 0, 0, 0}.data(), 4, model.at(GaussianModel::rotation, 0));
    model.at(GaussianModel::opacity, 0)[0] = 0.5f;
    std::copy_n(std::array<float, 3>{0.3f, -0.2f, -3.0f}.data(), 3, model.at(GaussianModel::shDC, 0));

    ProjectedGaussian p;
    GaussianProjection::projectBatch(model, 0, 1, camera, camera.centre(), 0, &p);
    const double fx = camera.fx, fy = camera.fy;
    const double j00 = fx / z, j02 = -fx * x / (z * z), j11 = fy / z, j12 = -fy * y / (z * z);
    const double a = j00 * j00 * sx * sx + j02 * j02 * sz * sz + GaussianProjection::dilation;
    const double b = j02 * j12 * sz * sz;
    const double c = j11 * j11 * sy * sy + j12 * j12 * sz * sz + GaussianProjection::dilation;
    const double det = a * c - b * b;
    EXPECT_NEAR(p.meanX, fx * x / z + camera.cx, 1e-4);
    EXPECT_NEAR(p.meanY, fy * y / z + camera.cy, 1e-4);
    EXPECT_NEAR(p.conicA, c / det, 1e-5 * c / det);
    EXPECT_NEAR(p.conicB, -b / det, 1e-5 * c / det);
    EXPECT_NEAR(p.conicC, a / det, 1e-5 * a / det);
    EXPECT_NEAR(p.depth, z, 1e-6);
    EXPECT_NEAR(p.opacity, 1 / (1 + std::exp(-0.5)), 1e-7);
    const double largest = 0.5 * (a + c) + std::sqrt(std::max(0.1, 0.25 * (a + c) * (a + c) - det));
    EXPECT_EQ(p.radius, std::ceil(3 * std::sqrt(largest)));
    EXPECT_NEAR(p.colour[0], 0.5 + SphericalHarmonics::c0 * 0.3, 1e-6);
    EXPECT_NEAR(p.colour[1], 0.5 - SphericalHarmonics::c0 * 0.2, 1e-6);
    EXPECT_EQ(p.colour[2], 0);
}

// e^x as the projection computes it, against the C library: within a few
// units in the last place where the result is a normal float, and the
// right limits beyond.
TEST(LaneArithmetic, ExponentialMatchesTheLibrary) {
    double worst = 0;
    for (float x = -87.0f; x <= 88.5f; x += 0.00731f) {
        const double exact = std::exp(double(x));
        worst = std::max(worst, std::fabs(double(lanes::exponential(x)) - exact) / exact);
    }
    EXPECT_LT(worst, 3e-7);
    for (float x : {-1e-8f, 0.0f, 1e-8f, 1.0f, -1.0f, 0.5f * float(M_LN2), -0.5f * float(M_LN2)})
        EXPECT_NEAR(lanes::exponential(x), std::exp(x), 2.5e-7f * std::exp(x)) << x;
    EXPECT_EQ(lanes::exponential(0.0f), 1.0f);
    // Subnormal results, underflow to 0, overflow to infinity, NaN kept.
    EXPECT_NEAR(lanes::exponential(-95.0f), std::exp(-95.0f), 1e-3f * std::exp(-95.0f));
    EXPECT_EQ(lanes::exponential(-110.0f), 0.0f);
    EXPECT_EQ(lanes::exponential(-std::numeric_limits<float>::infinity()), 0.0f);
    EXPECT_EQ(lanes::exponential(90.0f), std::numeric_limits<float>::infinity());
    EXPECT_EQ(lanes::exponential(std::numeric_limits<float>::infinity()), std::numeric_limits<float>::infinity());
    EXPECT_TRUE(std::isnan(lanes::exponential(std::numeric_limits<float>::quiet_NaN())));
    EXPECT_NEAR(sigmoid(0.0f), 0.5f, 1e-7f);
    EXPECT_EQ(sigmoid(-200.0f), 0.0f);
    EXPECT_EQ(sigmoid(200.0f), 1.0f);
}

TEST(LaneArithmetic, CeilingAndFinitenessMatchTheLibrary) {
    for (float value : {0.0f, 0.25f, 1.0f, 1.0000001f, 2.5f, 3.999999f, 4194303.5f, 4194304.0f, 1e9f, -0.75f, -2.0f})
        EXPECT_EQ(lanes::ceiling(value), std::ceil(value)) << value;
    const float infinity = std::numeric_limits<float>::infinity();
    EXPECT_EQ(lanes::ceiling(infinity), infinity);
    EXPECT_TRUE(lanes::isFinite(std::numeric_limits<float>::max()));
    EXPECT_TRUE(lanes::isFinite(-std::numeric_limits<float>::denorm_min()));
    EXPECT_FALSE(lanes::isFinite(infinity));
    EXPECT_FALSE(lanes::isFinite(-infinity));
    EXPECT_FALSE(lanes::isFinite(std::numeric_limits<float>::quiet_NaN()));
}

// log2 as the tiles' packing computes it (there in eight lanes, the same
// arithmetic), against the C library, over the opacities a Gaussian can
// have and the ends of the mantissa's two ranges.
TEST(LaneArithmetic, BaseTwoLogarithmMatchesTheLibrary) {
    // In units of the result's size (at least 1): a float result carries
    // about 6e-8 of it.
    double worst = 0;
    const auto check = [&](float x) {
        const double exact = std::log2(double(x));
        worst = std::max(worst, std::fabs(double(lanes::logarithm2(x)) - exact) / std::max(1.0, std::fabs(exact)));
    };
    for (float x = 1e-30f; x <= 1.0f; x *= 1.0137f) check(x);
    for (float x : {0.70710678f, 0.70710683f, 1.41421354f, 1.41421366f, 0.5f, 0.25f, 0.999999f}) check(x);
    EXPECT_LT(worst, 3e-7);
    EXPECT_EQ(lanes::logarithm2(1.0f), 0.0f);
    EXPECT_EQ(lanes::logarithm2(0.0f), -127.0f);
}
