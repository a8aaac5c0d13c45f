#pragma once

#include <QString>

#include "pipeline/PipelineState.hpp"
#include "views/FloatingPanel.hpp"

class QLabel;
class QPushButton;

namespace tessaron::views {

// What the run is doing and its Cancel button, shown while the model is
// busy; after a cancel, until the next run or a reset, what became of it.
class StatusPillView : public FloatingPanel {
    Q_OBJECT
public:
    explicit StatusPillView(QWidget* parent = nullptr);

    void setStatus(const QString& text, bool isCancelling);
    // A run that is over: the text alone, with an orange dot and no button.
    void setEndedStatus(const QString& text);

    // The pill's text for a state; empty for idle, completed and error.
    static QString statusText(const pipeline::PipelineState& state, qint64 materializedCellCount,
                              qint64 materializationTotalCells, qint64 iteration);

    QLabel* textLabel() const { return text_; }
    QPushButton* cancelButton() const { return cancel_; }

signals:
    void cancelClicked();

private:
    QLabel* text_;
    QPushButton* cancel_;
    QWidget* dot_;
};

}  // namespace tessaron::views
