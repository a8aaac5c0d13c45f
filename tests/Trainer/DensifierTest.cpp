// One densification pass at a time, on hand-made Gaussians and statistics:
// what a binding cap lets the pass take and what it must leave.
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <random>

#include "Trainer/Densifier.hpp"
#include "Trainer/SmallMatrix.hpp"

using namespace tessaron::trainer;
using tessaron::core::ThreadPool;

namespace {

// What one Gaussian is made of here; every Gaussian gets its own colour, by
// which it (or the halves it splits into) can be found after the pass.
struct Kind {
    float opacity = 0.5f;
    float scale = 0.005f;   // of an extent of 1: clone-sized
    float gradient = 0;     // per view; the threshold is 0.0002
    float radius = 5;       // pixels on screen; large above 20
};

struct Pass {
    GaussianModel model;
    AdamOptimizer optimizer;
    Densifier densifier;
    std::mt19937_64 random{11};

    explicit Pass(const std::vector<Kind>& kinds, unsigned threads = 2) {
        model.resize(kinds.size());
        model.setZero();
        std::vector<float> norms(kinds.size());
        std::vector<ProjectedGaussian> projected(kinds.size());
        for (size_t index = 0; index < kinds.size(); ++index) {
            float* p = model.at(GaussianModel::position, index);
            p[0] = 0.01f * float(index % 37);
            p[1] = 0.01f * float(index / 37);
            p[2] = 2;
            for (int axis = 0; axis < 3; ++axis) model.at(GaussianModel::logScale, index)[axis] = std::log(kinds[index].scale);
            model.at(GaussianModel::rotation, index)[0] = 1;
            model.at(GaussianModel::opacity, index)[0] = logit(kinds[index].opacity);
            model.at(GaussianModel::shDC, index)[0] = float(index);
            norms[index] = kinds[index].gradient;
            projected[index].radius = kinds[index].radius;
        }
        optimizer.resize(model.size());
        ThreadPool pool(threads);
        densifier.record(norms, projected, pool);
    }

    Densifier::Outcome run(int64_t cap, bool pruneLarge = true) {
        return densifier.densifyAndPrune(model, optimizer, 1.0f, cap, pruneLarge, random);
    }

    // How many Gaussians carry the colour of original Gaussian `index`.
    std::map<int, int> descendants() const {
        std::map<int, int> count;
        for (size_t index = 0; index < model.size(); ++index)
            ++count[int(std::lround(model.at(GaussianModel::shDC, index)[0]))];
        return count;
    }
};

const Kind faint{.opacity = 0.001f};
const Kind opaque{};
const Kind large{.scale = 0.2f, .radius = 60};
const Kind growing{.gradient = 0.01f};

std::vector<Kind> kinds(std::initializer_list<std::pair<size_t, Kind>> runs) {
    std::vector<Kind> all;
    for (const auto& [count, kind] : runs) all.insert(all.end(), count, kind);
    return all;
}

}  // namespace

// After an opacity reset most of a capped model can be transparent at once;
// the pass takes at most a quarter of the cap, bound or not, faintest first.
struct QuarterCase {
    int64_t cap;
    size_t removed, size;
};
void PrintTo(const QuarterCase& c, std::ostream* out) { *out << "cap " << c.cap; }
class DensifierQuarter : public ::testing::TestWithParam<QuarterCase> {};

TEST_P(DensifierQuarter, OnePassNeverTakesMoreThanAQuarterOfTheCap) {
    const QuarterCase expected = GetParam();
    // 300 transparent ones (the faintest first), 20 that ask to grow.
    std::vector<Kind> all = kinds({{300, faint}, {20, growing}, {80, opaque}});
    for (size_t index = 0; index < 300; ++index) all[index].opacity = 0.0001f + 0.00001f * float(index);
    Pass pass(all);
    Densifier::Outcome outcome = pass.run(expected.cap);
    EXPECT_EQ(outcome.pruned, expected.removed);
    EXPECT_EQ(outcome.cloned, 20u);
    EXPECT_EQ(pass.model.size(), expected.size);
    EXPECT_GE(pass.model.size(), size_t(400 - expected.cap / 4));
    auto kept = pass.descendants();
    for (int index = 0; index < 300; ++index) EXPECT_EQ(kept.count(index), size_t(index) < expected.removed ? 0u : 1u) << index;
}

// 400: the model fills the cap, whose room is refilled at once; 1000: room
// for everything, and the growth counts against the quarter.
INSTANTIATE_TEST_SUITE_P(BoundAndFree, DensifierQuarter,
                         ::testing::Values(QuarterCase{400, 100, 320}, QuarterCase{1000, 270, 150}));

