#pragma once

#include "viewmodel/PipelineViewModel.hpp"
#include "views/FloatingPanel.hpp"

namespace tessaron::views {

// The decorative picture of structure from motion before the first snapshot.
// Stands in until the view is built; its constructor and public calls are
// what the window relies on.
class SfMAnimationView : public PlaceholderView {
    Q_OBJECT
public:
    explicit SfMAnimationView(QWidget* parent = nullptr);

    // Runs while structure from motion runs; rests, dimmed, otherwise.
    void setRunning(bool running) { running_ = running; }

private:
    bool running_ = false;
};

}  // namespace tessaron::views
