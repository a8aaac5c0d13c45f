#include "Trainer/Densifier.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>

#include "Trainer/SmallMatrix.hpp"
#include "Trainer/Tuning.hpp"

namespace tessaron::trainer {

void Densifier::resetStatistics(size_t count) {
    gradientSum_.assign(count, 0.0f);
    views_.assign(count, 0);
    maxRadius_.assign(count, 0.0f);
}

void Densifier::record(const std::vector<float>& norms, const std::vector<ProjectedGaussian>& projected,
                       core::ThreadPool& pool) {
    if (gradientSum_.size() != projected.size()) resetStatistics(projected.size());
    pool.parallelFor(projected.size(), tuning::densifierGrain, [&](size_t begin, size_t end, unsigned) {
        for (size_t index = begin; index < end; ++index) {
            if (projected[index].radius <= 0) continue;
            gradientSum_[index] += norms[index];
            views_[index] += 1;
            maxRadius_[index] = std::max(maxRadius_[index], projected[index].radius);
        }
    });
}

Densifier::Outcome Densifier::densifyAndPrune(GaussianModel& model, AdamOptimizer& optimizer, float extent,
                                              int64_t capMax, bool pruneLarge, std::mt19937_64& random) {
    const size_t count = model.size();
    if (gradientSum_.size() != count) resetStatistics(count);
    Outcome outcome;

    auto maxScale = [&](size_t index) {
        const float* s = model.at(GaussianModel::logScale, index);
        return std::exp(std::max({s[0], s[1], s[2]}));
    };

    // Candidates, largest average gradient first, as many as the cap allows.
    std::vector<uint32_t> candidates;
    for (size_t index = 0; index < count; ++index) {
        if (views_[index] > 0 && gradientSum_[index] / float(views_[index]) >= settings_.gradientThreshold)
            candidates.push_back(uint32_t(index));
    }
    const size_t room = capMax > int64_t(count) ? size_t(capMax) - count : 0;
    if (candidates.size() > room) {
        auto average = [&](uint32_t index) { return gradientSum_[index] / float(views_[index]); };
        std::stable_sort(candidates.begin(), candidates.end(),
                         [&](uint32_t a, uint32_t b) { return average(a) > average(b); });
        candidates.resize(room);
        std::sort(candidates.begin(), candidates.end());
    }

    std::vector<uint8_t> keep(count, 1);
    std::normal_distribution<float> normal(0.0f, 1.0f);
    for (uint32_t index : candidates) {
        if (maxScale(index) <= settings_.percentDense * extent) {
            model.appendCopy(model, index);
            ++outcome.cloned;
            continue;
        }
        // Two samples of the Gaussian's own distribution, each smaller.
        const float* s = model.at(GaussianModel::logScale, index);
        const float* q = model.at(GaussianModel::rotation, index);
        float norm = std::sqrt(q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3]);
        if (!(norm > 0)) norm = 1;
        Mat3 R = rotationOf(q[0] / norm, q[1] / norm, q[2] / norm, q[3] / norm);
        Vec3 scale{std::exp(s[0]), std::exp(s[1]), std::exp(s[2])};
        for (int copy = 0; copy < 2; ++copy) {
            Vec3 offset{normal(random) * scale[0], normal(random) * scale[1], normal(random) * scale[2]};
            Vec3 moved = multiply(R, offset);
            model.appendCopy(model, index);
            size_t added = model.size() - 1;
            float* p = model.at(GaussianModel::position, added);
            for (int axis = 0; axis < 3; ++axis) p[axis] += moved[axis];
            float* ls = model.at(GaussianModel::logScale, added);
            for (int axis = 0; axis < 3; ++axis) ls[axis] -= std::log(settings_.splitScaleDivisor);
        }
        keep[index] = 0;
        ++outcome.split;
    }
    optimizer.resize(model.size());
    keep.resize(model.size(), 1);

    const float minLogit = logit(settings_.minOpacity);
    for (size_t index = 0; index < model.size(); ++index) {
        bool prune = model.at(GaussianModel::opacity, index)[0] < minLogit;
        if (pruneLarge) {
            bool wasSeen = index < count;
            prune = prune || (wasSeen && maxRadius_[index] > settings_.maxScreenRadius) ||
                    maxScale(index) > settings_.maxWorldScale * extent;
        }
        if (prune && keep[index]) {
            keep[index] = 0;
            ++outcome.pruned;
        }
    }
    model.keepOnly(keep);
    optimizer.keepOnly(keep);
    resetStatistics(model.size());
    return outcome;
}

void Densifier::resetOpacity(GaussianModel& model, AdamOptimizer& optimizer) const {
    const float ceiling = logit(settings_.resetOpacity);
    for (float& value : model.values(GaussianModel::opacity)) value = std::min(value, ceiling);
    optimizer.resetGroup(GaussianModel::opacity);
}

}  // namespace tessaron::trainer
