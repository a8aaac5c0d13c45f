#include "views/FinalPanelView.hpp"

#include <QButtonGroup>
#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLocale>
#include <QPushButton>
#include <QVBoxLayout>

#include "services/FeedbackSender.hpp"
#include "viewer/SplatConverterView.hpp"
#include "views/WheelFocusGuard.hpp"
#include "views/FileManager.hpp"
#include "views/PanelControls.hpp"
#include "views/PanelWidgets.hpp"

namespace tessaron::views {
namespace {

using Kind = pipeline::PipelineState::Kind;
using theme::NamedColor;
using theme::TextStyle;

QPushButton* borderedButton(const QString& title, std::optional<Symbol> symbol, QWidget* parent) {
    auto* button = new QPushButton(title, parent);
    if (symbol) button->setIcon(symbolIcon(*symbol, QSize(14, 14), theme::color(NamedColor::primary, 0.85)));
    styleBorderedButton(*button);
    return button;
}

QLabel* wrappedLabel(const QString& text, TextStyle style, NamedColor color, QWidget* parent) {
    return styledLabel(text, style, color, theme::Weight::regular, parent);
}

// One segment of the camera picker.
QPushButton* segment(const QString& title, QWidget* parent) {
    auto* button = new QPushButton(title, parent);
    button->setCheckable(true);
    button->setFont(theme::font(TextStyle::callout));
    button->setCursor(Qt::PointingHandCursor);
    button->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    button->setStyleSheet(
        QStringLiteral("QPushButton { border: 1px solid %1; padding: 3px 10px; background: transparent; }"
                       "QPushButton:checked { background: %2; color: white; border-color: %2; }")
            .arg(theme::color(NamedColor::primary, 0.2).name(QColor::HexArgb), theme::color(NamedColor::blue).name()));
    return button;
}

}  // namespace

FinalPanelView::Actions FinalPanelView::Actions::standard() {
    Actions actions;
    actions.reportProblem = [](const QString& context) {
        auto* sender = new services::FeedbackSender(context);
        services::FeedbackSender::liveSenders().insert(sender);
        sender->send();
    };
    actions.revealFile = [](const std::filesystem::path& file) { FileManager::reveal(file); };
    return actions;
}

FinalPanelView::FinalPanelView(viewmodel::PipelineViewModel& model, FinalViewerState& viewer, QWidget* parent)
    : FinalPanelView(model, viewer, Actions::standard(), parent) {}

FinalPanelView::FinalPanelView(viewmodel::PipelineViewModel& model, FinalViewerState& viewer, Actions actions,
                               QWidget* parent)
    : QWidget(parent), model_(model), viewer_(viewer), actions_(std::move(actions)) {
    build();
    using Model = viewmodel::PipelineViewModel;
    connect(&model_, &Model::currentStateChanged, this, &FinalPanelView::rebuildOutcome);
    connect(&model_, &Model::logFileURLChanged, this, &FinalPanelView::rebuildOutcome);
    connect(&model_, &Model::cancelledRunChanged, this, &FinalPanelView::rebuildOutcome);
    connect(&viewer_, &FinalViewerState::urlChanged, this, &FinalPanelView::rebuildOutcome);
    connect(&model_, &Model::isBusyChanged, this, &FinalPanelView::refreshIdleBlock);
    connect(&viewer_, &FinalViewerState::orbitChanged, this, &FinalPanelView::refreshViewerControls);
    connect(&viewer_, &FinalViewerState::showStatsChanged, this, &FinalPanelView::refreshViewerControls);
    connect(&viewer_, &FinalViewerState::statsChanged, this, &FinalPanelView::refreshViewerControls);
    rebuildOutcome();
    refreshViewerControls();
    refreshIdleBlock();
}

QString FinalPanelView::problemContext(const QString& message) {
    return QStringLiteral("Tessaron stopped with an error: ") + message;
}

QStringList FinalPanelView::statisticsLines(const viewer::SplatViewerStats& stats) {
    return {tr("FPS: ") + QString::asprintf("%.0f", stats.fps),
            tr("Gaussians: ") + QLocale().toString(qlonglong(stats.gaussianCount)),
            tr("Draw: ") + QString::asprintf("%.1f", stats.drawTimeMs) + tr(" ms"), tr("Renderer: SplatRenderer")};
}

void FinalPanelView::build() {
    QVBoxLayout* column = panelColumn(this);
    header_ = new PanelHeader(QStringLiteral("Final"), this);
    column->addWidget(header_);

    outcomeHolder_ = new QVBoxLayout;
    outcomeHolder_->setContentsMargins(0, 0, 0, 0);
    column->addLayout(outcomeHolder_);

    column->addWidget(paddedDivider(this));
    column->addWidget(buildViewerControls());

    statistics_ = monospacedLabel({}, TextStyle::caption2, NamedColor::secondary, theme::Weight::regular, this);
    statistics_->setContentsMargins(8, 8, 8, 8);
    statistics_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    statistics_->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    statistics_->setStyleSheet(QStringLiteral("QLabel { background: %1; border-radius: 8px; }")
                                   .arg(theme::color(NamedColor::primary, 0.05).name(QColor::HexArgb)));
    column->addWidget(statistics_);

    openModel_ = borderedButton(QStringLiteral("Open a model in the viewer…"), Symbol::docBadgePlus, this);
    column->addWidget(openModel_, 0, Qt::AlignLeft);
    connect(openModel_, &QPushButton::clicked, this, &FinalPanelView::openModelRequested);
    column->addWidget(wrappedLabel(tr("PLY · SPZ · .splat — or drop a file anywhere on the background."),
                                   TextStyle::caption2, NamedColor::secondary, this));
    column->addWidget(buildIdleBlock());
}

QWidget* FinalPanelView::buildViewerControls() {
    auto* controls = new QWidget(this);
    auto* column = new QVBoxLayout(controls);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(16);

    auto* picker = new QWidget(controls);
    auto* pickerRow = new QHBoxLayout(picker);
    pickerRow->setContentsMargins(0, 0, 0, 0);
    pickerRow->setSpacing(8);
    pickerRow->addWidget(
        styledLabel(tr("Camera"), TextStyle::body, NamedColor::primary, theme::Weight::regular, picker));
    auto* segments = new QHBoxLayout;
    segments->setSpacing(0);
    orbit_ = segment(QStringLiteral("Orbit"), picker);
    freeFly_ = segment(QStringLiteral("Free-Fly"), picker);
    segments->addWidget(orbit_);
    segments->addWidget(freeFly_);
    pickerRow->addLayout(segments, 1);
    auto* group = new QButtonGroup(picker);
    group->addButton(orbit_);
    group->addButton(freeFly_);
    connect(orbit_, &QAbstractButton::clicked, this, [this] { viewer_.setOrbit(true); });
    connect(freeFly_, &QAbstractButton::clicked, this, [this] { viewer_.setOrbit(false); });
    column->addWidget(picker);

    auto* toggle = new QWidget(controls);
    auto* toggleRow = new QHBoxLayout(toggle);
    toggleRow->setContentsMargins(0, 0, 0, 0);
    toggleRow->addWidget(
        styledLabel(tr("Show Stats"), TextStyle::caption, NamedColor::primary, theme::Weight::regular, toggle));
    toggleRow->addStretch(1);
    showStats_ = new SwitchButton(toggle);
    toggleRow->addWidget(showStats_);
    connect(showStats_, &QAbstractButton::clicked, this, [this](bool checked) { viewer_.setShowStats(checked); });
    column->addWidget(toggle);
    return controls;
}

QWidget* FinalPanelView::buildIdleBlock() {
    idleBlock_ = new QWidget(this);
    auto* column = new QVBoxLayout(idleBlock_);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(16);
    column->addWidget(paddedDivider(idleBlock_));

    auto* remergeSection = new QWidget(idleBlock_);
    auto* remerge = new QVBoxLayout(remergeSection);
    remerge->setContentsMargins(0, 0, 0, 0);
    remerge->setSpacing(6);
    remerge->addWidget(
        wrappedLabel(tr("Re-merge without retraining"), TextStyle::caption, NamedColor::secondary, remergeSection));
    remerge_ = borderedButton(QStringLiteral("Re-merge Existing Cells…"), Symbol::squareStack3dUp, remergeSection);
    remerge->addWidget(remerge_, 0, Qt::AlignLeft);
    connect(remerge_, &QPushButton::clicked, this, [this] { model_.startRemerge(); });
    remerge->addWidget(wrappedLabel(tr("Picks a Tessaron_workspace folder and re-runs the seamless merge over "
                                       "partitions/cell_*/output.ply."),
                                    TextStyle::caption2, NamedColor::secondary, remergeSection));
    column->addWidget(remergeSection);
    column->addWidget(paddedDivider(idleBlock_));

    converterHolder_ = new QVBoxLayout;
    converterHolder_->setContentsMargins(0, 0, 0, 0);
    column->addLayout(converterHolder_);
    return idleBlock_;
}

void FinalPanelView::rebuildOutcome() {
    // The section's buttons may be what changed the state: the old section
    // goes once their click has been handled.
    if (outcome_) {
        outcome_->hide();
        outcome_->deleteLater();
    }
    outcome_ = new QWidget(this);
    auto* column = new QVBoxLayout(outcome_);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(16);

    auto addBadge = [&](Symbol symbol, NamedColor color, const QString& text) {
        column->addWidget(statusBadge(symbol, color, text, outcome_), 0, Qt::AlignLeft);
    };
    // The log as it was when the section was built.
    auto addRevealLogs = [&] {
        const viewmodel::OptionalPath& log = model_.logFileURL();
        if (!log) return;
        QPushButton* reveal = borderedButton(QStringLiteral("Show Logs in File Manager"), Symbol::folder, outcome_);
        connect(reveal, &QPushButton::clicked, this, [this, file = *log] {
            if (actions_.revealFile) actions_.revealFile(file);
        });
        column->addWidget(reveal, 0, Qt::AlignLeft);
    };

    const pipeline::PipelineState& state = model_.currentState();
    switch (state.kind) {
    case Kind::completed: {
        addBadge(Symbol::checkmarkCircleFill, NamedColor::green, QStringLiteral("Pipeline complete"));
        addRevealLogs();
        QPushButton* startNew = borderedButton(tr("Start New Pipeline"), std::nullopt, outcome_);
        connect(startNew, &QPushButton::clicked, this, &FinalPanelView::startOver);
        column->addWidget(startNew, 0, Qt::AlignLeft);
        break;
    }
    case Kind::exporting: {
        auto* row = new QWidget(outcome_);
        auto* layout = new QHBoxLayout(row);
        layout->setContentsMargins(0, 0, 0, 0);
        layout->setSpacing(8);
        layout->addWidget(new ActivitySpinner(row), 0, Qt::AlignVCenter);
        layout->addWidget(wrappedLabel(tr("Exporting PLY…"), TextStyle::body, NamedColor::secondary, row), 0,
                          Qt::AlignVCenter);
        layout->addStretch(1);
        column->addWidget(row);
        break;
    }
    case Kind::error: {
        addBadge(Symbol::exclamationmarkTriangleFill, NamedColor::red, QStringLiteral("Pipeline failed"));
        const QString message = QString::fromStdString(state.message);
        QLabel* text = wrappedLabel({}, TextStyle::callout, NamedColor::secondary, outcome_);
        text->setTextFormat(Qt::PlainText);
        text->setText(message);
        text->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
        text->setObjectName(QStringLiteral("errorMessage"));
        column->addWidget(text);
        QPushButton* report = borderedButton(QStringLiteral("Report This Problem…"), Symbol::envelope, outcome_);
        connect(report, &QPushButton::clicked, this, [this, message] {
            if (actions_.reportProblem) actions_.reportProblem(problemContext(message));
        });
        column->addWidget(report, 0, Qt::AlignLeft);
        addRevealLogs();
        auto* reset = new QPushButton(tr("Reset && Try Again"), outcome_);  // "&&": a plain ampersand
        styleProminentButton(*reset, theme::color(NamedColor::red));
        connect(reset, &QPushButton::clicked, this, &FinalPanelView::startOver);
        column->addWidget(reset, 0, Qt::AlignLeft);
        break;
    }
    case Kind::idle:
        if (const viewmodel::OptionalCancelledRun& cancelled = model_.cancelledRun()) {
            // The earlier steps will not finish: the section says how the run ended instead.
            addBadge(Symbol::xmarkCircleFill, NamedColor::orange, QStringLiteral("Pipeline cancelled"));
            column->addWidget(wrappedLabel(cancelled->note(), TextStyle::callout, NamedColor::secondary, outcome_));
            addRevealLogs();
            QPushButton* startNew = borderedButton(tr("Start New Pipeline"), std::nullopt, outcome_);
            connect(startNew, &QPushButton::clicked, this, &FinalPanelView::startOver);
            column->addWidget(startNew, 0, Qt::AlignLeft);
            break;
        }
        // With nothing running, a model the user opened by hand is not waiting for any step.
        if (!viewer_.url().isEmpty()) break;
        [[fallthrough]];
    case Kind::extractingFrames:
    case Kind::processingSfM:
    case Kind::preparingData:
    case Kind::awaitingPartitionApproval:
    case Kind::materializingCells:
    case Kind::training:
        column->addWidget(wrappedLabel(tr("Waiting for earlier steps to finish…"), TextStyle::callout,
                                       NamedColor::secondary, outcome_));
        break;
    }
    outcomeHolder_->addWidget(outcome_);
    // At once, not with the layout's deferred show.
    outcome_->show();
}

void FinalPanelView::refreshViewerControls() {
    orbit_->setChecked(viewer_.orbit());
    freeFly_->setChecked(!viewer_.orbit());
    showStats_->setChecked(viewer_.showStats());
    statistics_->setVisible(viewer_.showStats());
    statistics_->setText(statisticsLines(viewer_.stats()).join(QLatin1Char('\n')));
}

void FinalPanelView::refreshIdleBlock() {
    const bool idle = !model_.isBusy();
    idleBlock_->setVisible(idle);
    if (!idle) {
        // A new converter comes with the block's return, with the output of that moment.
        if (converter_) converter_->deleteLater();
        converter_.clear();
        return;
    }
    if (converter_) return;
    std::optional<std::filesystem::path> initial;
    if (const viewmodel::OptionalText& output = model_.outputPlyPath())
        initial = std::filesystem::path(output->toStdString());
    converter_ = new viewer::SplatConverterView(initial, idleBlock_);
    // The panel scrolls: its format list takes the wheel only when focused.
    for (QComboBox* list : converter_->findChildren<QComboBox*>()) WheelFocusGuard::install(list);
    converterHolder_->addWidget(converter_);
    converter_->show();
}

void FinalPanelView::startOver() { model_.resetRunState(); }

}  // namespace tessaron::views
