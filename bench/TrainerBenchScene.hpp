#pragma once

// The scene both engine benchmarks train on: a 320 × 240 view of Gaussians
// between depth 2 and 6.

#include <cmath>
#include <cstddef>
#include <random>
#include <utility>
#include <vector>

#include "Trainer/GaussianModel.hpp"
#include "Trainer/Rasterizer.hpp"
#include "Trainer/TrainingDataset.hpp"
#include "core/ThreadPool.hpp"
#include "Trainer/ViewCamera.hpp"

namespace tessaron::trainer::bench {

constexpr int width = 320, height = 240;

inline ViewCamera benchCamera() {
    ViewCamera camera;
    camera.width = width;
    camera.height = height;
    camera.fx = camera.fy = 300;
    camera.cx = width / 2.0f;
    camera.cy = height / 2.0f;
    return camera;
}

// Gaussians filling the view between depth 2 and 6, a few pixels across
// each, with colour up to degree 3: the shape of a trained small scene.
inline GaussianModel sceneGaussians(size_t count) {
    std::mt19937 random(42);
    std::uniform_real_distribution<float> unit(-1, 1);
    GaussianModel model;
    model.resize(count);
    model.setZero();
    for (size_t i = 0; i < count; ++i) {
        float* p = model.at(GaussianModel::position, i);
        p[2] = 4 + 2 * unit(random);
        p[0] = 0.55f * unit(random) * p[2];
        p[1] = 0.42f * unit(random) * p[2];
        float* s = model.at(GaussianModel::logScale, i);
        for (int k = 0; k < 3; ++k) s[k] = std::log(0.02f + 0.01f * unit(random));
        float* q = model.at(GaussianModel::rotation, i);
        for (int k = 0; k < 4; ++k) q[k] = unit(random) + (k == 0 ? 1.5f : 0.0f);
        model.at(GaussianModel::opacity, i)[0] = 0.5f * unit(random);
        for (int c = 0; c < 3; ++c) model.at(GaussianModel::shDC, i)[c] = unit(random);
        for (int k = 0; k < 45; ++k) model.at(GaussianModel::shRest, i)[k] = 0.1f * unit(random);
    }
    return model;
}

// One photo of the scene's Gaussians moved a little, so the loss is real.
inline TrainingDataset benchDataset(unsigned threads, size_t gaussians) {
    GaussianModel truth = sceneGaussians(gaussians);
    for (float& value : truth.values(GaussianModel::position)) value *= 1.01f;
    core::ThreadPool pool(threads);
    Rasterizer rasterizer(pool);
    TrainingImage image;
    image.name = "photo";
    image.camera = benchCamera();
    std::vector<float> colours;
    rasterizer.forward(truth, image.camera, 3, Vec3{0, 0, 0}, colours);
    image.setColours(colours);
    TrainingDataset dataset;
    dataset.training.push_back(std::move(image));
    dataset.extent = 5;
    return dataset;
}

}  // namespace tessaron::trainer::bench
