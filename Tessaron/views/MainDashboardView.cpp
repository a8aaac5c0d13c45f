#include "views/MainDashboardView.hpp"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QDesktopServices>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QEasingCurve>
#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QToolButton>
#include <QVariantAnimation>

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "services/TourAnchors.hpp"
#include "viewmodel/PipelineViewModel.hpp"
#include "views/FloatingPanel.hpp"
#include "views/Icons.hpp"
#include "views/InputView.hpp"
#include "views/Inspector360View.hpp"
#include "views/Motion.hpp"
#include "views/PresenceTransition.hpp"
#include "views/LogDrawerView.hpp"
#include "views/ResourcesPanelView.hpp"
#include "views/PanelWidgets.hpp"
#include "views/StatusPillView.hpp"
#include "views/StepBackgroundView.hpp"
#include "views/StepMarkersView.hpp"
#include "views/StepMenuView.hpp"
#include "views/Theme.hpp"

namespace tessaron::views {
namespace {

using viewmodel::PipelineViewModel;
using viewmodel::WorkflowStep;

// The floating panels' distances from the window's edges.
constexpr int panelTop = 92;
constexpr int panelBottom = 96;
constexpr int panelLeading = 24;
// A collapsed panel moves left by its width and this much more.
constexpr int collapsedExtra = 48;
constexpr int handleWidth = 10;
constexpr int hideButtonSide = 26;
constexpr int logDrawerWidth = 400;
constexpr int logDrawerTrailing = 24;
constexpr int stepBarBottom = 24;
constexpr int logButtonTrailing = 32;
constexpr int statusBottom = 84;
constexpr int topPadding = 16;
constexpr int topSpacing = 8;
// The panel slides out and back, and the show button comes and goes, with
// this spring.
constexpr Motion::Spring panelSpring{0.35, 0.8};
constexpr int inspectorFadeMilliseconds = 200;

// A round or rounded button that draws only its symbol on a material.
class SymbolButton : public QToolButton {
public:
    SymbolButton(Symbol symbol, int symbolSize, double radius, QWidget* parent)
        : QToolButton(parent), symbol_(symbol), symbolSize_(symbolSize), radius_(radius) {
        setCursor(Qt::PointingHandCursor);
        setAutoRaise(true);
    }
    void setSymbolColor(const QColor& color) {
        color_ = color;
        update();
    }
    QColor symbolColor() const { return color_; }
    void setMaterial(std::optional<theme::Material> material) { material_ = material; }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        if (material_) theme::paintPanel(painter, QRectF(rect()), radius_, *material_, false);
        QRectF symbolRect(0, 0, symbolSize_, symbolSize_);
        symbolRect.moveCenter(QRectF(rect()).center());
        drawSymbol(painter, symbol_, symbolRect, color_);
    }

private:
    Symbol symbol_;
    int symbolSize_;
    double radius_;
    QColor color_ = theme::color(theme::NamedColor::secondary);
    std::optional<theme::Material> material_;
};

// What assistive technologies see of a dashboard: the dashboard itself, and
// none of its content while it is hidden from them (the real dashboard
// under the guided tour, which is there to be seen but not used).
class DashboardAccessible : public QAccessibleWidget {
public:
    explicit DashboardAccessible(MainDashboardView* dashboard) : QAccessibleWidget(dashboard), dashboard_(dashboard) {}

