// The training loop on a scene whose truth is known: photos rendered from a
// ground-truth set of Gaussians, training started from a disturbed copy.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <optional>
#include <random>
#include <set>

#include "Trainer/Rasterizer.hpp"
#include "Trainer/Trainer.hpp"
#include "TrainerTestScenes.hpp"

using namespace tessaron::trainer;
using tessaron::core::ThreadPool;

namespace {

struct Scene {
    TrainingDataset dataset;
    GaussianModel truth;
};

Scene makeScene(int views, int width, int height) {
    Scene scene;
    scene.truth = tessaron::testing::groundTruth(150, 5);
    ThreadPool pool(2);
    Rasterizer rasterizer(pool);
    for (int index = 0; index < views; ++index) {
        TrainingImage image;
        image.name = "view_" + std::to_string(index);
        image.camera = tessaron::testing::arcCamera(index, views, width, height);
        std::vector<float> colours;
        rasterizer.forward(scene.truth, image.camera, 0, Vec3{0, 0, 0}, colours);
        image.setColours(colours);
        (index % 4 == 0 ? scene.dataset.evaluation : scene.dataset.training).push_back(std::move(image));
    }
    scene.dataset.extent = 1.1f * 3;
    return scene;
}

// The truth moved, greyed and blurred: where training starts.
GaussianModel disturbed(const GaussianModel& truth) {
    GaussianModel model = truth;
    std::mt19937 random(9);
    std::normal_distribution<float> noise(0, 1);
    for (size_t i = 0; i < model.size(); ++i) {
        float* p = model.at(GaussianModel::position, i);
        for (int k = 0; k < 3; ++k) p[k] += 0.05f * noise(random);
        float* s = model.at(GaussianModel::logScale, i);
        for (int k = 0; k < 3; ++k) s[k] += 0.4f;
        std::fill_n(model.at(GaussianModel::shDC, i), 3, 0.0f);
        model.at(GaussianModel::opacity, i)[0] = logit(0.1f);
    }
    return model;
}

TrainingSettings quickSettings(int64_t iterations) {
    TrainingSettings settings;
    settings.iterations = iterations;
    settings.positionLrMaxSteps = iterations;
    settings.threads = 2;
    // A short schedule, so that density control takes part in a short run.
    settings.densifyFrom = 50;
    settings.densifyInterval = 50;
    settings.opacityResetInterval = 100000;
    settings.shDegreeInterval = 100;
    return settings;
}

}  // namespace

TEST(TrainingLoop, LowersTheLossAndRaisesTheHeldOutPsnr) {
    Scene scene = makeScene(12, 48, 36);
    Trainer trainer(scene.dataset, disturbed(scene.truth), quickSettings(300));
    const double before = *trainer.evaluationPsnr();
    std::vector<float> losses;
    trainer.train([&](const Trainer::StepReport& report) { losses.push_back(report.loss); });
    ASSERT_EQ(losses.size(), 300u);
    double early = 0, late = 0;
    for (size_t i = 0; i < 30; ++i) {
        early += losses[i];
        late += losses[losses.size() - 1 - i];
    }
    EXPECT_LT(late, 0.5 * early);
    const double after = *trainer.evaluationPsnr();
    EXPECT_GT(after, before + 5) << "before " << before << " dB";
    EXPECT_EQ(trainer.shDegree(), 3);
}

TEST(TrainingLoop, SameSeedSameModelWhateverTheThreadCount) {
    Scene scene = makeScene(6, 40, 32);
    auto trainWith = [&](unsigned threads) {
        TrainingSettings settings = quickSettings(120);
        settings.threads = threads;
        Trainer trainer(scene.dataset, disturbed(scene.truth), settings);
        trainer.train({});
        return trainer.model();
    };
    GaussianModel one = trainWith(1), again = trainWith(1), three = trainWith(3);
    ASSERT_EQ(one.size(), again.size());
    ASSERT_EQ(one.size(), three.size());
    for (int group = 0; group < GaussianModel::groupCount; ++group) {
        auto g = GaussianModel::Group(group);
        EXPECT_EQ(one.values(g), again.values(g)) << group;
        EXPECT_EQ(one.values(g), three.values(g)) << group;
    }
}

namespace {

// A load that comes and goes every forty looks: beside it a pool of three
// threads runs on two, then on three again.
std::atomic<unsigned> loadLooks{0};
std::optional<tessaron::core::ThreadPool::MachineLoad> comingAndGoingLoad(size_t) {
    return tessaron::core::ThreadPool::MachineLoad{8, (loadLooks++ / 40) % 2 == 0 ? 6u : 0u};
}

}  // namespace

// The engine's pool narrows beside busy programs; which threads run its
// loops never changes the model.
TEST(TrainingLoop, SameModelWhenOtherProgramsComeAndGo) {
    Scene scene = makeScene(6, 40, 32);
    TrainingSettings settings = quickSettings(120);
    settings.threads = 1;
    Trainer one(scene.dataset, disturbed(scene.truth), settings);
    one.train({});
    settings.threads = 3;
    Trainer changing(scene.dataset, disturbed(scene.truth), settings);
    changing.pool().followMachineLoad(&comingAndGoingLoad, std::chrono::nanoseconds(0));
    std::set<unsigned> widths;
    changing.train([&](const Trainer::StepReport&) { widths.insert(changing.pool().width()); });
    EXPECT_EQ(widths, (std::set<unsigned>{2, 3}));
    ASSERT_EQ(one.model().size(), changing.model().size());
    for (int group = 0; group < GaussianModel::groupCount; ++group) {
        auto g = GaussianModel::Group(group);
        EXPECT_EQ(one.model().values(g), changing.model().values(g)) << group;
    }
}

