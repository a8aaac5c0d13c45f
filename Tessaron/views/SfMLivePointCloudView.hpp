#pragma once

#include <utility>

#include "viewmodel/PipelineViewModel.hpp"
#include "views/FloatingPanel.hpp"

namespace tessaron::views {

// The growing COLMAP cloud while structure from motion runs.
// Stands in until the view is built; its constructor and public calls are
// what the window relies on.
class SfMLivePointCloudView : public PlaceholderView {
    Q_OBJECT
public:
    explicit SfMLivePointCloudView(QWidget* parent = nullptr);

    void setSnapshot(viewmodel::SnapshotPointer snapshot) { snapshot_ = std::move(snapshot); }

private:
    viewmodel::SnapshotPointer snapshot_;
};

}  // namespace tessaron::views