    QAccessible::State state() const override {
        QAccessible::State state = QAccessibleWidget::state();
        if (dashboard_->isHiddenFromAccessibility()) state.invisible = true;
        return state;
    }
    int childCount() const override {
        return dashboard_->isHiddenFromAccessibility() ? 0 : QAccessibleWidget::childCount();
    }
    QAccessibleInterface* child(int index) const override {
        return dashboard_->isHiddenFromAccessibility() ? nullptr : QAccessibleWidget::child(index);
    }
    int indexOfChild(const QAccessibleInterface* child) const override {
        return dashboard_->isHiddenFromAccessibility() ? -1 : QAccessibleWidget::indexOfChild(child);
    }
    QAccessibleInterface* childAt(int x, int y) const override {
        return dashboard_->isHiddenFromAccessibility() ? nullptr : QAccessibleWidget::childAt(x, y);
    }
    QAccessibleInterface* focusChild() const override {
        return dashboard_->isHiddenFromAccessibility() ? nullptr : QAccessibleWidget::focusChild();
    }

private:
    MainDashboardView* dashboard_;
};

QAccessibleInterface* dashboardAccessibleFactory(const QString& className, QObject* object) {
    if (className != QLatin1String(MainDashboardView::staticMetaObject.className())) return nullptr;
    auto* dashboard = qobject_cast<MainDashboardView*>(object);
    return dashboard ? new DashboardAccessible(dashboard) : nullptr;
}

}  // namespace

// The clear strip along the panel's trailing edge that resizes it.
class MainDashboardView::ResizeHandle : public QWidget {
public:
    ResizeHandle(MainDashboardView& owner, QWidget* parent) : QWidget(parent), owner_(owner) {
        setCursor(Qt::SplitHCursor);
        setAttribute(Qt::WA_TranslucentBackground);
    }

protected:
    void mousePressEvent(QMouseEvent* event) override {
        if (event->button() != Qt::LeftButton) return;
        dragStart_ = event->globalPosition().x();
    }
    void mouseMoveEvent(QMouseEvent* event) override {
        if (!dragStart_) return;
        double translation = event->globalPosition().x() - *dragStart_;
        // The gesture starts after the pointer moved by one point.
        if (!dragging_ && std::abs(translation) < 1) return;
        dragging_ = true;
        owner_.dragMenuHandle(translation);
    }
    void mouseReleaseEvent(QMouseEvent*) override {
        if (dragging_) owner_.endMenuDrag();
        dragStart_.reset();
        dragging_ = false;
    }

private:
    MainDashboardView& owner_;
    std::optional<double> dragStart_;
    bool dragging_ = false;
};

MainDashboardView::MainDashboardView(PipelineViewModel& model, core::PreferenceStore& defaults, bool publishesCommands,
                                     ModelOperations operations, QWidget* parent)
    : QWidget(parent),
      model_(model),
      defaults_(defaults),
      publishesCommands_(publishesCommands),
      operations_(std::move(operations)),
      linkOpener_([](const QUrl& url) { QDesktopServices::openUrl(url); }) {
    menuWidth_ = menuWidthFromStored(defaults_.string(menuWidthKey));
    // Once per process: every dashboard answers assistive technologies
    // through DashboardAccessible.
    [[maybe_unused]] static const bool accessibilityInstalled = [] {
        QAccessible::installFactory(dashboardAccessibleFactory);
        return true;
    }();
    setMinimumSize(900, 600);
    setAcceptDrops(true);
    buildLayers();
    bindModel();
    layoutLayers();
}

MainDashboardView::~MainDashboardView() = default;

double MainDashboardView::menuWidthFromStored(const std::optional<std::string>& stored) {
    if (!stored) return defaultMenuWidth;
    const char* text = stored->c_str();
    char* end = nullptr;
    double value = std::strtod(text, &end);
    if (end == text || *end != '\0') return defaultMenuWidth;
    if (!std::isfinite(value)) return defaultMenuWidth;
    return std::clamp(value, minimumMenuWidth, maximumMenuWidth);
}

