#pragma once

#include <QCheckBox>

#include "viewmodel/PipelineViewModel.hpp"
#include "views/SettingsSection.hpp"
#include "views/SliderRow.hpp"

namespace tessaron::views {

// The card "Training Settings": the iterations of a single-model run and
// the evaluation split.
class TrainingSettingsCard : public SettingsSection {
    Q_OBJECT
public:
    // The slider's ends, within what the engine runs.
    static constexpr int iterationsMinimum = 1000;
    static constexpr int iterationsMaximum = 60000;
    static_assert(engines::TrainingLimits::iterations.contains(iterationsMinimum) &&
                  engines::TrainingLimits::iterations.contains(iterationsMaximum));

    explicit TrainingSettingsCard(viewmodel::PipelineViewModel& model, QWidget* parent = nullptr);

    SliderRow* iterationsRow() const { return iterations_; }
    QCheckBox* evalToggle() const { return eval_; }

private:
    void refresh();

    viewmodel::PipelineViewModel& model_;
    SliderRow* iterations_;
    QCheckBox* eval_;
};

}  // namespace tessaron::views
