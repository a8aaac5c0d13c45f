#pragma once

#include <QToolButton>
#include <QWidget>

#include "viewmodel/PipelineViewModel.hpp"

namespace tessaron::views {

class COLMAPSettingsCard;
class DatasetDownscaleCard;
class FrameExtractionCard;
class PartitioningCard;
class TrainingSettingsCard;

// The disclosure "Advanced Settings" of the input form and the column of
// cards it opens: frame extraction (videos only), COLMAP, training, dataset
// and downscale, partitioning. Its open state is the view model's
// showAdvanced.
class AdvancedSettingsView : public QWidget {
    Q_OBJECT
public:
    explicit AdvancedSettingsView(viewmodel::PipelineViewModel& model, QWidget* parent = nullptr);

    QToolButton* disclosure() const { return disclosure_; }
    QWidget* column() const { return column_; }
    FrameExtractionCard* frameExtraction() const { return frameExtraction_; }
    COLMAPSettingsCard* colmapSettings() const { return colmapSettings_; }
    TrainingSettingsCard* trainingSettings() const { return trainingSettings_; }
    DatasetDownscaleCard* datasetDownscale() const { return datasetDownscale_; }
    PartitioningCard* partitioning() const { return partitioning_; }

private:
    void refresh();

    viewmodel::PipelineViewModel& model_;
    QToolButton* disclosure_;
    QWidget* column_;
    FrameExtractionCard* frameExtraction_;
    COLMAPSettingsCard* colmapSettings_;
    TrainingSettingsCard* trainingSettings_;
    DatasetDownscaleCard* datasetDownscale_;
    PartitioningCard* partitioning_;
};

}  // namespace tessaron::views
