#pragma once

// Small hand-made scenes for the trainer's tests: a camera looking down +z
// at a few Gaussians with random parameters.

#include <algorithm>
#include <cmath>
#include <random>

#include <vector>

#include "Trainer/GaussianModel.hpp"
#include "Trainer/GaussianProjection.hpp"
#include "Trainer/ViewCamera.hpp"

namespace tessaron::testing {

inline trainer::ViewCamera smallCamera(int width = 40, int height = 32) {
    trainer::ViewCamera camera;
    camera.width = width;
    camera.height = height;
    camera.fx = camera.fy = float(width);
    camera.cx = float(width) / 2;
    camera.cy = float(height) / 2;
    return camera;
}

// `count` Gaussians in front of smallCamera(), opacities between `minOpacity`
// and `maxOpacity`, random rotations and every spherical-harmonic coefficient
// set.
inline trainer::GaussianModel randomGaussians(size_t count, unsigned seed, float minOpacity = 0.15f,
                                              float maxOpacity = 0.3f) {
    using trainer::GaussianModel;
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> unit(-1, 1);
    std::uniform_real_distribution<float> opacity(minOpacity, maxOpacity);
    GaussianModel model;
    model.resize(count);
    for (size_t i = 0; i < count; ++i) {
        float* p = model.at(GaussianModel::position, i);
        p[2] = 3.0f + 0.8f * unit(random);
        p[0] = 0.35f * unit(random) * p[2];
        p[1] = 0.3f * unit(random) * p[2];
        float* s = model.at(GaussianModel::logScale, i);
        for (int k = 0; k < 3; ++k) s[k] = std::log(0.12f + 0.06f * unit(random));
        float* q = model.at(GaussianModel::rotation, i);
        for (int k = 0; k < 4; ++k) q[k] = unit(random) + (k == 0 ? 1.5f : 0.0f);
        const float o = opacity(random);
        model.at(GaussianModel::opacity, i)[0] = std::log(o / (1 - o));
        float* dc = model.at(GaussianModel::shDC, i);
        for (int c = 0; c < 3; ++c) dc[c] = 0.8f * unit(random);
        float* rest = model.at(GaussianModel::shRest, i);
        for (int k = 0; k < 45; ++k) rest[k] = 0.15f * unit(random);
    }
    return model;
}

// Cameras on an arc around the origin, looking at it from 3 units away.
inline trainer::ViewCamera arcCamera(int index, int count, int width, int height) {
    trainer::ViewCamera camera = smallCamera(width, height);
    float angle = -0.5f + float(index) / float(std::max(1, count - 1));
    // The camera's viewing axis in the world (the rotation's last row) points
    // from its centre to the origin.
    float c = std::cos(angle), s = std::sin(angle);
    camera.rotation = {c, 0, s, 0, 1, 0, -s, 0, c};
    trainer::Vec3 centre{3 * s, 0, -3 * c};
    trainer::Vec3 rc = trainer::multiply(camera.rotation, centre);
    camera.translation = {-rc[0], -rc[1], -rc[2]};
    return camera;
}

inline trainer::GaussianModel groundTruth(size_t count, unsigned seed) {
    trainer::GaussianModel model = randomGaussians(count, seed, 0.6f, 0.95f);
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> unit(-1, 1);
    for (size_t i = 0; i < count; ++i) {
        float* p = model.at(trainer::GaussianModel::position, i);
        p[0] = 0.8f * unit(random);
        p[1] = 0.6f * unit(random);
        p[2] = 0.8f * unit(random);
        std::fill_n(model.at(trainer::GaussianModel::shRest, i), 45, 0.0f);
    }
    return model;
}

// For the plainest renderer: the projected Gaussians drawn, front to back.
inline std::vector<trainer::ProjectedGaussian> visibleByDepth(const std::vector<trainer::ProjectedGaussian>& projected) {
    std::vector<trainer::ProjectedGaussian> visible;
    for (const trainer::ProjectedGaussian& p : projected)
        if (p.radius > 0) visible.push_back(p);
    std::stable_sort(visible.begin(), visible.end(), [](const trainer::ProjectedGaussian& a,
                                                        const trainer::ProjectedGaussian& b) { return a.depth < b.depth; });
    return visible;
}

// A projected Gaussian's alpha, uncapped, at the centre of pixel (x, y).
inline double alphaAt(const trainer::ProjectedGaussian& p, int x, int y) {
    const double dx = x + 0.5 - p.meanX, dy = y + 0.5 - p.meanY;
    return p.opacity * std::exp(-0.5 * (p.conicA * dx * dx + p.conicC * dy * dy) - p.conicB * dx * dy);
}

}  // namespace tessaron::testing
