#pragma once

#include <QPointer>
#include <QString>
#include <QWidget>

#include <filesystem>
#include <functional>

#include "viewer/SplatConverterView.hpp"
#include "viewer/SplatViewerStats.hpp"
#include "viewmodel/PipelineViewModel.hpp"
#include "views/FinalViewerState.hpp"

class QAbstractButton;
class QLabel;
class QPushButton;
class QVBoxLayout;

namespace tessaron::views {

class PanelHeader;
class SwitchButton;

// The Final step's panel: how the run ended and what to do next (start over,
// report a failure, show the run log), the viewer's camera mode and
// statistics, opening another model, and, while nothing runs, the re-merge
// of a workspace's cells and the converter. It keeps no state of its own: it
// follows the view model and edits the shared viewer settings.
//
// Threads: the main thread only.
class FinalPanelView : public QWidget {
    Q_OBJECT
public:
    // What the panel hands to the desktop. standard() mails a feedback
    // report and shows a file in the File Manager.
    struct Actions {
        std::function<void(const QString& context)> reportProblem;
        std::function<void(const std::filesystem::path& file)> revealFile;
        static Actions standard();
    };

    explicit FinalPanelView(viewmodel::PipelineViewModel& model, FinalViewerState& viewer, QWidget* parent = nullptr);
    FinalPanelView(viewmodel::PipelineViewModel& model, FinalViewerState& viewer, Actions actions,
                   QWidget* parent = nullptr);

    // The context of a problem report: "Tessaron stopped with an error: " and the message.
    static QString problemContext(const QString& message);
    // The statistics box's four lines.
    static QStringList statisticsLines(const viewer::SplatViewerStats& stats);

    // The parts, for tests and screenshots.
    PanelHeader& header() const { return *header_; }
    QWidget& outcomeSection() const { return *outcome_; }
    QAbstractButton& orbitButton() const { return *orbit_; }
    QAbstractButton& freeFlyButton() const { return *freeFly_; }
    SwitchButton& showStatsSwitch() const { return *showStats_; }
    QLabel& statisticsBox() const { return *statistics_; }
    QPushButton& openModelButton() const { return *openModel_; }
    QWidget& idleBlock() const { return *idleBlock_; }
    QPushButton& remergeButton() const { return *remerge_; }
    // The converter while the idle block is on screen; none otherwise.
    viewer::SplatConverterView* converter() const { return converter_.data(); }

signals:
    // "Open a model in the viewer…": the step menu presents its file importer.
    void openModelRequested();

private:
    void build();
    QWidget* buildViewerControls();
    QWidget* buildIdleBlock();
    void rebuildOutcome();
    void refreshViewerControls();
    void refreshIdleBlock();
    // "Start New Pipeline" and "Reset & Try Again".
    void startOver();

    viewmodel::PipelineViewModel& model_;
    FinalViewerState& viewer_;
    Actions actions_;

    PanelHeader* header_ = nullptr;
    QVBoxLayout* outcomeHolder_ = nullptr;
    QWidget* outcome_ = nullptr;
    QAbstractButton* orbit_ = nullptr;
    QAbstractButton* freeFly_ = nullptr;
    SwitchButton* showStats_ = nullptr;
    QLabel* statistics_ = nullptr;
    QPushButton* openModel_ = nullptr;
    QWidget* idleBlock_ = nullptr;
    QPushButton* remerge_ = nullptr;
    QVBoxLayout* converterHolder_ = nullptr;
    QPointer<viewer::SplatConverterView> converter_;
};

}  // namespace tessaron::views
