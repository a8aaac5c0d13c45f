#include "Trainer/AdamOptimizer.hpp"

#include <algorithm>
#include <cmath>

#include "Trainer/TargetClones.hpp"
#include "Trainer/Tuning.hpp"

namespace tessaron::trainer {

void AdamOptimizer::resize(size_t count) {
    size_t old = m_.size();
    m_.resize(count);
    v_.resize(count);
    for (int group = 0; group < GaussianModel::groupCount; ++group) {
        auto g = GaussianModel::Group(group);
        size_t from = std::min(old, count) * GaussianModel::widths[group];
        std::fill(m_.values(g).begin() + from, m_.values(g).end(), 0.0f);
        std::fill(v_.values(g).begin() + from, v_.values(g).end(), 0.0f);
    }
}

void AdamOptimizer::keepOnly(const std::vector<uint8_t>& keep) {
    m_.keepOnly(keep);
    v_.keepOnly(keep);
}

void AdamOptimizer::appendZero() { resize(m_.size() + 1); }

void AdamOptimizer::resetGroup(GaussianModel::Group group) {
    std::fill(m_.values(group).begin(), m_.values(group).end(), 0.0f);
    std::fill(v_.values(group).begin(), v_.values(group).end(), 0.0f);
}

namespace {

// One Adam update of `count` values; the arrays never overlap, which lets
// the loop run in vector registers.
TESSARON_AVX2_CLONES void update(
    float* __restrict p, const float* __restrict grad, float* __restrict m, float* __restrict v, size_t count,
    float rate, float root2) {
    constexpr float beta1 = AdamOptimizer::beta1, beta2 = AdamOptimizer::beta2, epsilon = AdamOptimizer::epsilon;
    for (size_t i = 0; i < count; ++i) {
        m[i] = beta1 * m[i] + (1 - beta1) * grad[i];
        v[i] = beta2 * v[i] + (1 - beta2) * grad[i] * grad[i];
        p[i] -= rate * m[i] / (std::sqrt(v[i]) / root2 + epsilon);
    }
}

}  // namespace

void AdamOptimizer::step(GaussianModel& params, const GaussianModel& gradients, core::ThreadPool& pool,
                         int shDegree) {
    if (m_.size() != params.size()) resize(params.size());
    ++steps_;
    const float correction1 = 1.0f - std::pow(beta1, float(steps_));
    const float correction2 = 1.0f - std::pow(beta2, float(steps_));
    const float root2 = std::sqrt(correction2);
    // One loop over the Gaussians for all groups: one hand-off to the
    // workers per step, in chunks small enough to keep them all busy.
    pool.parallelFor(params.size(), tuning::adamGrain, [&](size_t begin, size_t end, unsigned) {
        for (int group = 0; group < GaussianModel::groupCount; ++group) {
            const auto g = GaussianModel::Group(group);
            const size_t width = GaussianModel::widths[group];
            const float rate = learningRates[group] / correction1;
            // Colour coefficients above the degree have no gradient yet and
            // zero moments, so an update would leave them as they are.
            const size_t used = g == GaussianModel::shRest ? GaussianModel::restWidth(shDegree) : width;
            if (used == width) {
                update(params.at(g, begin), gradients.at(g, begin), m_.at(g, begin), v_.at(g, begin),
                       (end - begin) * width, rate, root2);
                continue;
            }
            for (size_t index = begin; index < end && used > 0; ++index)
                update(params.at(g, index), gradients.at(g, index), m_.at(g, index), v_.at(g, index), used, rate,
                       root2);
        }
    });
}

}  // namespace tessaron::trainer
