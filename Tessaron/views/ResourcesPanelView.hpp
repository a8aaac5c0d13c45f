#pragma once

#include "viewmodel/PipelineViewModel.hpp"
#include "views/FloatingPanel.hpp"
#include "views/Icons.hpp"

class QLabel;

namespace tessaron::views {

// The "RESOURCES" strip at the top of the window: the memory in use, the
// cell being trained and the training iteration.
class ResourcesPanelView : public FloatingPanel {
    Q_OBJECT
public:
    explicit ResourcesPanelView(viewmodel::PipelineViewModel& model, QWidget* parent = nullptr);

    // The rows' values; the Cell and Iter rows exist only while they apply.
    QString ramText() const;
    std::optional<QString> cellText() const;
    std::optional<QString> iterationText() const;

    static QString ramValue(const viewmodel::OptionalText& engineRam, const QString& hostRam);
    static std::optional<QString> cellValue(qint64 totalCells, qint64 currentCellIndex);
    static std::optional<QString> iterationValue(const pipeline::PipelineState& state, qint64 iteration,
                                                 const viewmodel::OptionalCount& cellTarget, qint64 trainingIterations);

protected:
    bool event(QEvent* event) override;

signals:
    // The strip's width changed: the dashboard centres it again.
    void contentChanged();

private:
    struct Row {
        QWidget* row;
        QLabel* value;
    };
    Row makeRow(Symbol symbol, const QString& label);
    void refresh();

    viewmodel::PipelineViewModel& model_;
    Row ram_;
    Row cell_;
    Row iteration_;
};

}  // namespace tessaron::views
