// The live 360° conversion view: its counters, tiles and frame from the
// view model's preview, and a real extraction driving it.
#include <gtest/gtest.h>

#include <QLabel>
#include <QTest>
#include <QVariantAnimation>

#include <memory>

#include "AnimationClock.hpp"
#include "ViewsTestSupport.hpp"
#include "generators/PanoramaVideo.hpp"
#include "viewmodel/ScriptedDialogs.hpp"
#include "views/Conversion360LiveView.hpp"
#include "views/RollingNumberLabel.hpp"
#include "viewmodel/PipelineViewModelTestAccess.hpp"

namespace tessaron::testing {
namespace {

using ModelAccess = viewmodel::PipelineViewModelTestAccess;
using generators::PanoramaVideo;
using viewmodel::ConversionPreview;
using viewmodel::PipelineViewModel;
using views::Conversion360LiveView;

const auto registered = ::testing::AddGlobalTestEnvironment(new PrivateUserFolders);

std::shared_ptr<const ConversionPreview> preview(int crops, int64_t extractedFrames, int64_t sourceFrame) {
    auto value = std::make_shared<ConversionPreview>();
    value->equirect = QImage(128, 64, QImage::Format_ARGB32);
    value->equirect.fill(QColor(40, 90, 200));
    for (int i = 0; i < crops; ++i) {
        QImage crop(32, 32, QImage::Format_ARGB32);
        crop.fill(QColor::fromHsv(i * 20, 200, 220));
        value->crops.push_back(crop);
    }
    value->extractedFrames = extractedFrames;
    value->sourceFrameIndex = sourceFrame;
    return value;
}

// The value shown above the counter labelled `label`; none when the counter
// is hidden or absent.
std::optional<QString> counter(const Conversion360LiveView& view, const QString& label) {
    auto* column = view.findChild<QWidget*>(label);
    if (!column || !column->isVisible()) return std::nullopt;
    return column->findChild<QLabel*>(QStringLiteral("value"))->text();
}

class ConversionViewTest : public ::testing::Test {
protected:
    void SetUp() override {
        model_ = makeViewModel(support_);
        view_ = std::make_unique<Conversion360LiveView>(*model_);
        view_->resize(1000, 700);
        view_->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(view_.get()));
    }
    void TearDown() override {
        view_.reset();
        model_.reset();
    }