TEST(Densifier, UnderABindingCapLargeGaussiansSplitIntoTheRoomOfTheFaintOnes) {
    // 50 large (the largest on screen last), 40 transparent, 110 small: the
    // cap of 200 is full.
    std::vector<Kind> all = kinds({{50, large}, {40, faint}, {110, opaque}});
    for (size_t index = 0; index < 50; ++index) all[index].radius = 21.0f + float(index);
    Pass pass(all);
    Densifier::Outcome outcome = pass.run(200);

    EXPECT_EQ(pass.model.size(), 200u) << "the room of the transparent ones is filled at once";
    EXPECT_EQ(outcome.pruned, 40u);
    EXPECT_EQ(outcome.split, 40u);
    auto kept = pass.descendants();
    for (int index = 0; index < 50; ++index) {
        SCOPED_TRACE(index);
        // The 40 largest on screen split in two; none is simply deleted.
        EXPECT_EQ(kept[index], index >= 10 ? 2 : 1);
    }
    for (int index = 50; index < 90; ++index) EXPECT_EQ(kept.count(index), 0u);
    for (size_t index = 0; index < pass.model.size(); ++index) {
        int origin = int(std::lround(pass.model.at(GaussianModel::shDC, index)[0]));
        float scale = std::exp(pass.model.at(GaussianModel::logScale, index)[0]);
        if (origin < 10) {
            EXPECT_FLOAT_EQ(scale, 0.2f);
        } else if (origin < 50) {
            EXPECT_NEAR(scale, 0.2f / 1.6f, 1e-6f);
        }
    }
}

TEST(Densifier, UnderAFullCapWithoutTransparentOnesLargeGaussiansStay) {
    Pass pass(kinds({{50, large}, {150, opaque}}));
    Densifier::Outcome outcome = pass.run(200);
    EXPECT_EQ(pass.model.size(), 200u);
    EXPECT_EQ(outcome.pruned + outcome.split + outcome.cloned, 0u);
}

TEST(Densifier, ABindingCapIsRefilledInTheSamePassByTheLargestGradients) {
    std::vector<Kind> all = kinds({{60, faint}, {100, growing}, {140, opaque}});
    for (size_t index = 60; index < 160; ++index) all[index].gradient = 0.001f * float(index - 59);
    Pass pass(all);
    Densifier::Outcome outcome = pass.run(300);
    EXPECT_EQ(pass.model.size(), 300u);
    EXPECT_EQ(outcome.pruned, 60u);
    EXPECT_EQ(outcome.cloned, 60u);
    auto kept = pass.descendants();
    for (int index = 60; index < 160; ++index) EXPECT_EQ(kept[index], index >= 100 ? 2 : 1) << index;
}

TEST(Densifier, UnderABindingCapTransparentGaussiansDoNotGrowIntoTheRoom) {
    // 60 transparent ones that ask to grow, 60 fainter ones, 80 opaque ones.
    Kind fadingButGrowing = faint;
    fadingButGrowing.opacity = 0.004f;
    fadingButGrowing.gradient = 0.05f;
    Pass pass(kinds({{60, fadingButGrowing}, {60, faint}, {80, opaque}}));
    Densifier::Outcome outcome = pass.run(200);
    EXPECT_EQ(outcome.pruned, 50u);  // a quarter of the cap, the faintest
    EXPECT_EQ(outcome.cloned + outcome.split, 0u);
    EXPECT_EQ(pass.model.size(), 150u);
    auto kept = pass.descendants();
    for (int index = 0; index < 60; ++index) EXPECT_EQ(kept[index], 1) << index;
}

// With room for everything, the pass is the plain one: every candidate grows
// (clones below 1 % of the extent, splits above), and the transparent and,
// after a reset, the large ones go.
TEST(Densifier, WithRoomEveryCandidateGrowsAndTheLargeAndTransparentGo) {
    Kind splitting = growing;
    splitting.scale = 0.05f;
    Kind nearby = opaque;
    nearby.radius = 30;  // large on screen only
    for (bool pruneLarge : {false, true}) {
        SCOPED_TRACE(pruneLarge);
        Pass pass(kinds({{10, faint}, {10, nearby}, {20, growing}, {10, splitting}, {50, opaque}}));
        Densifier::Outcome outcome = pass.run(10000, pruneLarge);
        EXPECT_EQ(outcome.cloned, 20u);
        EXPECT_EQ(outcome.split, 10u);
        EXPECT_EQ(outcome.pruned, pruneLarge ? 20u : 10u);
        EXPECT_EQ(pass.model.size(), pruneLarge ? 110u : 120u);
        auto kept = pass.descendants();
        for (int index = 0; index < 100; ++index) {
            int expected = index < 10 ? 0 : index < 20 ? (pruneLarge ? 0 : 1) : index < 50 ? 2 : 1;
            EXPECT_EQ(kept.count(index) ? kept[index] : 0, expected) << index;
        }
    }
}

TEST(Densifier, SamePassSameModel) {
    std::vector<Kind> all = kinds({{30, faint}, {40, large}, {60, growing}, {70, opaque}});
    for (size_t index = 70; index < 130; ++index) {
        all[index].gradient = 0.0005f * float(index % 7 + 1);
        all[index].scale = index % 2 ? 0.05f : 0.005f;
    }
    for (int64_t cap : {220, 260, 100000}) {
        SCOPED_TRACE(cap);
        Pass one(all, 1), four(all, 4);
        one.run(cap);
        four.run(cap);
        for (int group = 0; group < GaussianModel::groupCount; ++group)
            EXPECT_EQ(one.model.values(GaussianModel::Group(group)), four.model.values(GaussianModel::Group(group)));
    }
}
