#include "views/SegmentedPicker.hpp"

#include <QHBoxLayout>

#include "views/Theme.hpp"

namespace tessaron::views {

SegmentedPicker::SegmentedPicker(const QString& accessibleName, QWidget* parent) : QWidget(parent) {
    setAccessibleName(accessibleName);
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(0);
    group_.setExclusive(true);
    connect(&group_, &QButtonGroup::idClicked, this, [this](int index) { emit chosen(tags_.at(size_t(index))); });
    const QColor accent = theme::color(theme::NamedColor::blue);
    setStyleSheet(QStringLiteral("QToolButton { border: 1px solid %1; border-left-width: 0; padding: 3px 8px;"
                                 " background: palette(base); }"
                                 "QToolButton:first { border-left-width: 1px; border-top-left-radius: 5px;"
                                 " border-bottom-left-radius: 5px; }"
                                 "QToolButton:last { border-top-right-radius: 5px; border-bottom-right-radius: 5px; }"
                                 "QToolButton:checked { background: %2; color: white; }"
                                 // Disabled, the choice keeps its mark without the accent.
                                 "QToolButton:checked:disabled { background: %3; color: white; }")
                      .arg(theme::color(theme::NamedColor::gray, 0.5).name(QColor::HexArgb), accent.name(),
                           theme::color(theme::NamedColor::gray, 0.45).name(QColor::HexArgb)));
}

void SegmentedPicker::addChoice(const QString& label, int tag) {
    auto* button = new QToolButton;
    button->setText(label);
    button->setCheckable(true);
    button->setFont(theme::font(theme::TextStyle::callout));
    button->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    group_.addButton(button, int(tags_.size()));
    tags_.push_back(tag);
    layout()->addWidget(button);
}

void SegmentedPicker::setSelectedTag(int tag) {
    for (size_t index = 0; index < tags_.size(); ++index) {
        if (tags_[index] != tag) continue;
        group_.button(int(index))->setChecked(true);
        return;
    }
    // No choice has the tag: none is shown selected.
    group_.setExclusive(false);
    for (QAbstractButton* each : group_.buttons()) each->setChecked(false);
    group_.setExclusive(true);
}

std::optional<int> SegmentedPicker::selectedTag() const {
    const int index = group_.checkedId();
    if (index < 0) return std::nullopt;
    return tags_.at(size_t(index));
}

QToolButton* SegmentedPicker::choice(const QString& label) const {
    for (QAbstractButton* button : group_.buttons())
        if (button->text() == label) return static_cast<QToolButton*>(button);
    return nullptr;
}

}  // namespace tessaron::views
