#include "views/LogDrawerView.hpp"

#include <QHBoxLayout>
#include <QToolButton>
#include <QVBoxLayout>

#include "views/Icons.hpp"
#include "views/LogConsoleView.hpp"
#include "views/PanelWidgets.hpp"

namespace tessaron::views {

using viewmodel::PipelineViewModel;
using Kind = pipeline::PipelineState::Kind;

LogDrawerView::LogDrawerView(PipelineViewModel& model, QWidget* parent)
    : FloatingPanel(16, theme::Material::ultraThin, parent), model_(model) {
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(16, 16, 16, 16);
    column->setSpacing(12);
    auto* header = new QHBoxLayout();
    header->setContentsMargins(0, 0, 0, 8);
    header->addWidget(styledLabel(QStringLiteral("Process Logs"), theme::TextStyle::headline,
                                  theme::NamedColor::primary));
    header->addStretch(1);
    close_ = new QToolButton(this);
    close_->setAutoRaise(true);
    close_->setIcon(symbolIcon(Symbol::xmarkCircleFill, QSize(16, 16), theme::color(theme::NamedColor::secondary)));
    close_->setIconSize(QSize(16, 16));
    close_->setCursor(Qt::PointingHandCursor);
    close_->setStyleSheet(QStringLiteral("QToolButton { border: none; background: transparent; }"));
    connect(close_, &QToolButton::clicked, this, [this] { model_.setIsLogMenuExpanded(false); });
    header->addWidget(close_);
    column->addLayout(header);
    console_ = new LogConsoleView(QStringLiteral("Logs will appear here..."), this);
    column->addWidget(console_);

    for (auto signal : {&PipelineViewModel::currentStateChanged, &PipelineViewModel::extractionLogChanged,
                        &PipelineViewModel::sfmLogChanged, &PipelineViewModel::dataPrepLogChanged,
                        &PipelineViewModel::trainingLogChanged, &PipelineViewModel::exportLogChanged,
                        &PipelineViewModel::cancelledRunChanged, &PipelineViewModel::failedRunChanged})
        connect(&model_, signal, this, &LogDrawerView::refresh);
    refresh();
}

namespace {

const QString& stepLog(const PipelineViewModel& model, pipeline::PipelineLogStep step) {
    using Step = pipeline::PipelineLogStep;
    switch (step) {
    case Step::extraction: return model.extractionLog();
    case Step::sfm: return model.sfmLog();
    case Step::dataPrep: return model.dataPrepLog();
    case Step::training: return model.trainingLog();
    case Step::export_: return model.exportLog();
    }
    return model.exportLog();
}

}  // namespace

QString LogDrawerView::logFor(const PipelineViewModel& model) {
    switch (model.currentState().kind) {
    case Kind::idle: {
        // A cancelled run's last lines stay in view.
        const viewmodel::OptionalCancelledRun& cancelled = model.cancelledRun();
        if (!cancelled || !cancelled->lastLogStep) return QStringLiteral("Ready.");
        return stepLog(model, *cancelled->lastLogStep);
    }
    case Kind::error: {
        // The log of the step that failed tells why; a failure that wrote
        // no line has only its message.
        const viewmodel::OptionalFailedRun& failed = model.failedRun();
        if (failed && failed->logStep) return stepLog(model, *failed->logStep);
        return QString::fromStdString(model.currentState().message);
    }
    case Kind::extractingFrames: return model.extractionLog();
    case Kind::processingSfM: return model.sfmLog();
    case Kind::preparingData:
    case Kind::awaitingPartitionApproval:
    case Kind::materializingCells: return model.dataPrepLog();
    case Kind::training: return model.trainingLog();
    case Kind::exporting:
    case Kind::completed: return model.exportLog();
    }
    return {};
}

void LogDrawerView::refresh() { console_->setLogText(logFor(model_)); }

}  // namespace tessaron::views
