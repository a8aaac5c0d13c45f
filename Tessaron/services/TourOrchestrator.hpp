#pragma once

#include <QObject>
#include <QTimer>

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace tessaron::viewmodel {
class PipelineViewModel;
}

namespace tessaron::services {

// The welcome tour's director: it walks a sample view model (one marked as a
// tour sample, which never runs anything) through the states the real
// screens show during a run, one step at a time, so that the main window can
// show its own views bound to that model. Sample data comes from the
// resources folder: "TourData" (a small COLMAP model with its
// "tour_partition_plan.json") and "dummy_tour.ply".
//
// Threads: the main thread only; the simulation timer and the delayed state
// change of the planning step run on the main event loop.
class TourOrchestrator : public QObject {
    Q_OBJECT
public:
    enum class TourStep {
        introduction,
        main_progress_bar,
        input_dropzone,
        input_reconstruction,
        model_size,
        input_advanced_toggle,
        input_advanced_extraction,
        input_advanced_colmap,
        input_advanced_training,
        input_advanced_vast,
        sfm_visualizer,
        planning_visualizer,
        planning_resources,
        training_stats,
        training_logs,
        final_render,
    };
    static constexpr size_t stepCount = 16;

    // Finds a resource by name, as ResourceLocator::resource does.
    using ResourceLookup = std::function<std::optional<std::filesystem::path>(const std::string& name)>;

    // `mockVM` must be a tour sample.
    explicit TourOrchestrator(std::unique_ptr<viewmodel::PipelineViewModel> mockVM, QObject* parent = nullptr);
    ~TourOrchestrator() override;

    viewmodel::PipelineViewModel& mockVM() const { return *mockVM_; }
    // Deletes the previous sample model at once: whatever shows it must have
    // let go of it first.
    void setMockVM(std::unique_ptr<viewmodel::PipelineViewModel> mockVM);

    TourStep currentTourStep() const { return currentTourStep_; }
    void setCurrentTourStep(TourStep step);

    // Moves to the next step and stages the sample model for it; at the last
    // step it does nothing.
    void advance();

    // The simulation timer of the reconstruction and training steps.
    bool isTimerActive() const { return timer_.isActive(); }
    void invalidateTimer();

    void setResourceLookup(ResourceLookup lookup) { resources_ = std::move(lookup); }

    // The value a ticker applies on its `counter`-th tick (counted from 1):
    // start + step × counter truncated toward zero, and exactly `end` on the
    // last tick.
    static int64_t tickerValue(int counter, int count, int64_t start, int64_t end, double step);

signals:
    void mockVMChanged();
    void currentTourStepChanged();

private:
    void stageLiveReconstruction();
    void stagePartitionPlanning();
    void stageTraining();
    void stageResult();
    // A repeating timer that applies `count` values to the sample model.
    void startTicker(std::chrono::milliseconds interval, int count, int64_t start, int64_t end, double step,
                     std::function<void(viewmodel::PipelineViewModel&, int64_t)> apply);

    std::unique_ptr<viewmodel::PipelineViewModel> mockVM_;
    TourStep currentTourStep_ = TourStep::introduction;
    QTimer timer_;
    ResourceLookup resources_;
};

// The step's case name ("input_dropzone"), which also names its anchor.
std::string toString(TourOrchestrator::TourStep step);
std::optional<TourOrchestrator::TourStep> tourStepFromString(std::string_view name);
// The 16 steps in their order.
const std::array<TourOrchestrator::TourStep, TourOrchestrator::stepCount>& allTourSteps();

}  // namespace tessaron::services
