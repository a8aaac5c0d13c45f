#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "Trainer/GaussianModel.hpp"
#include "core/ThreadPool.hpp"

namespace tessaron::trainer {

// Adam with one learning rate per parameter group. The moments follow the
// model's Gaussians through densification: new Gaussians start from zero
// moments.
class AdamOptimizer {
public:
    static constexpr float beta1 = 0.9f;
    static constexpr float beta2 = 0.999f;
    static constexpr float epsilon = 1e-15f;

    std::array<float, GaussianModel::groupCount> learningRates{};

    void resize(size_t count);  // new Gaussians get zero moments
    void keepOnly(const std::vector<uint8_t>& keep);
    // Appends zero moments for one Gaussian.
    void appendZero();
    // Zeroes both moments of one group (all Gaussians).
    void resetGroup(GaussianModel::Group group);

    // One step: params -= lr · m̂ / (√v̂ + ε), over all groups. Colour
    // coefficients above `shDegree` are left alone: no view has used them,
    // so their gradients and moments are zero and would not move them.
    void step(GaussianModel& params, const GaussianModel& gradients, core::ThreadPool& pool, int shDegree);

    int64_t stepCount() const noexcept { return steps_; }

private:
    GaussianModel m_, v_;
    int64_t steps_ = 0;
};

}  // namespace tessaron::trainer
