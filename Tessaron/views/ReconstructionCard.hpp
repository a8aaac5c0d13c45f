#pragma once

#include <QCheckBox>
#include <QLabel>
#include <QPushButton>

#include "viewmodel/PipelineViewModel.hpp"
#include "views/FormWidgets.hpp"
#include "views/SettingsSection.hpp"

namespace tessaron::views {

// The card "Reconstruction": run COLMAP, or skip it and take an existing
// reconstruction, whose folder the card chooses and checks.
class ReconstructionCard : public SettingsSection {
    Q_OBJECT
public:
    explicit ReconstructionCard(viewmodel::PipelineViewModel& model, QWidget* parent = nullptr);

    // "COLMAP (GPU) …" or "COLMAP (CPU) …" as the program extracts
    // features here; without a word on the hardware while that is unknown.
    static QString colmapNoteText(viewmodel::OptionalFlag extractsOnGPU);

    QCheckBox* skipToggle() const { return skip_; }
    QLabel* colmapNote() const { return colmapNote_; }
    QPushButton* selectFolderButton() const { return selectFolder_; }

private:
    void refresh();

    viewmodel::PipelineViewModel& model_;
    QCheckBox* skip_;
    QLabel* colmapNote_;
    QWidget* existing_;
    QPushButton* selectFolder_;
    SymbolLabel* chosenFolder_;
    QLabel* status_;
};

}  // namespace tessaron::views