void MainDashboardView::buildLayers() {
    centrePane_ = new StepBackgroundView(model_, finalViewer_, this);
    centrePane_->onModelDropped = [this](const QUrl& url) {
        finalViewer_.setUrl(url);
        selectStep(WorkflowStep::final);
    };
    centrePane_->onDatasetDropped = [this](const std::filesystem::path& url, bool isVideo) {
        // A tour's sample keeps its own input.
        if (model_.isTourSample()) return;
        model_.selectInput(url, isVideo);
        selectStep(WorkflowStep::input);
    };

    menuPanel_ = new FloatingPanel(20, theme::Material::ultraThin, this);
    auto* menuLayout = new QHBoxLayout(menuPanel_);
    menuLayout->setContentsMargins(0, 0, 0, 0);
    stepMenu_ = new StepMenuView(model_, finalViewer_, menuPanel_);
    menuLayout->addWidget(stepMenu_);
    // "Open Model in Viewer..." works from any step: the chosen model is
    // shown where the viewer is.
    connect(stepMenu_, &StepMenuView::modelChosen, this, [this] { selectStep(WorkflowStep::final); });

    auto* hide = new SymbolButton(Symbol::chevronLeft, 12, -1, menuPanel_);
    hide->setMaterial(theme::Material::thin);
    hide->setToolTip(QStringLiteral("Hide panel"));
    hide->setFixedSize(hideButtonSide, hideButtonSide);
    hideButton_ = hide;
    connect(hideButton_, &QToolButton::clicked, this, [this] { setMenuCollapsed(true); });

    // Beside the panel's trailing edge, not over it: the panel's scroll bar
    // runs along that edge and must stay draggable over its whole width.
    resizeHandle_ = new ResizeHandle(*this, this);

    auto* show = new SymbolButton(Symbol::chevronRight, 14, 10, this);
    show->setMaterial(theme::Material::ultraThin);
    show->setToolTip(QStringLiteral("Show panel"));
    show->setFixedSize(28, 64);
    show->setVisible(false);
    showButton_ = show;
    connect(show, &QToolButton::clicked, this, [this] { setMenuCollapsed(false); });

    logDrawer_ = new LogDrawerView(model_, this);
    logDrawer_->setVisible(false);

    resources_ = new ResourcesPanelView(model_, this);
    connect(resources_, &ResourcesPanelView::contentChanged, this, &MainDashboardView::layoutLayers);

    banner_ = new UpdateBannerView(this);
    banner_->setVisible(false);
    connect(banner_, &UpdateBannerView::laterClicked, this, &MainDashboardView::laterRequested);
    connect(banner_, &UpdateBannerView::linkActivated, this, [this](const QUrl& url) {
        if (linkOpener_) linkOpener_(url);
    });

    stepMarkers_ = new StepMarkersView(this);
    stepMarkers_->onStepClicked = [this](WorkflowStep step) { selectStep(step); };

    auto* logButton = new SymbolButton(Symbol::logDrawer, 22, 0, this);
    logButton->setFixedSize(32, 32);
    logButton->setToolTip(QStringLiteral("Process Logs"));
    logButton_ = logButton;
    connect(logButton_, &QToolButton::clicked, this,
            [this] { model_.setIsLogMenuExpanded(!model_.isLogMenuExpanded()); });

    statusPill_ = new StatusPillView(this);
    statusPill_->setVisible(false);
    connect(statusPill_, &StatusPillView::cancelClicked, this, [this] {
        if (operations_.cancelRun) operations_.cancelRun(model_);
    });

    inspector_ = new Inspector360View(model_, this);
    inspector_->setVisible(false);

    slide_ = new QVariantAnimation(this);
    connect(slide_, &QVariantAnimation::valueChanged, this, [this](const QVariant& value) {
        panelOffset_ = value.toDouble();
        layoutLayers();
    });
    // The show button and the drawer slide in from their edges as they fade
    // in; the inspector fades.
    showTransition_ = new PresenceTransition(*showButton_, panelSpring);
    showTransition_->onPresenceChanged = [this](double) { layoutLayers(); };
    drawerTransition_ = new PresenceTransition(*logDrawer_, Motion::defaultMilliseconds, QEasingCurve::InOutQuad);
    drawerTransition_->onPresenceChanged = [this](double) { layoutLayers(); };
    inspectorTransition_ = new PresenceTransition(*inspector_, inspectorFadeMilliseconds, QEasingCurve::InOutQuad);

    // The layers the guided tour points at; the input form marks its own
    // sections.
    using Step = services::TourOrchestrator::TourStep;
    services::TourAnchors::set(centrePane_, {Step::sfm_visualizer, Step::planning_visualizer, Step::final_render});
    services::TourAnchors::set(menuPanel_, Step::training_stats);
    services::TourAnchors::set(logDrawer_, Step::training_logs);
    services::TourAnchors::set(resources_, Step::planning_resources);
    services::TourAnchors::set(stepMarkers_, Step::main_progress_bar);

    // Back to front: the layers of z-index 0 in order, then 1 to 4.
    for (QWidget* layer : {static_cast<QWidget*>(centrePane_), static_cast<QWidget*>(menuPanel_), resizeHandle_,
                           static_cast<QWidget*>(resources_), static_cast<QWidget*>(banner_), showButton_,
                           static_cast<QWidget*>(logDrawer_), static_cast<QWidget*>(stepMarkers_),
                           static_cast<QWidget*>(logButton_), static_cast<QWidget*>(statusPill_), inspector_})
        layer->raise();
}

