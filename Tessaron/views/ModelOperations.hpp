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
    // The quit guard's last resort: cancels and kills the engines' children.
    Operation forceKill;

    static ModelOperations standard();
};

}  // namespace tessaron::views
