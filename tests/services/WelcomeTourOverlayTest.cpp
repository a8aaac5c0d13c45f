// The tour overlay and the spotlight anchors, as a user meets them: the card
// beside the marked control, Return and the buttons, the dimmed backdrop
// that swallows clicks.
#include <gtest/gtest.h>

#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

#include "services/TourAnchors.hpp"
#include "services/TourSpotlightTracker.hpp"
#include "services/WelcomeTourOverlay.hpp"
#include "support/TempDir.hpp"
#include "viewmodel/PipelineViewModel.hpp"
#include "viewmodel/ViewModelTestSupport.hpp"
#include "TourTestSupport.hpp"

namespace tessaron::testing {
namespace {

const auto registered = ::testing::AddGlobalTestEnvironment(new PrivateUserFolders);

using services::TourAnchors;
using services::TourOrchestrator;
using services::TourSpotlights;
using services::WelcomeTourOverlay;
using Step = TourOrchestrator::TourStep;
using Placement = WelcomeTourOverlay::CardPlacement;

struct PlacementCase {
    const char* name;
    Placement placement;
    std::optional<QRectF> frame;
    QSizeF overlay;
    QPointF centre;
};

void PrintTo(const PlacementCase& c, std::ostream* out) { *out << c.name; }

class CardPlacementTest : public ::testing::TestWithParam<PlacementCase> {};

TEST_P(CardPlacementTest, PutsTheCardCentreWhereTheTableSays) {
    const PlacementCase& c = GetParam();
    EXPECT_EQ(WelcomeTourOverlay::cardCentre(c.placement, c.frame, c.overlay), c.centre);
}

INSTANTIATE_TEST_SUITE_P(
    Placements, CardPlacementTest,
    ::testing::Values(
        PlacementCase{"centre", Placement::centre, QRectF(10, 10, 50, 50), {1440, 900}, {720, 450}},
        PlacementCase{"right", Placement::rightOfControl, QRectF(24, 100, 400, 600), {1440, 900}, {638, 400}},
        PlacementCase{"rightNearTheEdgeOverlaps", Placement::rightOfControl, QRectF(1300, 400, 100, 40),
                      {1440, 900}, {1226, 420}},
        PlacementCase{"rightNearTheTop", Placement::rightOfControl, QRectF(24, 0, 100, 40), {1440, 900}, {338, 99}},
        PlacementCase{"left", Placement::leftOfControl, QRectF(1000, 100, 400, 600), {1440, 900}, {786, 400}},
        PlacementCase{"leftNearTheEdge", Placement::leftOfControl, QRectF(100, 880, 40, 40), {1440, 900}, {214, 801}},
        PlacementCase{"above", Placement::aboveControl, QRectF(590, 830, 260, 40), {1440, 900}, {720, 731}},
        PlacementCase{"below", Placement::belowControl, QRectF(660, 20, 110, 40), {1440, 900}, {715, 159}},
        PlacementCase{"belowAtTheBottom", Placement::belowControl, QRectF(0, 850, 100, 40), {1440, 900}, {214, 801}},
        PlacementCase{"topRight", Placement::topRightCorner, std::nullopt, {1440, 900}, {1226, 191}},
        PlacementCase{"noFrameCentres", Placement::rightOfControl, std::nullopt, {900, 600}, {450, 300}},
        // Contradicting clamps: the outer one decides.
        PlacementCase{"tinyOverlay", Placement::rightOfControl, QRectF(0, 0, 10, 10), {300, 150}, {86, 51}},
        PlacementCase{"tinyAbove", Placement::aboveControl, QRectF(0, 0, 10, 10), {300, 150}, {86, 99}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TourStepContent, HoldsTheCardsWordForWord) {
    EXPECT_EQ(WelcomeTourOverlay::content(Step::introduction).title, QStringLiteral("Welcome to Tessaron"));
    EXPECT_EQ(WelcomeTourOverlay::content(Step::introduction).text,
              QStringLiteral("A quick tour of how Tessaron turns photos or a video into a 3D Gaussian splat, "
                             "entirely on your computer. Nothing here runs for real — it's a sample run."));
    EXPECT_EQ(WelcomeTourOverlay::content(Step::training_logs).text,
              QStringLiteral("The log drawer shows the engine's output as it runs. Help ▸ Send Feedback attaches it "
                             "when you report a problem."));
    EXPECT_EQ(WelcomeTourOverlay::content(Step::input_advanced_colmap).title, QStringLiteral("Single Camera Mode"));
    const std::vector<Placement> expected{
        Placement::centre,         Placement::aboveControl,   Placement::rightOfControl, Placement::rightOfControl,
        Placement::rightOfControl, Placement::rightOfControl, Placement::rightOfControl, Placement::rightOfControl,
        Placement::rightOfControl, Placement::rightOfControl, Placement::topRightCorner, Placement::topRightCorner,
        Placement::belowControl,   Placement::rightOfControl, Placement::leftOfControl,  Placement::topRightCorner};
    for (size_t index = 0; index < expected.size(); ++index)
        EXPECT_EQ(WelcomeTourOverlay::content(services::allTourSteps()[index]).placement, expected[index]) << index;
}

// A window with two marked controls, one inside the other, and a hidden one.
struct AnchoredWindow {
    QWidget window;
    QWidget* panel = new QWidget(&window);
    QWidget* section = new QWidget(panel);
    QWidget* hidden = new QWidget(&window);

    AnchoredWindow() {
        window.resize(900, 600);
        panel->setGeometry(24, 92, 430, 400);
        section->setGeometry(30, 50, 300, 120);
        hidden->setGeometry(500, 500, 20, 20);
        TourAnchors::set(panel, {Step::training_stats, Step::input_dropzone});
        TourAnchors::set(section, QStringLiteral("input_dropzone"));
        TourAnchors::set(hidden, Step::final_render);
        hidden->hide();
        window.show();
    }
};

TEST(TourAnchorsTest, ADeeperMarkWinsAndHiddenControlsReportNothing) {
    AnchoredWindow anchored;
    const TourSpotlights spotlights = TourAnchors::collect(anchored.window, anchored.window);
    EXPECT_EQ(spotlights.size(), 2u);
    EXPECT_EQ(spotlights.at(Step::training_stats), QRectF(24, 92, 430, 400));
    EXPECT_EQ(spotlights.at(Step::input_dropzone), QRectF(54, 142, 300, 120));
    EXPECT_FALSE(spotlights.count(Step::final_render));
    EXPECT_EQ(TourAnchors::steps(*anchored.panel), (std::vector<Step>{Step::training_stats, Step::input_dropzone}));
    TourAnchors::clear(anchored.section);
    EXPECT_EQ(TourAnchors::collect(anchored.window, anchored.window).at(Step::input_dropzone),
              QRectF(24, 92, 430, 400));
    EXPECT_THROW(TourAnchors::set(anchored.section, QStringLiteral("inputDropzone")), TourAnchors::UnknownAnchorError);
}

TEST(TourAnchorsTest, TheTrackerFollowsMovesResizesAndNewMarks) {
    AnchoredWindow anchored;
    services::TourSpotlightTracker tracker(anchored.window);
    tracker.setRoot(&anchored.window);
    EXPECT_EQ(tracker.spotlights().at(Step::training_stats), QRectF(24, 92, 430, 400));
    QSignalSpy changed(&tracker, &services::TourSpotlightTracker::spotlightsChanged);
    anchored.panel->move(100, 92);
    ASSERT_TRUE(QTest::qWaitFor([&] { return changed.count() > 0; }, 30000));
    EXPECT_EQ(tracker.spotlights().at(Step::input_dropzone), QRectF(130, 142, 300, 120));
    anchored.hidden->show();
    ASSERT_TRUE(QTest::qWaitFor([&] { return tracker.spotlights().count(Step::final_render) == 1; }, 30000));
    auto* late = new QWidget(anchored.panel);
    late->setGeometry(0, 0, 10, 10);
    late->show();
    TourAnchors::set(late, Step::model_size);
    ASSERT_TRUE(QTest::qWaitFor([&] { return tracker.spotlights().count(Step::model_size) == 1; }, 30000));
    EXPECT_EQ(tracker.spotlights().at(Step::model_size), QRectF(100, 92, 10, 10));
    tracker.setRoot(nullptr);
    EXPECT_TRUE(tracker.spotlights().empty());
}

class WelcomeTourOverlayTest : public ::testing::Test {
protected:
    std::unique_ptr<viewmodel::PipelineViewModel> makeSample() { return makeTourSample(support_); }
    void SetUp() override {
        tour_.setResourceLookup([](const std::string&) { return std::nullopt; });
        clicksBelow_.resize(900, 600);
        overlay_.resize(900, 600);
        clicksBelow_.show();
        overlay_.show();
    }

    TempDir support_{"tessaron-tour-overlay"};
    TourOrchestrator tour_{makeSample()};
    int finished_ = 0;
    QPushButton clicksBelow_{QStringLiteral("below")};
    WelcomeTourOverlay overlay_{tour_, [this] { ++finished_; }};
};

TEST_F(WelcomeTourOverlayTest, ReturnAdvancesAndFinishesAtTheLastStep) {
    EXPECT_EQ(overlay_.titleLabel()->text(), QStringLiteral("Welcome to Tessaron"));
    EXPECT_EQ(overlay_.mainButton()->text(), QStringLiteral("Next (Enter)"));
    ::testing::internal::CaptureStdout();
    for (int step = 1; step < 16; ++step) {
        QTest::keyClick(&overlay_, step % 2 ? Qt::Key_Return : Qt::Key_Enter);
        EXPECT_EQ(tour_.currentTourStep(), services::allTourSteps()[size_t(step)]);
        EXPECT_EQ(overlay_.titleLabel()->text(), WelcomeTourOverlay::content(tour_.currentTourStep()).title);
    }
    ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(overlay_.mainButton()->text(), QStringLiteral("Finish (Enter)"));
    EXPECT_EQ(finished_, 0);
    QTest::keyClick(&overlay_, Qt::Key_Return);
    EXPECT_EQ(finished_, 1);
    EXPECT_EQ(tour_.currentTourStep(), Step::final_render);
}

// The Reconstruction card says where this machine's COLMAP extracts
// features, as the sample model heard from the program, and says nothing of
// the hardware before it has.
TEST_F(WelcomeTourOverlayTest, TheReconstructionCardNamesWhereCOLMAPRuns) {
    EXPECT_EQ(WelcomeTourOverlay::reconstructionText(true),
              "COLMAP finds the camera positions on the GPU. If you already have a COLMAP model (sparse/0), turn on "
              "Skip COLMAP and pick its folder.");
    EXPECT_EQ(WelcomeTourOverlay::reconstructionText(false),
              "COLMAP finds the camera positions on the CPU. If you already have a COLMAP model (sparse/0), turn on "
              "Skip COLMAP and pick its folder.");
    while (tour_.currentTourStep() != Step::input_reconstruction) tour_.advance();
    EXPECT_EQ(overlay_.textLabel()->text(), WelcomeTourOverlay::reconstructionText(std::nullopt));
    EXPECT_EQ(WelcomeTourOverlay::reconstructionText(std::nullopt),
              "COLMAP finds the camera positions. If you already have a COLMAP model (sparse/0), turn on Skip COLMAP "
              "and pick its folder.");
    tour_.mockVM().setColmapHasCUDA(false);
    EXPECT_EQ(overlay_.textLabel()->text(), WelcomeTourOverlay::reconstructionText(false));
    // A new sample is followed as well.
    tour_.setMockVM(makeSample());
    tour_.mockVM().setColmapHasCUDA(true);
    EXPECT_EQ(overlay_.textLabel()->text(), WelcomeTourOverlay::reconstructionText(true));
}

TEST_F(WelcomeTourOverlayTest, TheButtonsAdvanceAndSkip) {
    QTest::mouseClick(overlay_.mainButton(), Qt::LeftButton);
    EXPECT_EQ(tour_.currentTourStep(), Step::main_progress_bar);
    EXPECT_EQ(overlay_.skipButton()->text(), QStringLiteral("Skip Tour"));
    QTest::mouseClick(overlay_.skipButton(), Qt::LeftButton);
    EXPECT_EQ(finished_, 1);
    EXPECT_EQ(tour_.currentTourStep(), Step::main_progress_bar);
}

TEST_F(WelcomeTourOverlayTest, TheHoleIsTheFramePaddedAndTheCardSitsBesideIt) {
    tour_.advance();  // main_progress_bar: card above the bar
    EXPECT_EQ(overlay_.hole(), std::nullopt);
    const QRectF bar(330, 540, 240, 40);
    overlay_.setSpotlights({{Step::main_progress_bar, bar}, {Step::training_stats, QRectF(24, 92, 430, 400)}});
    ASSERT_TRUE(QTest::qWaitFor([&] { return !overlay_.isAnimating(); }, 30000));
    EXPECT_EQ(overlay_.hole(), QRectF(318, 528, 264, 64));
    const QRectF card = QRectF(overlay_.card()->geometry());
    EXPECT_EQ(card.width(), 380);
    EXPECT_NEAR(card.center().x(), 450, 1);
    EXPECT_NEAR(card.center().y(), 540 - 99, 1);
    // A step whose control reports no frame: everything dimmed, card centred.
    tour_.advance();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !overlay_.isAnimating(); }, 30000));
    EXPECT_EQ(overlay_.hole(), std::nullopt);
    EXPECT_NEAR(QRectF(overlay_.card()->geometry()).center().x(), 450, 1);
    EXPECT_NEAR(QRectF(overlay_.card()->geometry()).center().y(), 300, 1);
}

TEST_F(WelcomeTourOverlayTest, TheBackdropSwallowsClicks) {
    QSignalSpy clicked(&clicksBelow_, &QPushButton::clicked);
    QTest::mouseClick(&overlay_, Qt::LeftButton, {}, QPoint(20, 20));
    QTest::mouseDClick(&overlay_, Qt::LeftButton, {}, QPoint(20, 20));
    EXPECT_EQ(clicked.count(), 0);
    EXPECT_EQ(tour_.currentTourStep(), Step::introduction);
    EXPECT_EQ(finished_, 0);
}

}  // namespace
}  // namespace tessaron::testing
