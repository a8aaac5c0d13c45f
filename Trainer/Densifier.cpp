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

void Densifier::grow(GaussianModel& model, uint32_t index, bool mustSplit, float extent, std::mt19937_64& random,
                     Outcome& outcome) {
    // A small Gaussian is cloned; a large one is split and its original dropped.
    if (!mustSplit && largestScale(model, index) <= settings_.percentDense * extent) {
        model.appendCopy(model, index);
        ++outcome.cloned;
        return;
    }
    appendSplit(model, index, random);
    keep_[index] = 0;
    ++outcome.split;
}

void Densifier::appendSplit(GaussianModel& model, size_t index, std::mt19937_64& random) const {
    // Two samples of the Gaussian's own distribution, each smaller.
    std::normal_distribution<float> normal(0.0f, 1.0f);
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
}

float Densifier::largestScale(const GaussianModel& model, size_t index) {
    const float* s = model.at(GaussianModel::logScale, index);
    return std::exp(std::max({s[0], s[1], s[2]}));
}

Densifier::Outcome Densifier::densifyAndPrune(GaussianModel& model, AdamOptimizer& optimizer, float extent,
                                              int64_t capMax, bool pruneLarge, std::mt19937_64& random) {
    const size_t count = model.size();
    if (gradientSum_.size() != count) resetStatistics(count);
    const size_t cap = size_t(std::max<int64_t>(capMax, 0));
    const float minLogit = logit(settings_.minOpacity);
    auto average = [&](uint32_t index) { return gradientSum_[index] / float(views_[index]); };
    auto faint = [&](size_t index) { return model.at(GaussianModel::opacity, index)[0] < minLogit; };
    auto large = [&](size_t index) {
        return maxRadius_[index] > settings_.maxScreenRadius ||
               largestScale(model, index) > settings_.maxWorldScale * extent;
    };

    std::vector<uint32_t> candidates, oversized;
    for (size_t index = 0; index < count; ++index) {
        if (views_[index] > 0 && average(uint32_t(index)) >= settings_.gradientThreshold)
            candidates.push_back(uint32_t(index));
        else if (pruneLarge && !faint(index) && large(index))
            oversized.push_back(uint32_t(index));
    }
    // The cap binds when it leaves no room to grow every candidate and to
    // regrow what deleting the oversized Gaussians takes away. Then a
    // deleted Gaussian leaves a hole that nothing can fill: a capped model
    // covers the scene with few large Gaussians, and deleting those after an
    // opacity reset used to take most of the model at once.
    Outcome outcome = count + candidates.size() + oversized.size() > cap
                          ? densifyUnderCap(model, candidates, oversized, extent, pruneLarge, cap, random)
                          : densifyFreely(model, candidates, extent, pruneLarge, cap, random);
    optimizer.resize(model.size());
    model.keepOnly(keep_);
    optimizer.keepOnly(keep_);
    resetStatistics(model.size());
    return outcome;
}

Densifier::Outcome Densifier::densifyFreely(GaussianModel& model, const std::vector<uint32_t>& candidates,
                                            float extent, bool pruneLarge, size_t cap, std::mt19937_64& random) {
    const size_t count = model.size();
    Outcome outcome;
    keep_.assign(count, 1);
    for (uint32_t index : candidates) grow(model, index, false, extent, random, outcome);
    keep_.resize(model.size(), 1);

    const float minLogit = logit(settings_.minOpacity);
    std::vector<uint32_t> pruned;
    for (size_t index = 0; index < model.size(); ++index) {
        bool prune = model.at(GaussianModel::opacity, index)[0] < minLogit;
        if (pruneLarge) {
            bool wasSeen = index < count;
            prune = prune || (wasSeen && maxRadius_[index] > settings_.maxScreenRadius) ||
                    largestScale(model, index) > settings_.maxWorldScale * extent;
        }
        if (prune && keep_[index]) pruned.push_back(uint32_t(index));
    }
    // Never more than a quarter of the cap lost in one pass: the faintest
    // go first, then the largest.
    const size_t grown = model.size() - count - outcome.split;  // net of the split parents
    const size_t limit = cap / 4 + grown;
    if (pruned.size() > limit) {
        auto opacity = [&](uint32_t index) { return model.at(GaussianModel::opacity, index)[0]; };
        std::stable_sort(pruned.begin(), pruned.end(), [&](uint32_t a, uint32_t b) {
            bool faintA = opacity(a) < minLogit, faintB = opacity(b) < minLogit;
            if (faintA != faintB) return faintA;
            if (faintA) return opacity(a) < opacity(b);
            return largestScale(model, a) > largestScale(model, b);
        });
        pruned.resize(limit);
    }
    for (uint32_t index : pruned) keep_[index] = 0;
    outcome.pruned = pruned.size();
    return outcome;
}