    TempDir support_;
    std::unique_ptr<PipelineViewModel> model_;
    std::unique_ptr<Conversion360LiveView> view_;
};

TEST_F(ConversionViewTest, WaitsWithTheStartingTextUntilAPreviewArrives) {
    bool startingShown = false;
    for (QLabel* label : view_->findChildren<QLabel*>())
        if (label->text() == QStringLiteral("Starting 360° conversion…")) startingShown = label->isVisible();
    EXPECT_TRUE(startingShown);
    EXPECT_EQ(counter(*view_, QStringLiteral("Rig frames")), std::nullopt);
    EXPECT_TRUE(view_->frameRect().isEmpty());

    model_->setConversionPreview(preview(8, 1, 0));
    for (QLabel* label : view_->findChildren<QLabel*>())
        if (label->text() == QStringLiteral("Starting 360° conversion…")) {
            EXPECT_FALSE(label->isVisible());
        }
    EXPECT_EQ(counter(*view_, QStringLiteral("Rig frames")), QStringLiteral("1"));

    // A reset run drops the preview: back to waiting.
    model_->setConversionPreview({});
    EXPECT_EQ(counter(*view_, QStringLiteral("Rig frames")), std::nullopt);
}

TEST_F(ConversionViewTest, CountersFollowThePreviewAndTheExtraction) {
    struct Case {
        int crops;
        int64_t extracted, source, current, total;
        const char *rigFrames, *cropImages, *sourceFrame;
        std::optional<QString> progress;
    };
    const std::vector<Case> table{
        {16, 5, 40, 40, 400, "5", "80", "40", QStringLiteral("10%")},
        {0, 3, 12, 12, 100, "3", "0", "12", QStringLiteral("12%")},
        {8, 2, 7, 1, 3, "2", "16", "7", QStringLiteral("33%")},      // truncated, not rounded
        {8, 2, 7, 29, 100, "2", "16", "7", QStringLiteral("29%")},   // not the 28 of 0.29 × 100
        {8, 9, 90, 90, 90, "9", "72", "90", QStringLiteral("100%")},
        {8, 1, 0, 5, 0, "1", "8", "0", std::nullopt},                // no total: no counter, no division
        {8, 1, 0, 5, 1, "1", "8", "0", QStringLiteral("500%")},
    };
    for (const Case& c : table) {
        model_->setExtractionTotal(c.total);
        model_->setExtractionCurrent(c.current);
        model_->setConversionPreview(preview(c.crops, c.extracted, c.source));
        const std::string where = std::to_string(c.current) + "/" + std::to_string(c.total);
        EXPECT_EQ(counter(*view_, QStringLiteral("Rig frames")), QString::fromLatin1(c.rigFrames)) << where;
        EXPECT_EQ(counter(*view_, QStringLiteral("Crop images")), QString::fromLatin1(c.cropImages)) << where;
        EXPECT_EQ(counter(*view_, QStringLiteral("Source frame")), QString::fromLatin1(c.sourceFrame)) << where;
        EXPECT_EQ(counter(*view_, QStringLiteral("Progress")), c.progress) << where;
        EXPECT_EQ(view_->tileRects().size(), std::min<std::size_t>(c.crops, 16)) << where;
    }
}

TEST(ConversionViewGeometry, TilesShareTheRowAndStayAtLeastFortyWide) {
    EXPECT_DOUBLE_EQ(Conversion360LiveView::tileSide(2000, 8), (900.0 - 64) / 8);
    EXPECT_DOUBLE_EQ(Conversion360LiveView::tileSide(1000, 4), (700.0 - 32) / 4);
    EXPECT_DOUBLE_EQ(Conversion360LiveView::tileSide(1000, 16), 40);  // 35.75 computed
    EXPECT_DOUBLE_EQ(Conversion360LiveView::tileSide(300, 32), 40);   // all crops count, not the 16 shown
    EXPECT_DOUBLE_EQ(Conversion360LiveView::tileSide(1000, 0), 700);
    EXPECT_DOUBLE_EQ(Conversion360LiveView::frameWidth(800), 400);
    EXPECT_DOUBLE_EQ(Conversion360LiveView::frameWidth(3000), 620);
}

// Sixteen tiles that do not fit side by side go on rows of equal length, so
// that none runs under what covers the view's edges; each stays 40 wide.
TEST_F(ConversionViewTest, ANarrowWindowWrapsSixteenTilesIntoRowsThatStayInside) {
    view_->resize(400, 600);
    model_->setConversionPreview(preview(20, 1, 0));
    const auto& tiles = view_->tileRects();
    ASSERT_EQ(tiles.size(), 16u);
    for (const QRectF& tile : tiles) {
        EXPECT_GE(tile.width(), 40);
        EXPECT_TRUE(QRectF(view_->rect()).contains(tile));
    }
    EXPECT_EQ(tiles[7].top(), tiles[0].top());
    EXPECT_GT(tiles[8].top(), tiles[0].bottom()) << "two rows of eight";
    EXPECT_NEAR(tiles.front().left() + tiles[7].right(), 400, 1e-6) << "each row is centred";
    // The frame keeps 2:1 at half the width.
    EXPECT_DOUBLE_EQ(view_->frameRect().width(), 200);
    EXPECT_DOUBLE_EQ(view_->frameRect().height(), 100);
}

// In the main window the Input panel covers the view's left part: the frame,
// the tiles and the counters lie in the part it leaves free.
TEST_F(ConversionViewTest, TheContentLiesInTheFreeArea) {
    view_->resize(900, 600);
    const QRect free(454, 92, 446, 412);
    view_->setFreeArea(free);
    model_->setConversionPreview(preview(16, 3, 40));
    ASSERT_EQ(view_->tileRects().size(), 16u);
    EXPECT_TRUE(QRectF(free).contains(view_->frameRect()));
    for (const QRectF& tile : view_->tileRects()) EXPECT_TRUE(QRectF(free).contains(tile));
    EXPECT_NEAR(view_->frameRect().center().x(), free.left() + free.width() / 2.0, 1);
}

// Tiles grow in and shrink away with the row's spring, and cross-fade to the
// crops of each new rig frame; the counters' digits roll. The values are the
// newest at once, and a change mid-way ends on the newest.
TEST_F(ConversionViewTest, TilesComeAndGoWithTheSpringAndTheCountersRoll) {
    const int settle = views::Motion::milliseconds({0.4, 0.7});
    AnimationClock clock;
    model_->setConversionPreview(preview(4, 1, 10));
    EXPECT_EQ(view_->tileRects().size(), 4u);
    EXPECT_EQ(view_->changeProgress(), 0.0);
    clock.step(120);
    const double growing = view_->changeProgress();
    EXPECT_GT(growing, 0.0);
    EXPECT_LT(growing, 1.0);
    // Mid-way, two of the four go: they shrink away where they were.
    model_->setConversionPreview(preview(2, 2, 20));
    EXPECT_EQ(view_->tileRects().size(), 2u);
    EXPECT_EQ(view_->leavingTileCount(), 2u);
    EXPECT_EQ(view_->changeProgress(), 0.0);
    views::RollingNumberLabel* frames = view_->counterValue(QStringLiteral("Rig frames"));
    ASSERT_NE(frames, nullptr);
    EXPECT_EQ(frames->text(), "2");
    EXPECT_TRUE(frames->isRolling());
    EXPECT_EQ(view_->counterValue(QStringLiteral("Crop images"))->text(), "4");
    clock.run(settle);
    EXPECT_EQ(view_->changeProgress(), 1.0);
    EXPECT_EQ(view_->leavingTileCount(), 0u);
    EXPECT_FALSE(frames->isRolling());

    // A new rig frame with as many crops cross-fades them: the new crops
    // show through half way and alone at the end.
    model_->setConversionPreview(preview(2, 3, 30));
    clock.step(settle / 2);
    EXPECT_GT(view_->changeProgress(), 0.3);
    clock.run(settle);
    const QImage shot = view_->grab().toImage();
    EXPECT_EQ(shot.pixel(view_->tileRects()[1].center().toPoint()), QColor::fromHsv(20, 200, 220).rgb());
}

TEST_F(ConversionViewTest, DrawsTheFrameAndTheCrops) {
    model_->setConversionPreview(preview(4, 1, 0));
    const QImage shot = view_->grab().toImage();
    const QPoint frameCentre = view_->frameRect().center().toPoint();
    EXPECT_EQ(shot.pixelColor(frameCentre), QColor(40, 90, 200));
    for (std::size_t i = 0; i < 4; ++i)
        EXPECT_EQ(shot.pixel(view_->tileRects()[i].center().toPoint()), QColor::fromHsv(int(i) * 20, 200, 220).rgb())
            << "tile " << i;
}

// A real 360° run of the view model: the extraction's previews reach the
// view, thumbnails and all; cancelled after the first rig frames.
TEST(ConversionViewDuringARun, ShowsTheRealExtractionsPreview) {
    TempDir support, folder;
    PanoramaVideo video;
    video.width = 512;
    video.height = 256;
    video.frameCount = 60;
    video.write(folder / "pano.avi");

    auto model = makeViewModel(support);
    auto dialogs = std::make_shared<ScriptedDialogs>();
    dialogs->answer(folder.path());
    model->setDialogService(dialogs);
    ModelAccess::setFreeSpaceProbe(
        *model, [](const std::filesystem::path&) { return std::optional<uint64_t>(uint64_t(1) << 40); });
    Conversion360LiveView view(*model);
    view.resize(1000, 700);
    view.show();

    model->selectInput(folder / "pano.avi", true);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !model->isAnalyzingInput(); }, 30000));
    model->setTreatAs360(true);
    model->setPersonMaskMode(input::PersonMaskMode::off);
    model->setCropLayoutPreset(input::CropLayoutPreset::horizontal8);
    model->setFrameExtractionRate(1);
    model->setSharpnessFilterEnabled(false);
    model->startNewRun();
    ASSERT_TRUE(ModelAccess::hasActiveTask(*model));
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return model->conversionPreview() && model->conversionPreview()->extractedFrames >= 2; }, 60000));
    model->cancelRun();

    const auto& shown = model->conversionPreview();
    EXPECT_EQ(shown->crops.size(), 8u);
    EXPECT_EQ(counter(view, QStringLiteral("Rig frames")), QString::number(shown->extractedFrames));
    EXPECT_EQ(counter(view, QStringLiteral("Crop images")), QString::number(shown->extractedFrames * 8));
    EXPECT_EQ(view.tileRects().size(), 8u);
    EXPECT_FALSE(view.frameRect().isEmpty());
    ASSERT_TRUE(QTest::qWaitFor([&] { return !ModelAccess::hasActiveTask(*model); }, 30000));
}

}  // namespace
}  // namespace tessaron::testing
