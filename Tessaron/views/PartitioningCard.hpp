#pragma once

#include <QCheckBox>
#include <QLabel>

#include "viewmodel/PipelineViewModel.hpp"
#include "views/FormWidgets.hpp"
#include "views/SettingsSection.hpp"
#include "views/SliderRow.hpp"

namespace tessaron::views {

// The card "VastGaussian Partitioning": partitioned training on or off, the
// memory limit the plan must fit, and a notice for compact scenes.
class PartitioningCard : public SettingsSection {
    Q_OBJECT
public:
    explicit PartitioningCard(viewmodel::PipelineViewModel& model, QWidget* parent = nullptr);

    QCheckBox* partitionToggle() const { return enable_; }
    SliderRow* memoryRow() const { return memory_; }
    QWidget* limitBlock() const { return limit_; }
    NoticeBox* compactNotice() const { return compact_; }

    // A strict comparison: a score that is not a number shows nothing.
    static bool isCompactScene(const viewmodel::OptionalSceneAnalysis& analysis);

private:
    void refresh();

    viewmodel::PipelineViewModel& model_;
    QCheckBox* enable_;
    QWidget* limit_;
    SliderRow* memory_;
    NoticeBox* compact_;
};

}  // namespace tessaron::views
