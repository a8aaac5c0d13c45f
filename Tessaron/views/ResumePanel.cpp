#include "views/ResumePanel.hpp"

#include <QHBoxLayout>
#include <QPainter>
#include <QPainterPath>

#include "views/InputFormText.hpp"

namespace tessaron::views {

using theme::NamedColor;
using theme::TextStyle;
using viewmodel::PipelineViewModel;

namespace {

// The summary's box: faint orange, with a slightly stronger outline.
class SummaryBox : public QWidget {
public:
    SummaryBox() {}

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        QPainterPath box;
        box.addRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 8, 8);
        painter.fillPath(box, theme::color(NamedColor::orange, 0.05));
        painter.setPen(QPen(theme::color(NamedColor::orange, 0.2), 1));
        painter.drawPath(box);
    }
};

SymbolLabel* captionLabel(Symbol symbol, NamedColor symbolColor, NamedColor textColor) {
    return new SymbolLabel(symbol, theme::color(symbolColor), {}, theme::font(TextStyle::caption),
                           theme::color(textColor));
}

}  // namespace

ResumePanel::Counts ResumePanel::counts(const pipeline::WorkspaceScanResult& scan) {
    return {scan.completedCells().size(), scan.incompleteCells().size() + scan.missingPlannedCells.size(),
            scan.cells.size() + scan.missingPlannedCells.size()};
}

ResumePanel::ResumePanel(PipelineViewModel& model, QWidget* parent)
    : SettingsSection(QStringLiteral("Resume Interrupted Training"), parent),
      model_(model),
      selectWorkspace_(new QPushButton(QStringLiteral("Select Workspace\u2026"))),
      divider_(divider()),
      summary_(new SummaryBox),
      workspace_(captionLabel(Symbol::folderFill, NamedColor::blue, NamedColor::blue)),
      completed_(captionLabel(Symbol::checkmarkCircleFill, NamedColor::green, NamedColor::primary)),
      remaining_(captionLabel(Symbol::exclamationmarkCircleFill, NamedColor::orange, NamedColor::primary)),
      total_(oneLine(styledLabel({}, TextStyle::caption, NamedColor::secondary))),
      downscale_(captionLabel(Symbol::arrowsInward, NamedColor::secondary, NamedColor::secondary)),
      cap_(captionLabel(Symbol::cpu, NamedColor::secondary, NamedColor::secondary)),
      eval_(captionLabel(Symbol::chartBar, NamedColor::secondary, NamedColor::secondary)),
      resume_(new QPushButton(QStringLiteral("Resume Training"))),
      nothingTrained_(captionLabel(Symbol::xmarkCircleFill, NamedColor::red, NamedColor::red)),
      allTrained_(captionLabel(Symbol::checkmarkCircleFill, NamedColor::green, NamedColor::green)) {
    addRow(styledLabel(QStringLiteral("If a VastGaussian training run was interrupted, you can resume from the last "
                                      "completed cell."),
                       TextStyle::caption2, NamedColor::secondary));
    selectWorkspace_->setIcon(symbolIcon(Symbol::folderQuestion, QSize(16, 16), palette().color(QPalette::ButtonText)));
    rows()->addWidget(selectWorkspace_, 0, Qt::AlignLeft);
    addRow(divider_);
    addRow(summary_);

    auto* stack = new QVBoxLayout(summary_);
    stack->setContentsMargins(10, 10, 10, 10);
    stack->setSpacing(6);
    stack->addWidget(workspace_);
    auto* countRow = new QHBoxLayout;
    countRow->setSpacing(16);
    countRow->addWidget(completed_);
    countRow->addWidget(remaining_);
    countRow->addWidget(total_);
    countRow->addStretch(1);
    stack->addLayout(countRow);
    auto* settingsRow = new QHBoxLayout;
    settingsRow->setSpacing(12);
    settingsRow->addWidget(downscale_);
    settingsRow->addWidget(cap_);
    settingsRow->addWidget(eval_);
    settingsRow->addStretch(1);
    stack->addLayout(settingsRow);
    resume_->setIcon(symbolIcon(Symbol::playFill, QSize(14, 14), Qt::white));
    resume_->setFont(theme::font(TextStyle::body, theme::Weight::semibold));
    resume_->setMinimumHeight(30);
    resume_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    resume_->setStyleSheet(
        QStringLiteral("QPushButton { background: %1; color: white; border-radius: 6px; padding: 5px; }"
                       "QPushButton:disabled { background: %2; }")
            .arg(theme::color(NamedColor::orange).name(), theme::color(NamedColor::orange, 0.4).name(QColor::HexArgb)));
    stack->addSpacing(4);
    stack->addWidget(resume_);
    nothingTrained_->setText(
        QStringLiteral("No completed cells found \u2014 this workspace may not have started training."));
    allTrained_->setText(QStringLiteral("All cells are already trained. Use Re-merge in the Export tab if needed."));
    for (SymbolLabel* line : {nothingTrained_, allTrained_}) {
        line->textView()->setWordWrap(true);
        stack->addWidget(line);
    }

    connect(selectWorkspace_, &QPushButton::clicked, &model_, &PipelineViewModel::selectResumeWorkspace);
    connect(resume_, &QPushButton::clicked, &model_, &PipelineViewModel::resumeTraining);
    connect(&model_, &PipelineViewModel::workspaceScanResultChanged, this, &ResumePanel::refresh);
    connect(&model_, &PipelineViewModel::isBusyChanged, this, &ResumePanel::refresh);
    refresh();
}

QStringList ResumePanel::settingsTexts() const {
    QStringList texts;
    for (const SymbolLabel* label : {downscale_, cap_, eval_})
        if (!label->isHidden()) texts << label->text();
    return texts;
}

void ResumePanel::refresh() {
    const viewmodel::OptionalScanResult& scan = model_.workspaceScanResult();
    divider_->setVisible(scan.has_value());
    summary_->setVisible(scan.has_value());
    if (!scan) return;
    workspace_->setText(InputFormText::lastPathComponent(scan->workspaceURL));
    workspace_->setElided(true);
    const Counts found = counts(*scan);
    completed_->setText(QString::number(found.completed) + QStringLiteral(" completed"));
    remaining_->setText(QString::number(found.remaining) + QStringLiteral(" remaining"));
    total_->setText(QStringLiteral("(") + QString::number(found.total) + QStringLiteral(" total)"));

    downscale_->setVisible(scan->downscaleFromLog.has_value());
    if (scan->downscaleFromLog)
        downscale_->setText(QStringLiteral("Downscale: ") + QString::number(*scan->downscaleFromLog) + u'\u00d7');
    cap_->setVisible(scan->capMaxFromLog.has_value());
    if (scan->capMaxFromLog) cap_->setText(QStringLiteral("Cap: ") + InputFormText::capText(*scan->capMaxFromLog));
    eval_->setVisible(scan->evalFromLog.has_value());
    if (scan->evalFromLog) eval_->setText(QStringLiteral("Eval: ") + (*scan->evalFromLog ? "on" : "off"));

    const bool leftToDo = found.remaining > 0;
    resume_->setVisible(leftToDo);
    resume_->setEnabled(!model_.isBusy());
    nothingTrained_->setVisible(!leftToDo && found.completed == 0);
    allTrained_->setVisible(!leftToDo && found.completed > 0);
}

}  // namespace tessaron::views
