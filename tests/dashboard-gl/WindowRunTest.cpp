// A partitioned run driven only through the main window, as a user drives
// it: choose the photos and the existing reconstruction, start, wait for
// the plan, then "Start Training" (or Cancel), and read the Final step.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QTest>

#include "views/PanelTestSupport.hpp"
#include "views/PartitionedRunFixture.hpp"
#include "core/PreferenceStore.hpp"
#include "views/FinalPanelView.hpp"
#include "views/MainDashboardView.hpp"
#include "views/PlanningPanelView.hpp"
#include "views/StatusPillView.hpp"
#include "views/StepMenuView.hpp"

namespace tessaron::testing {
namespace {

using viewmodel::WorkflowStep;
using views::PlanningPanelView;
using Kind = pipeline::PipelineState::Kind;

const auto registered = ::testing::AddGlobalTestEnvironment(new PrivateUserFolders);

class WindowRun : public PartitionedRunFixture {
protected:
    void SetUp() override {
        PartitionedRunFixture::SetUp();
        dashboard_ = std::make_unique<views::MainDashboardView>(*model_, defaults_, true);
        dashboard_->resize(1280, 800);
        dashboard_->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(dashboard_.get()));
    }
    void TearDown() override {
        dashboard_.reset();
        PartitionedRunFixture::TearDown();
    }

    QWidget& menu() const { return *dashboard_->stepMenu(); }

    // The Input step's form: the photos, the existing reconstruction, Start.
    void startFromTheInputForm() {
        ASSERT_EQ(dashboard_->selectedStep(), WorkflowStep::input);
        dialogs_->answer(capture_ / "images");
        click(visibleButton(menu(), "Choose Folder or Video…"));
        click(visibleButton(menu(), "Skip COLMAP (use existing reconstruction)"));
        dialogs_->answer(capture_);
        click(visibleButton(menu(), "Select COLMAP Folder"));
        ASSERT_TRUE(QTest::qWaitFor([&] { return model_->canStart(); }, 30000))
            << "input " << model_->selectedInputURL().value_or("none") << " skip " << model_->skipSfM() << " colmap "
            << model_->colmapDataURL().value_or("none") << " analysing " << model_->isAnalyzingInput() << " panels "
            << dialogs_->opened.size();
        dialogs_->answer(output_);
        click(visibleButton(menu(), "Start Pipeline"));
        ASSERT_TRUE(model_->hasActiveOperation());
    }

    // The run waits for the plan's approval, shown on the Planning step.
    PlanningPanelView* waitForThePlan() {
        PlanningPanelView* planning = nullptr;
        const bool shown = QTest::qWaitFor(
            [&] {
                planning = qobject_cast<PlanningPanelView*>(dashboard_->stepMenu()->panel());
                return planning && planning->phase() == PlanningPanelView::Phase::planReview;
            },
            60000);
        EXPECT_TRUE(shown) << model_->currentState().message;
        EXPECT_EQ(dashboard_->selectedStep(), WorkflowStep::planning);
        return shown ? planning : nullptr;
    }

    core::InMemoryPreferenceStore defaults_;
    std::unique_ptr<views::MainDashboardView> dashboard_;
};

TEST_F(WindowRun, ApprovedPlanEndsInTheFinalStepWithTheMergedModel) {
    startFromTheInputForm();
    PlanningPanelView* planning = waitForThePlan();
    ASSERT_NE(planning, nullptr);
    click(visibleButton(*planning, "Start Training"));

    ASSERT_TRUE(QTest::qWaitFor([&] { return !model_->hasActiveOperation(); }, 120000));
    ASSERT_EQ(model_->currentState(), Kind::completed) << model_->currentState().message;
    ASSERT_TRUE(QTest::qWaitFor([&] { return dashboard_->selectedStep() == WorkflowStep::final; }, 30000));
    auto* finalPanel = qobject_cast<views::FinalPanelView*>(dashboard_->stepMenu()->panel());
    ASSERT_NE(finalPanel, nullptr);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    const QStringList outcome = visibleTexts(finalPanel->outcomeSection());
    ASSERT_FALSE(outcome.isEmpty());
    EXPECT_EQ(outcome.first(), "Pipeline complete");
    const std::filesystem::path merged = workspace() / "output.ply";
    EXPECT_EQ(model_->outputPlyPath(), QString::fromStdString(merged.string()));
    EXPECT_TRUE(std::filesystem::exists(merged));
    // The merged model is the converter's first file.
    ASSERT_NE(finalPanel->converter(), nullptr);
    EXPECT_TRUE(visibleTexts(*finalPanel->converter()).contains("output.ply"));
}

TEST_F(WindowRun, CancelWhileThePlanWaitsEndsTheRun) {
    startFromTheInputForm();
    ASSERT_NE(waitForThePlan(), nullptr);
    click(visibleButton(*dashboard_->statusPill(), "Cancel"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !model_->hasActiveOperation(); }, 30000));
    EXPECT_EQ(model_->currentState(), Kind::idle);
    EXPECT_FALSE(std::filesystem::exists(workspace() / "output.ply"));
}

}  // namespace
}  // namespace tessaron::testing
