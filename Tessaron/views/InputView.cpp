#include "views/InputView.hpp"

#include <QPropertyAnimation>
#include <QScrollBar>
#include <QShortcut>
#include <QTimer>
#include <QVBoxLayout>

#include "views/AdvancedSettingsView.hpp"
#include "views/DropZoneView.hpp"
#include "views/FormWidgets.hpp"
#include "views/InputFormText.hpp"
#include "views/Motion.hpp"
#include "views/ModelSizeCard.hpp"
#include "views/ReconstructionCard.hpp"
#include "views/ResumePanel.hpp"
#include "views/Video360Card.hpp"

namespace tessaron::views {

using theme::NamedColor;
using theme::TextStyle;
using viewmodel::PipelineViewModel;

InputView::InputView(PipelineViewModel& model, QWidget* parent)
    : QScrollArea(parent),
      model_(model),
      dropZone_(new DropZoneView(model)),
      choose_(new QPushButton(QStringLiteral("Choose Folder or Video\u2026"))),
      reconstruction_(new ReconstructionCard(model)),
      video360_(new Video360Card(model)),
      modelSize_(new ModelSizeCard(model)),
      advanced_(new AdvancedSettingsView(model)),
      readyRow_(new QWidget),
      ready_(new SymbolLabel(Symbol::checkmarkCircleFill, theme::color(NamedColor::green), {},
                             theme::font(TextStyle::callout), theme::color(NamedColor::primary))),
      photoWarning_(styledLabel({}, TextStyle::caption2, NamedColor::orange)),
      start_(new QPushButton(QStringLiteral("Start Pipeline"))),
      resumeDivider_(new QWidget),
      resume_(new ResumePanel(model)),
      scroll_(new QPropertyAnimation(verticalScrollBar(), "value", this)) {
    setWidgetResizable(true);
    setFrameShape(QFrame::NoFrame);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    auto* content = new QWidget;
    content->setObjectName(QStringLiteral("inputFormContent"));
    viewport()->setAutoFillBackground(false);
    auto* stack = new QVBoxLayout(content);
    stack->setContentsMargins(30, 30, 30, 30);
    stack->setSpacing(24);

    QLabel* title =
        styledLabel(QStringLiteral("Provide Dataset"), TextStyle::title2, NamedColor::primary, theme::Weight::bold);
    title->setAlignment(Qt::AlignHCenter);
    stack->addWidget(title);
    QLabel* subtitle = styledLabel(QStringLiteral("Drag a folder of images or a video file to begin."), TextStyle::body,
                                   NamedColor::secondary);
    subtitle->setAlignment(Qt::AlignHCenter);
    stack->addWidget(subtitle);
    tourAnchor(dropZone_, "input_dropzone");
    stack->addWidget(dropZone_);

    choose_->setIcon(symbolIcon(Symbol::folder, QSize(16, 16), palette().color(QPalette::ButtonText)));
    stack->addWidget(choose_, 0, Qt::AlignHCenter);
    auto* shortcut = new QShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_O), this);
    // Anywhere in the window while the form is shown, as the button's own shortcut.
    shortcut->setContext(Qt::WindowShortcut);
    connect(shortcut, &QShortcut::activated, choose_, [this] {
        if (choose_->isEnabled()) choose_->click();
    });
    choose_->setToolTip(shortcut->key().toString(QKeySequence::NativeText));
    connect(choose_, &QPushButton::clicked, &model_, &PipelineViewModel::chooseInput);

    tourAnchor(reconstruction_, "input_reconstruction");
    stack->addWidget(reconstruction_);
    stack->addWidget(video360_);
    tourAnchor(modelSize_, "model_size");
    stack->addWidget(modelSize_);
    tourAnchor(advanced_, "input_advanced_toggle");
    stack->addWidget(advanced_);

    auto* readyLayout = new QHBoxLayout(readyRow_);
    readyLayout->setContentsMargins(0, 0, 0, 0);
    readyLayout->setSpacing(8);
    readyLayout->addStretch(1);
    readyLayout->addWidget(ready_);
    readyLayout->addStretch(1);
    stack->addWidget(readyRow_);
    // What the run will not give COLMAP, as its log will say, in sight
    // whether or not the advanced settings are open.
    photoWarning_->setWordWrap(true);
    stack->addWidget(photoWarning_);

    start_->setIcon(symbolIcon(Symbol::playFill, QSize(14, 14), Qt::white));
    start_->setFixedWidth(200);
    start_->setMinimumHeight(32);
    start_->setFont(theme::font(TextStyle::body, theme::Weight::semibold));
    start_->setStyleSheet(
        QStringLiteral("QPushButton { background: %1; color: white; border-radius: 7px; padding: 6px; }"
                       "QPushButton:disabled { background: %2; color: %3; }")
            .arg(theme::color(NamedColor::blue).name(), theme::color(NamedColor::gray, 0.25).name(QColor::HexArgb),
                 theme::color(NamedColor::secondary).name(QColor::HexArgb)));
    stack->addWidget(start_, 0, Qt::AlignHCenter);
    connect(start_, &QPushButton::clicked, &model_, &PipelineViewModel::startNewRun);

    auto* dividerLayout = new QVBoxLayout(resumeDivider_);
    dividerLayout->setContentsMargins(0, 8, 0, 8);
    dividerLayout->addWidget(divider());
    stack->addWidget(resumeDivider_);
    stack->addWidget(resume_);
    stack->addStretch(1);
    setWidget(content);
    // setWidget() turns the fill on; the form lies on its panel's material.
    content->setAutoFillBackground(false);

    connect(&model_, &PipelineViewModel::tourScrollTargetChanged, this, [this] {
        if (const viewmodel::OptionalText& target = model_.tourScrollTarget()) scrollToSection(*target);
    });
    for (auto changed : {&PipelineViewModel::selectedInputURLChanged, &PipelineViewModel::isInputVideoChanged,
                         &PipelineViewModel::spherical360DetectionChanged, &PipelineViewModel::skipSfMChanged,
                         &PipelineViewModel::photoFolderWarningChanged,
                         &PipelineViewModel::isBusyChanged, &PipelineViewModel::canStartChanged})
        connect(&model_, changed, this, &InputView::refresh);
    refresh();
}

