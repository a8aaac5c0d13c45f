#include "Trainer/Trainer.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <numeric>

namespace tessaron::trainer {

Trainer::Trainer(const TrainingDataset& dataset, GaussianModel initial, TrainingSettings settings)
    : dataset_(dataset),
      settings_(settings),
      pool_(settings.threads),
      rasterizer_(pool_),
      loss_(pool_),
      densifier_(settings.densifier),
      model_(std::move(initial)),
      random_(settings.seed) {
    optimizer_.resize(model_.size());
    optimizer_.learningRates[GaussianModel::position] = positionLearningRate(0);
    optimizer_.learningRates[GaussianModel::logScale] = settings_.scaleLr;
    optimizer_.learningRates[GaussianModel::rotation] = settings_.rotationLr;
    optimizer_.learningRates[GaussianModel::opacity] = settings_.opacityLr;
    optimizer_.learningRates[GaussianModel::shDC] = settings_.shDCLr;
    optimizer_.learningRates[GaussianModel::shRest] = settings_.shRestLr;
    order_.resize(dataset_.training.size());
    // Beside other busy programs, a step on threads that each have a CPU
    // beats one on more threads that the system pauses in turn.
    pool_.followMachineLoad();
}

float Trainer::positionLearningRate(int64_t step) const {
    // Exponential (log-linear) decay from the initial to the final rate.
    double t = settings_.positionLrMaxSteps > 0
                   ? std::clamp(double(step) / double(settings_.positionLrMaxSteps), 0.0, 1.0)
                   : 1.0;
    double rate = std::exp((1 - t) * std::log(double(settings_.positionLrInitial)) +
                           t * std::log(double(settings_.positionLrFinal)));
    return float(rate * dataset_.extent);
}

float Trainer::step(size_t view) {
    const TrainingImage& image = dataset_.training[view];
    rasterizer_.forward(model_, image.camera, shDegree_, settings_.background, image_);
    // The photo as floats, converted on every core: on one it is a good
    // part of a short step.
    photo_.resize(image.pixels.size());
    pool_.parallelFor(photo_.size(), size_t(1) << 15,
                      [&](size_t begin, size_t end, unsigned) { image.colours(photo_.data(), begin, end); });
    float loss =
        loss_.evaluate(image_, photo_, image.mask, image.camera.width, image.camera.height, imageGradient_);
    rasterizer_.backward(model_, image.camera, shDegree_, settings_.background, imageGradient_, gradients_,
                         meanGradientNorms_);
    optimizer_.step(model_, gradients_, pool_, shDegree_);
    return loss;
}

int64_t Trainer::train(const std::function<void(const StepReport&)>& onStep) {
    std::optional<double> lastPsnr;
    for (int64_t iteration = 1; iteration <= settings_.iterations; ++iteration) {
        auto start = std::chrono::steady_clock::now();
        optimizer_.learningRates[GaussianModel::position] = positionLearningRate(iteration);
        if (iteration % settings_.shDegreeInterval == 0 && shDegree_ < GaussianModel::maxShDegree) ++shDegree_;

        if (orderPosition_ == 0) {
            std::iota(order_.begin(), order_.end(), size_t(0));
            std::shuffle(order_.begin(), order_.end(), random_);
        }
        size_t view = order_[orderPosition_];
        orderPosition_ = (orderPosition_ + 1) % order_.size();

        float loss = step(view);
        ++stepsDone_;

        if (iteration < settings_.densifyUntil) {
            densifier_.record(meanGradientNorms_, rasterizer_.projected(), pool_);
            if (iteration > settings_.densifyFrom && iteration % settings_.densifyInterval == 0)
                densifier_.densifyAndPrune(model_, optimizer_, dataset_.extent, settings_.capMax,
                                           iteration > settings_.opacityResetInterval, random_);
            if (iteration % settings_.opacityResetInterval == 0 &&
                settings_.iterations - iteration >= settings_.opacityResetMinRemaining)
                densifier_.resetOpacity(model_, optimizer_);
        }

        double milliseconds =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
        if (onStep) onStep(StepReport{iteration, loss, model_.size(), milliseconds});

        if (settings_.earlyStopGain && iteration >= settings_.densifyUntil &&
            iteration % settings_.earlyStopInterval == 0 && !dataset_.evaluation.empty()) {
            double psnr = *evaluationPsnr();
            if (lastPsnr && psnr - *lastPsnr < *settings_.earlyStopGain) return iteration;
            lastPsnr = psnr;
        }
    }
    return settings_.iterations;
}

double Trainer::psnr(const std::vector<TrainingImage>& images) {
    ImageLoss::MeanPsnr mean;
    for (const TrainingImage& image : images) {
        rasterizer_.forward(model_, image.camera, shDegree_, settings_.background, image_);
        image.colours(photo_);
        mean.add(image_, photo_, image.mask);
    }
    return mean.value();
}

std::optional<double> Trainer::evaluationPsnr() {
    if (dataset_.evaluation.empty()) return std::nullopt;
    return psnr(dataset_.evaluation);
}

size_t Trainer::cull(float radius) {
    std::vector<uint8_t> keep(model_.size(), 1);
    size_t dropped = 0;
    for (size_t index = 0; index < model_.size(); ++index) {
        const float* p = model_.at(GaussianModel::position, index);
        if (std::sqrt(p[0] * p[0] + p[1] * p[1] + p[2] * p[2]) > radius) {
            keep[index] = 0;
            ++dropped;
        }
    }
    model_.keepOnly(keep);
    optimizer_.keepOnly(keep);
    return dropped;
}

}  // namespace tessaron::trainer