void MainDashboardView::bindModel() {
    connect(&model_, &PipelineViewModel::currentStateChanged, this, [this] {
        stepMarkers_->setState(model_.currentState());
        // A failed run's Final step says why, with no model opened earlier
        // shown behind it as if it were the run's.
        if (model_.currentState().kind == pipeline::PipelineState::Kind::error) clearFinalViewer();
        if (auto step = viewmodel::workflowStep(model_.currentState())) setSelectedStep(*step);
        refreshStatus();
    });
    // A fresh start shows where a new run begins, and nothing of the old.
    connect(&model_, &PipelineViewModel::runStateWasReset, this, [this] {
        clearFinalViewer();
        setSelectedStep(WorkflowStep::input);
    });
    // A scanned workspace's card is at the foot of the input form.
    connect(&model_, &PipelineViewModel::resumeWorkspaceScanned, this, [this] {
        setSelectedStep(WorkflowStep::input);
        if (auto* form = qobject_cast<InputView*>(stepMenu_->panel())) form->revealResumePanel();
    });
    for (auto signal : {&PipelineViewModel::isBusyChanged, &PipelineViewModel::isCancellingChanged,
                        &PipelineViewModel::materializedCellCountChanged,
                        &PipelineViewModel::materializationTotalCellsChanged, &PipelineViewModel::iterationChanged,
                        &PipelineViewModel::cancelledRunChanged})
        connect(&model_, signal, this, &MainDashboardView::refreshStatus);
    connect(&model_, &PipelineViewModel::isLogMenuExpandedChanged, this, &MainDashboardView::refreshLogButton);
    connect(centrePane_, &StepBackgroundView::contentChanged, this, &MainDashboardView::refreshContrast);
    connect(&model_, &PipelineViewModel::show360InspectorChanged, this, [this] {
        inspectorTransition_->setPresent(model_.show360Inspector());
        layoutLayers();
    });
    connect(&model_, &PipelineViewModel::isTourSampleChanged, this, &MainDashboardView::publishedModelChanged);
    // A new run's output replaces a model opened earlier, so that the Final
    // step never shows a stale model.
    connect(&model_, &PipelineViewModel::outputPlyPathChanged, this, [this] {
        if (model_.outputPlyPath()) finalViewer_.setUrl(QUrl());
    });
    connect(&model_, &PipelineViewModel::stepStatusesChanged, this,
            [this] { stepMarkers_->setStatuses(model_.stepStatuses()); });
    stepMarkers_->setStatuses(model_.stepStatuses());
    stepMarkers_->setState(model_.currentState());
    stepMarkers_->setSelectedStep(selectedStep_);
    inspectorTransition_->setPresent(model_.show360Inspector());
    refreshStatus();
    refreshLogButton();
    refreshContrast();
}

void MainDashboardView::selectStep(WorkflowStep step) { setSelectedStep(step); }

void MainDashboardView::clearFinalViewer() {
    finalViewer_.setUrl(QUrl());
    finalViewer_.setStats({});
}

