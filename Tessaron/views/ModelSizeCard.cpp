#include "views/ModelSizeCard.hpp"

#include <QHBoxLayout>
#include <QLocale>

#include <algorithm>

#include "views/FormWidgets.hpp"
#include "views/InputFormText.hpp"

namespace tessaron::views {

using theme::NamedColor;
using theme::TextStyle;
using viewmodel::PipelineViewModel;

int ModelSizeCard::selection(bool customCap, qint64 cap) {
    if (customCap) return customTag;
    for (const auto& [label, presetCap] : presets)
        if (presetCap == cap) return presetCap;
    return customTag;
}

ModelSizeCard::ModelSizeCard(PipelineViewModel& model, QWidget* parent)
    : SettingsSection(QStringLiteral("Model Size"), parent),
      model_(model),
      picker_(new SegmentedPicker(QStringLiteral("Model Size"))),
      customRow_(new QWidget),
      customField_(new QLineEdit),
      minimum_(styledLabel(QStringLiteral("Minimum 50,000"), TextStyle::caption2, NamedColor::orange)),
      hint_(styledLabel({}, TextStyle::caption2, NamedColor::secondary)),
      advice_(styledLabel(QStringLiteral("Tessaron beta is tested on computers with 16 GB or more memory."),
                          TextStyle::caption2, NamedColor::orange)) {
    for (const auto& [label, cap] : presets) picker_->addChoice(QString::fromLatin1(label), cap);
    picker_->addChoice(QStringLiteral("Custom"), customTag);
    addRow(picker_);

    auto* row = new QHBoxLayout(customRow_);
    row->setContentsMargins(0, 0, 0, 0);
    row->addWidget(oneLine(styledLabel(QStringLiteral("Gaussians:"), TextStyle::callout, NamedColor::primary)));
    customField_->setFixedWidth(110);
    customField_->setFont(theme::monospacedFont(TextStyle::callout));
    customField_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    customField_->setAccessibleName(QStringLiteral("Gaussians"));
    row->addWidget(customField_);
    row->addStretch(1);
    addRow(customRow_);
    addRow(minimum_);
    addRow(hint_);
    addRow(advice_);

    connect(picker_, &SegmentedPicker::chosen, this, &ModelSizeCard::choose);
    connect(customField_, &QLineEdit::editingFinished, this, &ModelSizeCard::commitField);
    connect(customField_, &QLineEdit::returnPressed, this, [this] {
        // Return also lifts a number below the minimum to it.
        commitField();
        model_.setTrainingCapMax(std::max<qint64>(model_.trainingCapMax(), PipelineViewModel::minimumStartCapMax));
    });
    connect(&model_, &PipelineViewModel::trainingCapMaxChanged, this, &ModelSizeCard::refresh);
    refresh();
}

void ModelSizeCard::choose(int tag) {
    customCap_ = tag == customTag;
    if (tag != customTag) model_.setTrainingCapMax(tag);
    refresh();
}

void ModelSizeCard::commitField() {
    bool readable = false;
    const qint64 typed = QLocale().toLongLong(customField_->text().trimmed(), &readable);
    if (readable)
        model_.setTrainingCapMax(typed);
    else if (const qint64 plain = customField_->text().trimmed().remove(u',').remove(u' ').toLongLong(&readable);
             readable)
        model_.setTrainingCapMax(plain);
    refresh();
}

void ModelSizeCard::refresh() {
    const qint64 cap = model_.trainingCapMax();
    const int selected = selection(customCap_, cap);
    picker_->setSelectedTag(selected);
    const bool customShown = selected == customTag;
    customRow_->setVisible(customShown);
    QLocale locale;
    locale.setNumberOptions(locale.numberOptions() & ~QLocale::OmitGroupSeparator);
    customField_->setText(locale.toString(cap));
    minimum_->setVisible(customShown && cap < PipelineViewModel::minimumStartCapMax);
    hint_->setText(InputFormText::modelSizeHint(cap));
    advice_->setVisible(InputFormText::advisesMoreMemory(model_.physicalMemoryBytes()));
}

}  // namespace tessaron::views
