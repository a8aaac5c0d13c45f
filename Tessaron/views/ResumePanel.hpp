#pragma once

#include <QLabel>
#include <QPushButton>

#include "viewmodel/PipelineViewModel.hpp"
#include "views/FormWidgets.hpp"
#include "views/SettingsSection.hpp"

namespace tessaron::views {

// The card "Resume Interrupted Training": choose the workspace of an
// interrupted partitioned run, see what its scan found, and resume it.
class ResumePanel : public SettingsSection {
    Q_OBJECT
public:
    explicit ResumePanel(viewmodel::PipelineViewModel& model, QWidget* parent = nullptr);

    QPushButton* selectWorkspaceButton() const { return selectWorkspace_; }
    QPushButton* resumeButton() const { return resume_; }
    QWidget* summary() const { return summary_; }
    QString workspaceName() const { return workspace_->text(); }
    QString completedText() const { return completed_->text(); }
    QString remainingText() const { return remaining_->text(); }
    QString totalText() const { return total_->text(); }
    // The settings the scan found, in order ("Downscale: 2×", "Cap: 2M", "Eval: on").
    QStringList settingsTexts() const;
    // The line in place of the button when nothing is left to train.
    SymbolLabel* nothingTrainedLine() const { return nothingTrained_; }
    SymbolLabel* allTrainedLine() const { return allTrained_; }

    // The counts the summary shows.
    struct Counts {
        size_t completed = 0;
        size_t remaining = 0;
        size_t total = 0;
    };
    static Counts counts(const pipeline::WorkspaceScanResult& scan);

private:
    void refresh();

    viewmodel::PipelineViewModel& model_;
    QPushButton* selectWorkspace_;
    QFrame* divider_;
    QWidget* summary_;
    SymbolLabel* workspace_;
    SymbolLabel* completed_;
    SymbolLabel* remaining_;
    QLabel* total_;
    SymbolLabel* downscale_;
    SymbolLabel* cap_;
    SymbolLabel* eval_;
    QPushButton* resume_;
    SymbolLabel* nothingTrained_;
    SymbolLabel* allTrained_;
};

}  // namespace tessaron::views