void MainDashboardView::setSelectedStep(WorkflowStep step) {
    if (selectedStep_ == step) return;
    selectedStep_ = step;
    stepMenu_->setStep(step);
    centrePane_->setStep(step);
    stepMarkers_->setSelectedStep(step);
    layoutLayers();
    emit selectedStepChanged(step);
}

void MainDashboardView::setMenuCollapsed(bool collapsed) {
    if (isMenuCollapsed_ == collapsed) return;
    isMenuCollapsed_ = collapsed;
    // A collapsed panel takes no clicks; the show button takes its place.
    menuPanel_->setAttribute(Qt::WA_TransparentForMouseEvents, collapsed);
    resizeHandle_->setAttribute(Qt::WA_TransparentForMouseEvents, collapsed);
    showTransition_->setPresent(collapsed);
    // From where the panel is drawn, so that a change of mind turns it round.
    Motion::run(*slide_, panelOffset_, panelTargetOffset(), panelSpring);
}

double MainDashboardView::panelTargetOffset() const { return isMenuCollapsed_ ? -(menuWidth_ + collapsedExtra) : 0.0; }

void MainDashboardView::dragMenuHandle(double translation) {
    double base = menuDragBaseWidth_.value_or(menuWidth_);
    if (!menuDragBaseWidth_) menuDragBaseWidth_ = base;
    setMenuWidth(std::clamp(base + translation, minimumMenuWidth, maximumMenuWidth));
}

void MainDashboardView::endMenuDrag() { menuDragBaseWidth_.reset(); }

void MainDashboardView::setMenuWidth(double width) {
    menuWidth_ = width;
    defaults_.setString(menuWidthKey, QString::number(width, 'g', 17).toStdString());
    if (slide_->state() != QAbstractAnimation::Running) panelOffset_ = panelTargetOffset();
    layoutLayers();
}

void MainDashboardView::setHiddenFromAccessibility(bool hidden) {
    if (hiddenFromAccessibility_ == hidden) return;
    hiddenFromAccessibility_ = hidden;
    // The dashboard and its content leave (or rejoin) what assistive
    // technologies present.
    QAccessibleEvent event(this, hidden ? QAccessible::ObjectHide : QAccessible::ObjectShow);
    QAccessible::updateAccessibility(&event);
}

PipelineViewModel* MainDashboardView::publishedModel() const {
    if (!publishesCommands_ || model_.isTourSample()) return nullptr;
    return &model_;
}

void MainDashboardView::setUpdateOffer(const std::optional<UpdateOffer>& offer) {
    if (offer) banner_->setOffer(*offer);
    banner_->setVisible(offer.has_value());
    layoutLayers();
}

void MainDashboardView::refreshStatus() {
    const bool busy = model_.isBusy();
    const viewmodel::OptionalCancelledRun& cancelled = model_.cancelledRun();
    if (busy)
        statusPill_->setStatus(StatusPillView::statusText(model_.currentState(), model_.materializedCellCount(),
                                                          model_.materializationTotalCells(), model_.iteration()),
                               model_.isCancelling());
    else if (cancelled)
        statusPill_->setEndedStatus(cancelled->note());
    // After a cancel the pill stays to say so, until a new run or a reset.
    statusPill_->setVisible(busy || cancelled);
    stepMarkers_->setCancelledStep(cancelled ? cancelled->step : std::nullopt);
    layoutLayers();
}

void MainDashboardView::refreshLogButton() {
    const bool expanded = model_.isLogMenuExpanded();
    const bool dark = centrePane_->showsDarkContent();
    static_cast<SymbolButton*>(logButton_)
        ->setSymbolColor(expanded ? theme::color(theme::NamedColor::blue)
                         : dark   ? theme::onDarkColor(theme::NamedColor::secondary)
                                  : theme::color(theme::NamedColor::secondary));
    drawerTransition_->setPresent(expanded);
    layoutLayers();
}

void MainDashboardView::refreshContrast() {
    stepMarkers_->setOnDarkBackground(centrePane_->showsDarkContent());
    refreshLogButton();
}

QColor MainDashboardView::logButtonColor() const { return static_cast<SymbolButton*>(logButton_)->symbolColor(); }