Densifier::Outcome Densifier::densifyUnderCap(GaussianModel& model, std::vector<uint32_t> candidates,
                                              const std::vector<uint32_t>& oversized, float extent,
                                              bool pruneLarge, size_t cap, std::mt19937_64& random) {
    const size_t count = model.size();
    const float minLogit = logit(settings_.minOpacity);
    auto opacity = [&](uint32_t index) { return model.at(GaussianModel::opacity, index)[0]; };
    Outcome outcome;
    keep_.assign(count, 1);

    // The transparent Gaussians make the room, faintest first and at most a
    // quarter of the cap: what one pass takes, the following ones regrow.
    std::vector<uint32_t> faint;
    for (size_t index = 0; index < count; ++index)
        if (opacity(uint32_t(index)) < minLogit) faint.push_back(uint32_t(index));
    std::stable_sort(faint.begin(), faint.end(), [&](uint32_t a, uint32_t b) { return opacity(a) < opacity(b); });
    faint.resize(std::min(faint.size(), cap / 4));
    for (uint32_t index : faint) keep_[index] = 0;
    outcome.pruned = faint.size();
    const size_t remaining = count - faint.size();
    const size_t room = cap > remaining ? cap - remaining : 0;

    // The room is filled at once, so the cap stays full: the Gaussians with
    // the largest gradients grow first, then the oversized ones split into
    // smaller ones instead of being deleted (those that find no room stay).
    // A transparent Gaussian that grows only fills the room with more of it.
    std::erase_if(candidates, [&](uint32_t index) { return opacity(index) < minLogit; });
    std::stable_sort(candidates.begin(), candidates.end(), [&](uint32_t a, uint32_t b) {
        return gradientSum_[a] / float(views_[a]) > gradientSum_[b] / float(views_[b]);
    });
    // An oversized Gaussian splits even where its world size would have it
    // cloned: a copy would only double it.
    std::vector<uint8_t> splits(count, 0);
    for (uint32_t index : oversized) splits[index] = 1;
    if (pruneLarge)
        for (uint32_t index : candidates)
            splits[index] = maxRadius_[index] > settings_.maxScreenRadius ||
                             largestScale(model, index) > settings_.maxWorldScale * extent;
    std::vector<uint32_t> growing = std::move(candidates);
    if (growing.size() < room) {
        std::vector<uint32_t> largest = oversized;
        std::stable_sort(largest.begin(), largest.end(),
                         [&](uint32_t a, uint32_t b) { return maxRadius_[a] > maxRadius_[b]; });
        largest.resize(std::min(largest.size(), room - growing.size()));
        growing.insert(growing.end(), largest.begin(), largest.end());
    }
    growing.resize(std::min(growing.size(), room));
    std::sort(growing.begin(), growing.end());

    for (uint32_t index : growing) grow(model, index, splits[index], extent, random, outcome);
    keep_.resize(model.size(), 1);
    return outcome;
}

void Densifier::resetOpacity(GaussianModel& model, AdamOptimizer& optimizer) const {
    const float ceiling = logit(settings_.resetOpacity);
    for (float& value : model.values(GaussianModel::opacity)) value = std::min(value, ceiling);
    optimizer.resetGroup(GaussianModel::opacity);
}

}  // namespace tessaron::trainer
