#pragma once

#include <functional>

namespace tessaron::viewmodel {
class PipelineViewModel;
}

namespace tessaron::views {

// The view-model operations the window's buttons and menu commands start.
// Each is a function of the model it acts on, so that a test can watch what
// a click reaches. standard() holds the application's own.
struct ModelOperations {
    using Operation = std::function<void(viewmodel::PipelineViewModel&)>;

    Operation startNewRun;
    Operation startRemerge;
    Operation selectResumeWorkspace;
    Operation cancelRun;

    static ModelOperations standard();
};

// Stops what the model is doing: with no operation running, the state goes
// back to idle (and into the run report); otherwise the model is marked
// cancelling and the manager cancels the run, which terminates its child.
// The operation's own end clears the flags. Nothing on a tour sample.
void cancelRun(viewmodel::PipelineViewModel& model);

}  // namespace tessaron::views