void MainDashboardView::dragEnterEvent(QDragEnterEvent* event) {
    if (centrePane_->dragEntered(event->mimeData()))
        event->acceptProposedAction();
    else
        event->ignore();
}

void MainDashboardView::dragLeaveEvent(QDragLeaveEvent* event) {
    centrePane_->dragLeft();
    QWidget::dragLeaveEvent(event);
}

void MainDashboardView::dropEvent(QDropEvent* event) {
    if (centrePane_->dropped(event->mimeData()))
        event->acceptProposedAction();
    else
        event->ignore();
}

void MainDashboardView::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    layoutLayers();
}

void MainDashboardView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), theme::windowBackground());
}

void MainDashboardView::layoutLayers() {
    const int w = width();
    const int h = height();
    centrePane_->setGeometry(rect());
    inspector_->setGeometry(rect());

    const int panelHeight = std::max(0, h - panelTop - panelBottom);
    const int panelWidth = int(std::lround(menuWidth_));
    const int panelX = panelLeading + int(std::lround(panelOffset_));
    menuPanel_->setGeometry(panelX, panelTop, panelWidth, panelHeight);
    hideButton_->move(panelWidth - 8 - hideButtonSide, 8);
    resizeHandle_->setGeometry(panelX + panelWidth, panelTop, handleWidth, panelHeight);
    // The centre pane centres its messages in what the panel leaves free,
    // following the panel as it slides.
    const int freeLeft = std::clamp(panelX + panelWidth, 0, w);
    // An open log drawer takes the right of the band as well: a failure's
    // message must not sit under the log that explains it. In a window too
    // narrow to leave room between the two, the drawer covers it as before.
    const double drawerShown = drawerTransition_->presence();
    int freeRight = w - int(std::lround(drawerShown * (logDrawerTrailing + logDrawerWidth)));
    if (freeRight - freeLeft < minimumMessageRoom) freeRight = w;
    centrePane_->setFreeArea(QRect(freeLeft, panelTop, freeRight - freeLeft, panelHeight));
    // A layer that comes or goes slides from its edge by what it lacks of
    // being there.
    const double showAbsence = 1 - showTransition_->presence();
    showButton_->move(8 - int(std::lround(showAbsence * (8 + showButton_->width()))), (h - showButton_->height()) / 2);

    // The drawer is as tall as its content, centred in the band the panels share.
    const int drawerHeight = std::min(panelHeight, logDrawer_->heightForWidth(logDrawerWidth) > 0
                                                       ? logDrawer_->heightForWidth(logDrawerWidth)
                                                       : logDrawer_->sizeHint().height());
    const double drawerAbsence = 1 - drawerTransition_->presence();
    logDrawer_->setGeometry(w - logDrawerTrailing - logDrawerWidth +
                                int(std::lround(drawerAbsence * (logDrawerTrailing + logDrawerWidth))),
                            panelTop + (panelHeight - drawerHeight) / 2, logDrawerWidth, drawerHeight);

    QSize resourcesSize = resources_->sizeHint();
    resources_->setGeometry((w - resourcesSize.width()) / 2, topPadding, resourcesSize.width(), resourcesSize.height());
    QSize bannerSize = banner_->sizeHint();
    banner_->setGeometry((w - bannerSize.width()) / 2, topPadding + resourcesSize.height() + topSpacing,
                         bannerSize.width(), bannerSize.height());

    QSize barSize = stepMarkers_->sizeHint();
    const int barTop = h - stepBarBottom - barSize.height();
    stepMarkers_->setGeometry((w - barSize.width()) / 2, barTop, barSize.width(), barSize.height());
    logButton_->move(w - logButtonTrailing - logButton_->width(), barTop + (barSize.height() - logButton_->height()) / 2);

    QSize pillSize = statusPill_->sizeHint();
    statusPill_->setGeometry((w - pillSize.width()) / 2, h - statusBottom - pillSize.height(), pillSize.width(),
                             pillSize.height());
}

}  // namespace tessaron::views
