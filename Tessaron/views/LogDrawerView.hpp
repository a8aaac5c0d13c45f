#pragma once

#include "viewmodel/PipelineViewModel.hpp"
#include "views/FloatingPanel.hpp"

class QToolButton;

namespace tessaron::views {

class LogConsoleView;

// The "Process Logs" drawer: the log of the stage the run is in, in a
// console, and a button that closes the drawer.
class LogDrawerView : public FloatingPanel {
    Q_OBJECT
public:
    explicit LogDrawerView(viewmodel::PipelineViewModel& model, QWidget* parent = nullptr);

    // The log the drawer shows in a state: the log of the state's stage;
    // while idle, "Ready.", or the last log of a run that was cancelled.
    static QString logFor(const viewmodel::PipelineViewModel& model);

    LogConsoleView* console() const { return console_; }
    QToolButton* closeButton() const { return close_; }

private:
    void refresh();

    viewmodel::PipelineViewModel& model_;
    LogConsoleView* console_;
    QToolButton* close_;
};

}  // namespace tessaron::views
