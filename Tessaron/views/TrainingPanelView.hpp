#pragma once

#include <QString>
#include <QWidget>

#include <cstdint>
#include <optional>

#include "viewmodel/PipelineViewModel.hpp"

class QLabel;

namespace tessaron::views {

class LinearProgressBar;
class MetricPill;
class PanelHeader;

// The Training step's panel, read-only: the cell and iteration counters, the
// splat count and speed, the cell's and the run's bars and the estimate of
// the time left. It keeps no state of its own and follows the view model.
//
// Threads: the main thread only.
class TrainingPanelView : public QWidget {
    Q_OBJECT
public:
    explicit TrainingPanelView(viewmodel::PipelineViewModel& model, QWidget* parent = nullptr);

    // A count in a few characters: 999, 12.3K, 2.50M.
    static QString formatCount(int64_t count);
    // Seconds as 42s, 12m 05s or 2h 07m; a value that is not finite or does
    // not fit the seconds' range shows as "—".
    static QString formatDuration(double seconds);

    // The parts, for tests and screenshots.
    PanelHeader& header() const { return *header_; }
    MetricPill& cellPill() const { return *cellPill_; }
    MetricPill& iterationPill() const { return *iterationPill_; }
    MetricPill& splatsPill() const { return *splatsPill_; }
    MetricPill& speedPill() const { return *speedPill_; }
    QWidget& progressBlock() const { return *progressBlock_; }
    LinearProgressBar& cellBar() const { return *cellBar_; }
    LinearProgressBar& overallBar() const { return *overallBar_; }
    QLabel& etaLine() const { return *eta_; }
    // What a cancelled run left: where it stopped; hidden otherwise.
    QLabel& cancelledNote() const { return *cancelledNote_; }
    // "Finished cells dim; …", shown only when the run has cells.
    QLabel& cellsCaption() const { return *cellsCaption_; }

private:
    void refresh();

    viewmodel::PipelineViewModel& model_;
    // The header's status on screen.
    enum class Status { none, running, complete, cancelled };
    std::optional<Status> shownStatus_;
    PanelHeader* header_ = nullptr;
    MetricPill* cellPill_ = nullptr;
    MetricPill* iterationPill_ = nullptr;
    MetricPill* splatsPill_ = nullptr;
    MetricPill* speedPill_ = nullptr;
    QWidget* progressBlock_ = nullptr;
    LinearProgressBar* cellBar_ = nullptr;
    LinearProgressBar* overallBar_ = nullptr;
    QLabel* eta_ = nullptr;
    QLabel* cancelledNote_ = nullptr;
    QLabel* cellsCaption_ = nullptr;
};

}  // namespace tessaron::views