TEST(TrainingLoop, DensificationNeverExceedsTheCap) {
    Scene scene = makeScene(6, 48, 36);
    GaussianModel start = disturbed(scene.truth);
    TrainingSettings settings = quickSettings(200);
    settings.capMax = int64_t(start.size()) + 25;
    settings.densifier.gradientThreshold = 1e-7f;  // every seen Gaussian asks to grow
    Trainer trainer(scene.dataset, start, settings);
    size_t largest = 0;
    trainer.train([&](const Trainer::StepReport& report) { largest = std::max(largest, report.splats); });
    EXPECT_LE(largest, size_t(settings.capMax));
    EXPECT_GT(largest, start.size()) << "densification should have added Gaussians up to the cap";
}

// A capped model covers the scene with few large Gaussians; after an
// opacity reset, deleting those took most of the model at once, and the cap
// left no room to regrow it.
TEST(TrainingLoop, ABindingCapKeepsTheModelThroughOpacityResets) {
    Scene scene = makeScene(6, 48, 36);
    GaussianModel start = disturbed(scene.truth);
    TrainingSettings settings = quickSettings(600);
    settings.capMax = int64_t(start.size());
    settings.opacityResetInterval = 200;
    settings.opacityResetMinRemaining = 100;
    settings.densifier.gradientThreshold = 1e-7f;  // every seen Gaussian asks to grow
    settings.densifier.maxScreenRadius = 1;        // and every one is large on screen
    Trainer trainer(scene.dataset, start, settings);
    const double seeded = *trainer.evaluationPsnr();
    std::optional<double> beforeReset;
    size_t previous = start.size(), largestFall = 0, smallest = start.size();
    trainer.train([&](const Trainer::StepReport& report) {
        if (report.splats < previous) largestFall = std::max(largestFall, previous - report.splats);
        previous = report.splats;
        if (report.step > settings.opacityResetInterval) smallest = std::min(smallest, report.splats);
        if (report.step == settings.opacityResetInterval - 1) beforeReset = trainer.evaluationPsnr();
    });
    EXPECT_LE(largestFall, size_t(settings.capMax / 4));
    EXPECT_GE(smallest, size_t(settings.capMax * 3 / 4));
    ASSERT_TRUE(beforeReset);
    const double trained = *trainer.evaluationPsnr();
    EXPECT_GT(trained, seeded + 1.0);
    EXPECT_GT(trained, *beforeReset - 0.5);
}

TEST(TrainingLoop, OpacitiesAreResetOnScheduleButNeverRightBeforeTheEnd) {
    Scene scene = makeScene(6, 48, 36);
    auto largestOpacity = [](const GaussianModel& model) {
        float largest = 0;
        for (float value : model.values(GaussianModel::opacity)) largest = std::max(largest, sigmoid(value));
        return largest;
    };
    GaussianModel start = scene.truth;  // opacities up to 0.95
    for (int64_t iterations : {160, 200, 240}) {
        TrainingSettings settings = quickSettings(iterations);
        settings.opacityResetInterval = 80;
        settings.opacityResetMinRemaining = 50;
        settings.densifyUntil = 1000;
        settings.densifyFrom = 1000;  // no densification: only the reset acts
        Trainer trainer(scene.dataset, start, settings);
        std::vector<float> afterStep;
        trainer.train([&](const Trainer::StepReport&) { afterStep.push_back(largestOpacity(trainer.model())); });
        SCOPED_TRACE(iterations);
        // Reset after step 80; after step 160 only where 50 steps remain.
        EXPECT_LE(afterStep[79], 0.0101f);
        EXPECT_GT(afterStep[78], 0.5f);
        if (iterations == 240)
            EXPECT_LE(afterStep[159], 0.0101f);
        else
            EXPECT_GT(afterStep[159], 0.1f) << "a step near the end reset the model's opacities";
    }
}

TEST(TrainingLoop, MaskedPixelsDoNotTeachTheModel) {
    // The left half of every training photo is painted white; a mask hides
    // it. Trained with the mask, the model still renders the true left half.
    Scene scene = makeScene(10, 48, 36);
    TrainingDataset corrupted = scene.dataset;
    for (TrainingImage& image : corrupted.training) {
        image.mask.assign(size_t(image.camera.width) * image.camera.height, 1);
        for (int y = 0; y < image.camera.height; ++y) {
            for (int x = 0; x < image.camera.width / 2; ++x) {
                size_t pixel = size_t(y) * image.camera.width + x;
                image.mask[pixel] = 0;
                for (int c = 0; c < 3; ++c) image.pixels[pixel * 3 + c] = 255;
            }
        }
    }
    TrainingDataset unmasked = corrupted;
    for (TrainingImage& image : unmasked.training) image.mask.clear();

    // PSNR over the left halves of the held-out views, against the truth.
    std::vector<TrainingImage> leftHalves = scene.dataset.evaluation;
    for (TrainingImage& image : leftHalves) {
        image.mask.assign(size_t(image.camera.width) * image.camera.height, 0);
        for (int y = 0; y < image.camera.height; ++y)
            for (int x = 0; x < image.camera.width / 2; ++x) image.mask[size_t(y) * image.camera.width + x] = 1;
    }
    auto leftPsnr = [&](const TrainingDataset& dataset) {
        Trainer trainer(dataset, disturbed(scene.truth), quickSettings(250));
        trainer.train({});
        return trainer.psnr(leftHalves);
    };
    const double withMask = leftPsnr(corrupted), withoutMask = leftPsnr(unmasked);
    EXPECT_GT(withMask, withoutMask + 3) << "with mask " << withMask << " dB, without " << withoutMask << " dB";
}
