#pragma once

#include <QLabel>

#include <algorithm>

#include "viewmodel/PipelineViewModel.hpp"
#include "views/FormWidgets.hpp"
#include "views/SegmentedPicker.hpp"
#include "views/SettingsSection.hpp"

namespace tessaron::views {

// The card "Dataset & Downscale": what the input's analysis found, and the
// factor the training engine shrinks the images by.
class DatasetDownscaleCard : public SettingsSection {
    Q_OBJECT
public:
    static constexpr int downscaleFactors[] = {1, 2, 4, 8};
    static_assert(std::ranges::all_of(downscaleFactors, [](int factor) {
        return engines::TrainingLimits::downscale.contains(factor);
    }));

    explicit DatasetDownscaleCard(viewmodel::PipelineViewModel& model, QWidget* parent = nullptr);

    QWidget* facts() const { return facts_; }
    SymbolLabel* imageCount() const { return imageCount_; }
    SymbolLabel* resolution() const { return resolution_; }
    SegmentedPicker* downscalePicker() const { return downscale_; }
    QWidget* analyzingRow() const { return analyzing_; }
    QLabel* analysisFailed() const { return failed_; }

private:
    void refresh();

    viewmodel::PipelineViewModel& model_;
    QWidget* facts_;
    SymbolLabel* imageCount_;
    SymbolLabel* resolution_;
    SegmentedPicker* downscale_;
    QWidget* analyzing_;
    QLabel* failed_;
};

}  // namespace tessaron::views