void InputView::refresh() {
    const viewmodel::OptionalPath& input = model_.selectedInputURL();
    const bool chosen = input.has_value();
    choose_->setEnabled(!model_.isBusy());
    reconstruction_->setVisible(chosen);
    video360_->setVisible(chosen && model_.isInputVideo() && model_.spherical360Detection().has_value());
    modelSize_->setVisible(chosen);
    advanced_->setVisible(chosen);
    readyRow_->setVisible(chosen);
    // Never built without an input.
    if (chosen) ready_->setText(InputFormText::readyText(InputFormText::lastPathComponent(*input), model_.skipSfM()));
    const viewmodel::OptionalText& warning = model_.photoFolderWarning();
    photoWarning_->setText(warning.value_or(QString()));
    // With COLMAP skipped, no photo is given to it.
    photoWarning_->setVisible(chosen && !model_.skipSfM() && warning.has_value());
    start_->setVisible(chosen);
    start_->setEnabled(model_.canStart());
    resumeDivider_->setVisible(!model_.isBusy());
    resume_->setVisible(!model_.isBusy());
}

void InputView::revealResumePanel() {
    resumeRevealPending_ = true;
    // A form made for this request is laid out by the events already
    // posted; the scroll follows them.
    QTimer::singleShot(0, this, &InputView::scrollResumeIntoView);
}

void InputView::resizeEvent(QResizeEvent* event) {
    QScrollArea::resizeEvent(event);
    if (resumeRevealPending_) scrollResumeIntoView();
}

void InputView::scrollResumeIntoView() {
    if (!resumeRevealPending_ || !resume_->isVisibleTo(widget()) || viewport()->height() <= 0) return;
    if (QLayout* layout = widget()->layout()) layout->activate();
    resumeRevealPending_ = false;
    const int margin = widget()->layout() ? widget()->layout()->contentsMargins().bottom() : 0;
    const QRect card(resume_->mapTo(widget(), QPoint(0, 0)), resume_->size());
    // The least scroll that shows the card whole, with the form's margin
    // around it; a card taller than the view shows its top.
    const int showsFoot = card.bottom() + 1 + margin - viewport()->height();
    const int showsTop = card.top() - margin;
    const int current = verticalScrollBar()->value();
    const int value = showsFoot > showsTop ? showsTop : std::clamp(current, showsFoot, showsTop);
    Motion::run(*scroll_, current,
                std::clamp(value, verticalScrollBar()->minimum(), verticalScrollBar()->maximum()),
                Motion::defaultMilliseconds, QEasingCurve::InOutQuad);
}

void InputView::scrollToSection(const QString& target) {
    auto* section = widget()->findChild<QWidget*>(target);
    // A section that is not shown is nowhere to scroll to.
    if (!section || !section->isVisibleTo(widget())) return;
    const int centre = section->mapTo(widget(), section->rect().center()).y();
    const int value =
        std::clamp(centre - viewport()->height() / 2, verticalScrollBar()->minimum(), verticalScrollBar()->maximum());
    Motion::run(*scroll_, verticalScrollBar()->value(), value, Motion::defaultMilliseconds, QEasingCurve::InOutQuad);
}

}  // namespace tessaron::views
