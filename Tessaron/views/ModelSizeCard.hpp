#pragma once

#include <QLabel>
#include <QLineEdit>

#include <array>
#include <utility>

#include "viewmodel/PipelineViewModel.hpp"
#include "views/SegmentedPicker.hpp"
#include "views/SettingsSection.hpp"

namespace tessaron::views {

// The card "Model Size": the run's Gaussian cap as a preset or a custom
// number, the size of the PLY it gives, and the memory advice.
class ModelSizeCard : public SettingsSection {
    Q_OBJECT
public:
    // The presets, each a label and its cap; "Custom" is the tag -1.
    static constexpr std::array<std::pair<const char*, int>, 4> presets{
        {{"Light", 500000}, {"Standard", 1000000}, {"High", 2000000}, {"Ultra", 4000000}}};
    static constexpr int customTag = -1;

    explicit ModelSizeCard(viewmodel::PipelineViewModel& model, QWidget* parent = nullptr);

    SegmentedPicker* picker() const { return picker_; }
    QLineEdit* customField() const { return customField_; }
    QWidget* customRow() const { return customRow_; }
    QLabel* minimumWarning() const { return minimum_; }
    QLabel* sizeHintLabel() const { return hint_; }
    QLabel* memoryAdvice() const { return advice_; }
    bool customCap() const { return customCap_; }

    // The picker's selection for a cap: its preset, else Custom.
    static int selection(bool customCap, qint64 cap);

private:
    void refresh();
    void choose(int tag);
    // Stores the field's number through the clamping setter; an unreadable
    // text shows the stored value again.
    void commitField();

    viewmodel::PipelineViewModel& model_;
    // The user chose "Custom": the field stays open even on a preset's value.
    bool customCap_ = false;
    SegmentedPicker* picker_;
    QWidget* customRow_;
    QLineEdit* customField_;
    QLabel* minimum_;
    QLabel* hint_;
    QLabel* advice_;
};

}  // namespace tessaron::views
