#include "services/TourOrchestrator.hpp"

#include <cmath>
#include <iostream>
#include <limits>
#include <random>

#include "core/ResourceLocator.hpp"
#include "partition/PartitionPlan.hpp"
#include "viewmodel/PipelineViewModel.hpp"

namespace tessaron::services {

namespace {

using Step = TourOrchestrator::TourStep;
using Kind = pipeline::PipelineState::Kind;
using viewmodel::PipelineViewModel;

constexpr std::array<Step, TourOrchestrator::stepCount> steps{
    Step::introduction,          Step::main_progress_bar,       Step::input_dropzone,
    Step::input_reconstruction,  Step::model_size,              Step::input_advanced_toggle,
    Step::input_advanced_extraction, Step::input_advanced_colmap, Step::input_advanced_training,
    Step::input_advanced_vast,   Step::sfm_visualizer,          Step::planning_visualizer,
    Step::planning_resources,    Step::training_stats,          Step::training_logs,
    Step::final_render,
};

constexpr std::array<const char*, TourOrchestrator::stepCount> names{
    "introduction",          "main_progress_bar",         "input_dropzone",        "input_reconstruction",
    "model_size",            "input_advanced_toggle",     "input_advanced_extraction", "input_advanced_colmap",
    "input_advanced_training", "input_advanced_vast",     "sfm_visualizer",        "planning_visualizer",
    "planning_resources",    "training_stats",            "training_logs",         "final_render",
};

// The sample reconstruction and training.
constexpr int samplePointCount = 500;
constexpr int sampleImageCount = 100;
constexpr int tickCount = 30;
constexpr auto reconstructionTick = std::chrono::milliseconds(50);
// 1/15 s, to the millisecond.
constexpr auto trainingTick = std::chrono::milliseconds(67);
constexpr int planningSettleMilliseconds = 500;

// The engine trains on the CPU; of the sample's 100 images every eighth is
// held back for evaluation.
const char* const sampleTrainingLog =
    "[TRAIN] [engine] trevik 1.1.3 | CPU\n"
    "[TRAIN] Eval mode: 87 train, 13 test\n"
    "[TRAIN] step=1000 splats=51522 6.0ms/step\n"
    "[TRAIN] MCMC step=2000 active=83919 grown=3996\n"
    "[TRAIN] step=2000 splats=83919 11.5ms/step\n"
    "[TRAIN] step=5000 splats=362661 18.0ms/step";

void setScrollTarget(PipelineViewModel& model, Step step) {
    model.setTourScrollTarget(QString::fromStdString(toString(step)));
}

}  // namespace

std::string toString(Step step) { return names[size_t(step)]; }

std::optional<Step> tourStepFromString(std::string_view name) {
    for (size_t index = 0; index < names.size(); ++index)
        if (name == names[index]) return steps[index];
    return std::nullopt;
}

const std::array<Step, TourOrchestrator::stepCount>& allTourSteps() { return steps; }

TourOrchestrator::TourOrchestrator(std::unique_ptr<PipelineViewModel> mockVM, QObject* parent)
    : QObject(parent), mockVM_(std::move(mockVM)), resources_(core::ResourceLocator::resource) {
    timer_.setTimerType(Qt::PreciseTimer);
}

TourOrchestrator::~TourOrchestrator() { invalidateTimer(); }

void TourOrchestrator::setMockVM(std::unique_ptr<PipelineViewModel> mockVM) {
    mockVM_ = std::move(mockVM);
    emit mockVMChanged();
}

void TourOrchestrator::setCurrentTourStep(Step step) {
    if (currentTourStep_ == step) return;
    currentTourStep_ = step;
    emit currentTourStepChanged();
}

void TourOrchestrator::invalidateTimer() {
    timer_.stop();
    timer_.disconnect();
}

int64_t TourOrchestrator::tickerValue(int counter, int count, int64_t start, int64_t end, double step) {
    if (counter >= count) return end;
    return int64_t(std::trunc(double(start) + step * counter));
}

void TourOrchestrator::startTicker(std::chrono::milliseconds interval, int count, int64_t start, int64_t end,
                                   double step, std::function<void(PipelineViewModel&, int64_t)> apply) {
    invalidateTimer();
    timer_.setInterval(interval);
    auto counter = std::make_shared<int>(0);
    connect(&timer_, &QTimer::timeout, this, [this, counter, count, start, end, step, apply = std::move(apply)] {
        ++*counter;
        if (*counter >= count) invalidateTimer();
        apply(*mockVM_, tickerValue(*counter, count, start, end, step));
    });
    timer_.start();
}

void TourOrchestrator::advance() {
    PipelineViewModel& model = *mockVM_;
    switch (currentTourStep_) {
    case Step::introduction:
        setCurrentTourStep(Step::main_progress_bar);
        break;
    case Step::main_progress_bar:
        setCurrentTourStep(Step::input_dropzone);
        setScrollTarget(model, Step::input_dropzone);
        break;
    case Step::input_dropzone:
        setCurrentTourStep(Step::input_reconstruction);
        setScrollTarget(model, Step::input_reconstruction);
        // A video, as the form shows it: named as one, its frames estimated.
        model.setSelectedInputURL(std::filesystem::path("/tmp/fake_dataset.mp4"));
        model.setDatasetProfile(engines::DatasetProfile{.imageCount = sampleImageCount,
                                                        .nativeWidth = 1920,
                                                        .nativeHeight = 1080,
                                                        .physicalMemoryGB = 16,
                                                        .availableMemoryGB = 8,
                                                        .isEstimated = true});
        model.setIsInputVideo(true);
        break;
    case Step::input_reconstruction:
        setCurrentTourStep(Step::model_size);
        setScrollTarget(model, Step::model_size);
        break;
    case Step::model_size:
        setCurrentTourStep(Step::input_advanced_toggle);
        setScrollTarget(model, Step::input_advanced_toggle);
        break;
    case Step::input_advanced_toggle:
        setCurrentTourStep(Step::input_advanced_extraction);
        setScrollTarget(model, Step::input_advanced_extraction);
        model.setShowAdvanced(true);
        break;
    case Step::input_advanced_extraction:
        setCurrentTourStep(Step::input_advanced_colmap);
        setScrollTarget(model, Step::input_advanced_colmap);
        break;
    case Step::input_advanced_colmap:
        setCurrentTourStep(Step::input_advanced_training);
        setScrollTarget(model, Step::input_advanced_training);
        break;
    case Step::input_advanced_training:
        setCurrentTourStep(Step::input_advanced_vast);
        setScrollTarget(model, Step::input_advanced_vast);
        break;
    case Step::input_advanced_vast:
        setCurrentTourStep(Step::sfm_visualizer);
        stageLiveReconstruction();
        break;
    case Step::sfm_visualizer:
        setCurrentTourStep(Step::planning_visualizer);
        stagePartitionPlanning();
        break;
    case Step::planning_visualizer:
        setCurrentTourStep(Step::planning_resources);
        model.setCurrentState(Kind::awaitingPartitionApproval);
        model.updateRunReport();
        break;
    case Step::planning_resources:
        setCurrentTourStep(Step::training_stats);
        stageTraining();
        break;
    case Step::training_stats:
        setCurrentTourStep(Step::training_logs);
        model.setIsLogMenuExpanded(true);
        break;
    case Step::training_logs:
        setCurrentTourStep(Step::final_render);
        stageResult();
        break;
    case Step::final_render:
        break;
    }
}

void TourOrchestrator::stageLiveReconstruction() {
    PipelineViewModel& model = *mockVM_;
    model.setCurrentState(Kind::processingSfM);
    model.updateRunReport();
    model.setSfmTotalImages(sampleImageCount);
    model.setSfmRegisteredImages(0);
    auto snapshot = std::make_shared<viewmodel::SfMLiveSnapshot>();
    snapshot->url = "/tmp/fake_sfm";
    std::random_device source;
    std::mt19937 generator(source());
    // Closed range -2 … 2.
    std::uniform_real_distribution<float> coordinate(-2.0f, std::nextafter(2.0f, 3.0f));
    for (int id = 0; id < samplePointCount; ++id) {
        snapshot->ids.push_back(uint64_t(id));
        snapshot->positions.push_back({coordinate(generator), coordinate(generator), coordinate(generator)});
    }
    model.setLatestSfMSnapshot(std::move(snapshot));
    startTicker(reconstructionTick, tickCount, 0, sampleImageCount, double(sampleImageCount) / tickCount,
                [](PipelineViewModel& sample, int64_t value) { sample.setSfmRegisteredImages(value); });
}

void TourOrchestrator::stagePartitionPlanning() {
    PipelineViewModel& model = *mockVM_;
    model.setCurrentState(Kind::preparingData);
    model.updateRunReport();
    std::optional<std::filesystem::path> tourData = resources_ ? resources_("TourData") : std::nullopt;
    if (!tourData) {
        std::cout << "[Tour] ⚠️ TourData bundle resource not found" << std::endl;
    } else {
        model.setColmapDataURL(*tourData);
        std::cout << "[Tour] colmapDataURL → " << tourData->string() << std::endl;
        const auto sparse = model.colmapSparseDir();
        std::cout << "[Tour] sceneSparseURL → " << (sparse ? sparse->string() : std::string("nil")) << std::endl;
        try {
            model.setPartitionPlan(std::make_shared<const partition::PartitionPlan>(
                partition::PartitionPlan::load(*tourData / "tour_partition_plan.json")));
        } catch (const std::exception& error) {
            // Sample data is a nicety: the tour goes on without a plan.
            std::cout << "[Tour] ❌ Decode error: " << error.what() << std::endl;
        }
    }
    QTimer::singleShot(planningSettleMilliseconds, this, [this] {
        if (currentTourStep_ != Step::planning_visualizer) return;
        mockVM_->setCurrentState(Kind::awaitingPartitionApproval);
        mockVM_->updateRunReport();
    });
}

void TourOrchestrator::stageTraining() {
    PipelineViewModel& model = *mockVM_;
    model.setCurrentState(Kind::training);
    model.updateRunReport();
    model.setIteration(0);
    model.setTotalCells(6);
    model.setCurrentCellIndex(1);
    model.setCurrentCellTargetIterations(30000);
    model.setSplatCount(100000);
    model.setTrainingLog(QString::fromUtf8(sampleTrainingLog));
    startTicker(trainingTick, tickCount, 0, 10000, 10000.0 / tickCount, [](PipelineViewModel& sample, int64_t value) {
        sample.setIteration(value);
        sample.setSplatCount(10 * value + 100000);
        sample.setMsPerStep(18.0f);
    });
}

void TourOrchestrator::stageResult() {
    PipelineViewModel& model = *mockVM_;
    model.setIsLogMenuExpanded(false);
    std::optional<std::filesystem::path> result = resources_ ? resources_("dummy_tour.ply") : std::nullopt;
    model.setOutputPlyPath(result ? std::optional<QString>(QString::fromStdString(result->string())) : std::nullopt);
    model.setCurrentState(Kind::completed);
    model.updateRunReport();
}

}  // namespace tessaron::services
