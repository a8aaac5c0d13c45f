#include "views/ReconstructionCard.hpp"

#include <QHBoxLayout>

#include "views/InputFormText.hpp"

namespace tessaron::views {

using theme::NamedColor;
using theme::TextStyle;

QString ReconstructionCard::colmapNoteText(viewmodel::OptionalFlag extractsOnGPU) {
    const QString where = !extractsOnGPU ? QString() : *extractsOnGPU ? QStringLiteral(" (GPU)") : QStringLiteral(" (CPU)");
    return QStringLiteral("COLMAP") + where +
           QStringLiteral(" reconstructs camera poses and a sparse point cloud from your images.");
}

ReconstructionCard::ReconstructionCard(viewmodel::PipelineViewModel& model, QWidget* parent)
    : SettingsSection(QStringLiteral("Reconstruction"), parent),
      model_(model),
      skip_(new QCheckBox(QStringLiteral("Skip COLMAP (use existing reconstruction)"))),
      colmapNote_(styledLabel(colmapNoteText(std::nullopt), TextStyle::caption2, NamedColor::secondary)),
      existing_(new QWidget),
      selectFolder_(new QPushButton(QStringLiteral("Select COLMAP Folder"))),
      chosenFolder_(new SymbolLabel(Symbol::checkmarkCircleFill, theme::color(NamedColor::green), {},
                                    theme::font(TextStyle::callout), theme::color(NamedColor::blue))),
      status_(styledLabel({}, TextStyle::caption2, theme::NamedColor::primary)) {
    skip_->setFont(theme::font(TextStyle::callout));
    addRow(skip_);
    addRow(colmapNote_);

    auto* stack = new QVBoxLayout(existing_);
    stack->setContentsMargins(0, 0, 0, 0);
    stack->setSpacing(6);
    auto* row = new QHBoxLayout;
    selectFolder_->setIcon(symbolIcon(Symbol::folderPlus, QSize(16, 16), palette().color(QPalette::ButtonText)));
    selectFolder_->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    row->addWidget(selectFolder_);
    chosenFolder_->setElided(true);
    row->addWidget(chosenFolder_, 1);
    // Keeps the button at its own width while no folder is named.
    row->addStretch(0);
    stack->addLayout(row);
    stack->addWidget(status_);
    addRow(existing_);

    connect(skip_, &QCheckBox::toggled, &model_, &viewmodel::PipelineViewModel::setSkipSfM);
    connect(selectFolder_, &QPushButton::clicked, &model_, &viewmodel::PipelineViewModel::chooseCOLMAPFolder);
    connect(&model_, &viewmodel::PipelineViewModel::skipSfMChanged, this, &ReconstructionCard::refresh);
    connect(&model_, &viewmodel::PipelineViewModel::colmapDataURLChanged, this, &ReconstructionCard::refresh);
    // The note names where COLMAP runs once the program has said.
    connect(&model_, &viewmodel::PipelineViewModel::colmapHasCUDAChanged, this, &ReconstructionCard::refresh);
    connect(&model_, &viewmodel::PipelineViewModel::useGPUSIFTChanged, this, &ReconstructionCard::refresh);
    model_.checkCOLMAPHardware();
    refresh();
}

void ReconstructionCard::refresh() {
    const bool skip = model_.skipSfM();
    skip_->setChecked(skip);
    colmapNote_->setVisible(!skip);
    colmapNote_->setText(colmapNoteText(model_.colmapExtractsOnGPU()));
    existing_->setVisible(skip);
    const viewmodel::OptionalPath& folder = model_.colmapDataURL();
    chosenFolder_->setVisible(folder.has_value());
    if (folder) {
        chosenFolder_->setText(InputFormText::lastPathComponent(*folder));
        chosenFolder_->setElided(true);
        status_->setText(QStringLiteral("\u2713 Valid COLMAP folder (sparse/0/ found)"));
        setTextColor(status_, theme::color(NamedColor::green));
    } else {
        status_->setText(
            QStringLiteral("Select a folder containing sparse/0/ with cameras.bin, images.bin, "
                           "points3D.bin"));
        setTextColor(status_, theme::color(NamedColor::secondary));
    }
}

}  // namespace tessaron::views
