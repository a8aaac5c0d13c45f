#pragma once

#include <QMainWindow>

#include <functional>
#include <memory>

#include "core/PreferenceStore.hpp"
#include "views/ModelOperations.hpp"
#include "views/TessaronCommands.hpp"

namespace tessaron::viewmodel {
class PipelineViewModel;
}

namespace tessaron::views {

class MainDashboardView;
class TourHost;

// The main window "Tessaron": the tour host with the dashboard (and the
// guided tour over it on a first launch), at least
// 900 × 600, with the menu bar of TessaronCommands. Closing it is a quit
// request, which the quit guard answers: the window itself never closes on
// its own.
class MainWindow : public QMainWindow {
    Q_OBJECT
public:
    static constexpr int minimumWidth = 900;
    static constexpr int minimumHeight = 600;

    MainWindow(viewmodel::PipelineViewModel& model, core::PreferenceStore& defaults, ModelOperations operations,
               ApplicationActions actions, QWidget* parent = nullptr,
               std::function<std::unique_ptr<viewmodel::PipelineViewModel>()> makeTourSample = {});

    MainDashboardView& dashboard() const;
    TourHost& tourHost() const { return *tourHost_; }
    TessaronCommands& commands() const { return *commands_; }

signals:
    // The user closed the window (its close button or the window manager).
    void closeRequested();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    TourHost* tourHost_;
    TessaronCommands* commands_;
};

}  // namespace tessaron::views
