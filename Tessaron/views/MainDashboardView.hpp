#pragma once

#include <QPointer>
#include <QUrl>
#include <QWidget>

#include <functional>
#include <optional>
#include <string>

#include "core/PreferenceStore.hpp"
#include "pipeline/PipelineState.hpp"
#include "viewmodel/WorkflowStep.hpp"
#include "views/FinalViewerState.hpp"
#include "views/ModelOperations.hpp"
#include "views/UpdateBannerView.hpp"

class QLabel;
class QToolButton;
class QVariantAnimation;

namespace tessaron::viewmodel {
class PipelineViewModel;
}

namespace tessaron::views {

class FloatingPanel;
class LogDrawerView;
class PresenceTransition;
class ResourcesPanelView;
class StatusPillView;
class StepBackgroundView;
class StepMarkersView;
class StepMenuView;

// The whole content of the main window, as layers from back to front: the
// centre pane, the floating step menu (resizable, collapsible), its show
// button, the log drawer, the resources strip and update banner at the top,
// the step markers with the log button at the bottom, the status pill while
// the model is busy, and the 360° inspector on request. The dashboard owns
// the selected step, which follows the run's state.
//
// Threads: the main thread only.
class MainDashboardView : public QWidget {
    Q_OBJECT
public:
    static constexpr double defaultMenuWidth = 430;
    static constexpr double minimumMenuWidth = 360;
    static constexpr double maximumMenuWidth = 560;
    static constexpr const char* menuWidthKey = "leftMenuWidth";
    // The least width between the menu and an open log drawer in which the
    // centre pane's messages are placed; with less, they take the width up
    // to the window's edge.
    static constexpr int minimumMessageRoom = 240;

    // `model` and `defaults` must outlive the dashboard.
    MainDashboardView(viewmodel::PipelineViewModel& model, core::PreferenceStore& defaults, bool publishesCommands,
                      ModelOperations operations = ModelOperations::standard(), QWidget* parent = nullptr);
    ~MainDashboardView() override;

    viewmodel::PipelineViewModel& model() const { return model_; }
    // What the Final step's viewer shows, shared by the centre pane and the
    // Final panel.
    FinalViewerState& finalViewer() { return finalViewer_; }

    viewmodel::WorkflowStep selectedStep() const { return selectedStep_; }
    // A pick by the user; it stands until the next change of the run's state.
    void selectStep(viewmodel::WorkflowStep step);

    double menuWidth() const { return menuWidth_; }
    bool isMenuCollapsed() const { return isMenuCollapsed_; }
    void setMenuCollapsed(bool collapsed);
    // The resize gesture: the width is the width at the drag's start plus
    // `translation`, within 360 … 560, stored at once.
    void dragMenuHandle(double translation);
    void endMenuDrag();

    // Hidden from assistive technologies: the dashboard reports itself
    // invisible and without content, while it stays on screen.
    void setHiddenFromAccessibility(bool hidden);
    bool isHiddenFromAccessibility() const { return hiddenFromAccessibility_; }

    // The model the menu commands act on: this dashboard's, unless it was
    // told not to publish or the model is a tour sample.
    viewmodel::PipelineViewModel* publishedModel() const;

    // The release on offer, or none; the banner shows exactly while one is.
    void setUpdateOffer(const std::optional<UpdateOffer>& offer);
    // Opens a banner link; by default through the desktop.
    void setLinkOpener(std::function<void(const QUrl&)> opener) { linkOpener_ = std::move(opener); }

    // The stored width as the dashboard reads it: absent or unreadable gives
    // 430, a non-finite value 430, anything else is clamped to 360 … 560.
    static double menuWidthFromStored(const std::optional<std::string>& stored);

    // The layers, for the window's tests and screenshots.
    StepBackgroundView* centrePane() const { return centrePane_; }
    FloatingPanel* menuPanel() const { return menuPanel_; }
    StepMenuView* stepMenu() const { return stepMenu_; }
    QToolButton* hideButton() const { return hideButton_; }
    QWidget* showButton() const { return showButton_; }
    QWidget* resizeHandle() const { return resizeHandle_; }
    LogDrawerView* logDrawer() const { return logDrawer_; }
    ResourcesPanelView* resourcesPanel() const { return resources_; }
    UpdateBannerView* updateBanner() const { return banner_; }
    StepMarkersView* stepMarkers() const { return stepMarkers_; }
    QToolButton* logButton() const { return logButton_; }
    // The log-drawer button's symbol colour as drawn.
    QColor logButtonColor() const;
    StatusPillView* statusPill() const { return statusPill_; }
    QWidget* inspector() const { return inspector_; }
    // The panel's slide and the layers' comings and goings, for tests that
    // step them.
    QVariantAnimation* panelSlide() const { return slide_; }
    PresenceTransition* showButtonTransition() const { return showTransition_; }
    PresenceTransition* logDrawerTransition() const { return drawerTransition_; }
    PresenceTransition* inspectorTransition() const { return inspectorTransition_; }

signals:
    void selectedStepChanged(viewmodel::WorkflowStep step);
    void publishedModelChanged();
    void laterRequested();

protected:
    // Drags over the other layers reach the centre pane: the whole window
    // is its drop target.
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragLeaveEvent(QDragLeaveEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    class ResizeHandle;

    void buildLayers();
    void bindModel();
    void setSelectedStep(viewmodel::WorkflowStep step);
    // No model chosen by hand, and no statistics of a model no longer shown.
    void clearFinalViewer();
    void setMenuWidth(double width);
    void layoutLayers();
    void refreshStatus();
    void refreshLogButton();
    void refreshContrast();
    double panelTargetOffset() const;

    viewmodel::PipelineViewModel& model_;
    core::PreferenceStore& defaults_;
    const bool publishesCommands_;
    ModelOperations operations_;
    std::function<void(const QUrl&)> linkOpener_;

    viewmodel::WorkflowStep selectedStep_ = viewmodel::WorkflowStep::input;
    double menuWidth_ = defaultMenuWidth;
    bool isMenuCollapsed_ = false;
    bool hiddenFromAccessibility_ = false;
    std::optional<double> menuDragBaseWidth_;
    double panelOffset_ = 0;  // as drawn, animated towards panelTargetOffset()
    FinalViewerState finalViewer_;

    StepBackgroundView* centrePane_ = nullptr;
    FloatingPanel* menuPanel_ = nullptr;
    StepMenuView* stepMenu_ = nullptr;
    QToolButton* hideButton_ = nullptr;
    QWidget* resizeHandle_ = nullptr;
    QWidget* showButton_ = nullptr;
    LogDrawerView* logDrawer_ = nullptr;
    ResourcesPanelView* resources_ = nullptr;
    UpdateBannerView* banner_ = nullptr;
    StepMarkersView* stepMarkers_ = nullptr;
    QToolButton* logButton_ = nullptr;
    StatusPillView* statusPill_ = nullptr;
    QWidget* inspector_ = nullptr;
    QVariantAnimation* slide_ = nullptr;
    PresenceTransition* showTransition_ = nullptr;
    PresenceTransition* drawerTransition_ = nullptr;
    PresenceTransition* inspectorTransition_ = nullptr;
};

}  // namespace tessaron::views
