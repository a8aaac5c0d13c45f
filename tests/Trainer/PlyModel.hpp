#pragma once

// A written Gaussian PLY read back by the format library (not by the
// engine's writer) and rendered at the held-out cameras.

#include <filesystem>
#include <vector>

#include "SplatFormats/SplatPLYSceneReader.hpp"
#include "Trainer/GaussianModel.hpp"
#include "Trainer/ImageLoss.hpp"
#include "Trainer/Rasterizer.hpp"
#include "Trainer/TrainingDataset.hpp"

namespace tessaron::testing {

inline trainer::GaussianModel readPlyModel(const std::filesystem::path& file) {
    using trainer::GaussianModel;
    auto points = splatformats::SplatPLYSceneReader(file).readAll();
    GaussianModel model;
    model.resize(points.size());
    model.setZero();
    for (size_t index = 0; index < points.size(); ++index) {
        const auto& point = points[index];
        std::copy_n(point.position.begin(), 3, model.at(GaussianModel::position, index));
        auto logScale = point.scale.asExponent();
        std::copy_n(logScale.begin(), 3, model.at(GaussianModel::logScale, index));
        float* q = model.at(GaussianModel::rotation, index);
        q[0] = point.rotation.w;
        q[1] = point.rotation.x;
        q[2] = point.rotation.y;
        q[3] = point.rotation.z;
        model.at(GaussianModel::opacity, index)[0] = point.opacity.asLogitFloat();
        auto dc = point.color.sh0();
        std::copy_n(dc.begin(), 3, model.at(GaussianModel::shDC, index));
        auto rest = point.color.higherOrderSHCoefficients();
        std::copy_n(rest.begin(), std::min<size_t>(45, rest.size()), model.at(GaussianModel::shRest, index));
    }
    return model;
}

// PSNR of `model` (all spherical-harmonic degrees, black background) over
// `images`: the mean of each image's own.
inline double renderedPsnr(const trainer::GaussianModel& model, const std::vector<trainer::TrainingImage>& images,
                           std::vector<double>* perImage = nullptr) {
    core::ThreadPool pool(2);
    trainer::Rasterizer rasterizer(pool);
    double sum = 0;
    std::vector<float> image, photo;
    for (const auto& view : images) {
        rasterizer.forward(model, view.camera, trainer::GaussianModel::maxShDegree, trainer::Vec3{0, 0, 0}, image);
        view.colours(photo);
        size_t values = 0;
        const double errors = trainer::ImageLoss::squaredErrorSum(image, photo, view.mask, values);
        const double own = trainer::ImageLoss::psnr(errors, values);
        if (perImage) perImage->push_back(own);
        sum += own;
    }
    return images.empty() ? 0.0 : sum / double(images.size());
}

}  // namespace tessaron::testing
