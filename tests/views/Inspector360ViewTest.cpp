// The 360° inspector as a user meets it: the first frame of a generated
// equirectangular video cut by the chosen layout, the picker, the masks of
// a standing figure, selection, closing — and rendering that never holds up
// the window.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QCheckBox>
#include <QLabel>
#include <QSignalSpy>
#include <QStackedWidget>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include <condition_variable>
#include <fstream>
#include <mutex>

#include "ViewsTestSupport.hpp"
#include "core/PreferenceStore.hpp"
#include "input/HogPersonSegmenter.hpp"
#include "generators/PanoramaVideo.hpp"
#include "views/Inspector360View.hpp"
#include "views/MainDashboardView.hpp"

namespace tessaron::testing {
namespace {

using generators::PanoramaVideo;
using input::CropLayoutPreset;
using input::PersonMaskMode;
using input::Spherical360Detection;
using viewmodel::PipelineViewModel;
using viewmodel::Inspector360Loader;
using views::Inspector360View;

const auto registered = ::testing::AddGlobalTestEnvironment(new PrivateUserFolders);

// A segmenter that finds nobody, and holds every call until opened.
class GatedSegmenter : public input::PersonSegmenter {
public:
    struct Gate {
        std::mutex lock;
        std::condition_variable changed;
        bool open = false;
        int waiting = 0;
        void release() {
            std::lock_guard guard(lock);
            open = true;
            changed.notify_all();
        }
    };
    explicit GatedSegmenter(std::shared_ptr<Gate> gate) : gate_(std::move(gate)) {}
    std::string name() const override { return "gated"; }
    cv::Mat segmentPeople(const cv::Mat& image) override {
        wait();
        return cv::Mat::zeros(image.rows, image.cols, CV_8UC1);
    }
    std::vector<cv::Mat> personInstances(const cv::Mat&) override {
        wait();
        return {};
    }

private:
    void wait() {
        std::unique_lock guard(gate_->lock);
        ++gate_->waiting;
        gate_->changed.wait(guard, [&] { return gate_->open; });
    }
    std::shared_ptr<Gate> gate_;
};

class InspectorTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        folder_ = new TempDir;
        PanoramaVideo video;
        video.frameCount = 8;
        video.write(*folder_ / "pano.avi");
    }
    static void TearDownTestSuite() {
        delete folder_;
        folder_ = nullptr;
    }
    static std::filesystem::path videoPath() { return *folder_ / "pano.avi"; }

    void SetUp() override { model_ = makeViewModel(support_); }
    void TearDown() override {
        view_.reset();
        model_.reset();
    }

    // Opens the inspector on `input` with small crops unless told otherwise.
    void open(std::optional<std::filesystem::path> input, Inspector360Loader::Options options = smallCrops()) {
        model_->setSelectedInputURL(input);
        model_->setShow360Inspector(true);
        view_ = std::make_unique<Inspector360View>(*model_, std::move(options));
        view_->resize(1280, 900);
        view_->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(view_.get()));
    }
    static Inspector360Loader::Options smallCrops() {
        Inspector360Loader::Options options;
        options.cropSize = 96;
        return options;
    }
    bool rendered(int milliseconds = 30000) {
        return QTest::qWaitFor([&] { return !view_->isLoading(); }, milliseconds);
    }
    template <typename Widget = QLabel>
    Widget* child(const char* name) const {
        return view_->findChild<Widget*>(QString::fromLatin1(name));
    }
    QAbstractButton* presetButton(CropLayoutPreset preset) const {
        for (QToolButton* button : view_->findChildren<QToolButton*>())
            if (button->text() == QString::fromStdString(input::displayName(preset))) return button;
        return nullptr;
    }
    QString visibleBodyText() const {
        auto* body = view_->findChild<QStackedWidget*>();
        QStringList texts;
        for (QLabel* label : body->currentWidget()->findChildren<QLabel*>())
            if (label->isVisible() && !label->text().isEmpty()) texts << label->text();
        return texts.join(QStringLiteral(" | "));
    }

    static TempDir* folder_;
    TempDir support_;
    std::unique_ptr<PipelineViewModel> model_;
    std::unique_ptr<Inspector360View> view_;
};

TempDir* InspectorTest::folder_ = nullptr;

TEST_F(InspectorTest, WithoutAnInputWarnsInsteadOfRendering) {
    open(std::nullopt);
    EXPECT_FALSE(view_->isLoading());
    EXPECT_EQ(view_->loadError(), QStringLiteral("No input selected."));
    EXPECT_EQ(visibleBodyText(), QStringLiteral("No input selected."));
    EXPECT_EQ(view_->loader().workingRuns(), 0u);
}

TEST_F(InspectorTest, AFileThatIsNoVideoReportsWhyNothingRendered) {
    std::ofstream(folder_->path() / "notes.mp4") << "not a video at all";
    open(*folder_ / "notes.mp4");
    ASSERT_TRUE(rendered());
    ASSERT_TRUE(view_->loadError());
    EXPECT_TRUE(view_->loadError()->startsWith(QStringLiteral("Could not render crops: "))) << view_->loadError()->toStdString();
    EXPECT_GT(view_->loadError()->size(), 24);
    EXPECT_FALSE(view_->equirectImage());
}

TEST_F(InspectorTest, RendersTheFirstFramesCropsAndFootprints) {
    model_->setPersonMaskMode(PersonMaskMode::off);
    open(videoPath());
    EXPECT_TRUE(view_->isLoading());
    EXPECT_EQ(visibleBodyText(), QStringLiteral("Rendering crops from the first frame…"));
    ASSERT_TRUE(rendered());
    ASSERT_FALSE(view_->loadError()) << view_->loadError()->toStdString();
    ASSERT_TRUE(view_->equirectImage());
    EXPECT_EQ(view_->equirectImage()->size(), QSize(1280, 640));
    ASSERT_EQ(view_->crops().size(), 16u);
    EXPECT_EQ(view_->crops()[0].size(), QSize(96, 96));
    EXPECT_EQ(view_->footprints().size(), 16u);
    EXPECT_EQ(view_->maskedCrops(), std::vector<std::optional<QImage>>(16));
    EXPECT_EQ(child("frameHeading")->text(), QStringLiteral("Equirectangular frame · 16 crop footprints"));
    EXPECT_FALSE(child<QCheckBox>("")->isVisible()) << "no mask switch while masking is off";

    // The crop straight ahead looks at the figure's red shirt just above
    // the horizon, the one behind at the blue sky.
    const QImage& ahead = view_->crops()[0];
    EXPECT_GT(ahead.pixelColor(48, 45).red(), 120);
    EXPECT_LT(ahead.pixelColor(48, 45).blue(), 100);
    EXPECT_GT(view_->crops()[4].pixelColor(48, 20).blue(), 130);
    // Crops that straddle the seam (yaw 180) come out in two pieces.
    EXPECT_GE(view_->footprints()[4].size(), 2u);
    EXPECT_EQ(view_->footprints()[0].size(), 1u);
    // The caption drops the fraction.
    EXPECT_EQ(Inspector360View::cropCaption({.id = 9, .yawDegrees = 90.9, .pitchDegrees = -55.5}),
              QStringLiteral("yaw 90° · pitch -55°"));
}

TEST_F(InspectorTest, SwitchingTheLayoutThreeTimesQuicklyShowsOnlyTheLastLayout) {
    // Every rendering waits in its masking until the gate opens, so all
    // four are under way at once.
    auto gate = std::make_shared<GatedSegmenter::Gate>();
    Inspector360Loader::Options options = smallCrops();
    options.makeSegmenter = [gate] { return std::make_shared<GatedSegmenter>(gate); };
    model_->setPersonMaskMode(PersonMaskMode::allPeople);
    open(videoPath(), options);
    QSignalSpy published(&view_->loader(), &Inspector360Loader::loaded);

    QTest::mouseClick(presetButton(CropLayoutPreset::horizontal8), Qt::LeftButton);
    QTest::mouseClick(presetButton(CropLayoutPreset::fullSphere16), Qt::LeftButton);
    QTest::mouseClick(presetButton(CropLayoutPreset::horizontal8), Qt::LeftButton);
    EXPECT_EQ(model_->cropLayoutPreset(), CropLayoutPreset::horizontal8);
    EXPECT_TRUE(presetButton(CropLayoutPreset::horizontal8)->isChecked());
    EXPECT_EQ(child("frameHeading")->text(), QStringLiteral("Equirectangular frame · 8 crop footprints"));
    EXPECT_EQ(view_->layoutCrops().size(), 8u);

    // Meanwhile the window lives: a 10 ms timer keeps ticking while every
    // rendering is stuck on its worker.
    ASSERT_TRUE(QTest::qWaitFor([&] { std::lock_guard g(gate->lock); return gate->waiting >= 4; }, 30000));
    int ticks = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
    ticker.start(10);
    EXPECT_TRUE(QTest::qWaitFor([&] { return ticks >= 10; }, 30000));
    EXPECT_TRUE(view_->isLoading());
    EXPECT_EQ(published.count(), 0);

    gate->release();
    ASSERT_TRUE(rendered());
    ASSERT_TRUE(QTest::qWaitFor([&] { return view_->loader().workingRuns() == 0; }, 30000));
    EXPECT_EQ(published.count(), 1);
    EXPECT_EQ(view_->crops().size(), 8u);
    EXPECT_EQ(view_->footprints().size(), 8u);
    EXPECT_EQ(view_->maskedCrops().size(), 8u);
}

TEST_F(InspectorTest, ClosingWhileRenderingIsImmediateAndDropsTheResult) {
    auto gate = std::make_shared<GatedSegmenter::Gate>();
    Inspector360Loader::Options options = smallCrops();
    options.makeSegmenter = [gate] { return std::make_shared<GatedSegmenter>(gate); };
    open(videoPath(), options);
    QSignalSpy published(&view_->loader(), &Inspector360Loader::loaded);
    ASSERT_TRUE(QTest::qWaitFor([&] { std::lock_guard g(gate->lock); return gate->waiting >= 1; }, 30000));

    QTest::mouseClick(child<QToolButton>("closeButton"), Qt::LeftButton);
    EXPECT_FALSE(model_->show360Inspector());
    gate->release();
    ASSERT_TRUE(QTest::qWaitFor([&] { return view_->loader().workingRuns() == 0; }, 30000));
    EXPECT_EQ(published.count(), 0);
    EXPECT_TRUE(view_->crops().empty());
}

TEST_F(InspectorTest, TheRealDetectorTintsTheFigureAndTheSwitchShowsIt) {
    model_->setPersonMaskMode(PersonMaskMode::allPeople);
    model_->setCropLayoutPreset(CropLayoutPreset::horizontal8);
    open(videoPath(), Inspector360Loader::Options{});
    ASSERT_TRUE(rendered(120000));
    ASSERT_FALSE(view_->loadError()) << view_->loadError()->toStdString();
    ASSERT_EQ(view_->maskedCrops().size(), 8u);
    ASSERT_TRUE(view_->maskedCrops()[0]) << "the figure stands straight ahead";
    EXPECT_FALSE(view_->maskedCrops()[4]) << "nobody behind";

    // The torso is tinted towards red; the sky above the figure is not.
    const QImage& crop = view_->crops()[0];
    const QImage& masked = *view_->maskedCrops()[0];
    const QPoint torso(crop.width() / 2, crop.height() / 2 - crop.height() / 20);
    EXPECT_GT(masked.pixelColor(torso).red(), crop.pixelColor(torso).red() + 40);
    EXPECT_EQ(masked.pixelColor(crop.width() / 2, 10), crop.pixelColor(crop.width() / 2, 10).toRgb());

    auto* showMasks = view_->findChild<QCheckBox*>();
    ASSERT_TRUE(showMasks->isVisible());
    EXPECT_EQ(view_->thumbnail(0), &view_->crops()[0]);
    QTest::mouseClick(showMasks, Qt::LeftButton, {}, QPoint(8, showMasks->height() / 2));
    EXPECT_TRUE(view_->showMasks());
    EXPECT_EQ(view_->thumbnail(0), &*view_->maskedCrops()[0]);
    EXPECT_EQ(view_->thumbnail(4), &view_->crops()[4]) << "no people: the plain crop";
}

TEST(InspectorTint, PaintsThePeopleHalfwayToRed) {
    cv::Mat crop(2, 2, CV_8UC4, cv::Scalar(100, 100, 100, 255));
    cv::Mat mask(2, 2, CV_8UC1, cv::Scalar(255));
    mask.at<uchar>(0, 1) = 0;
    const QImage tinted = Inspector360Loader::tintPeople(crop, mask);
    EXPECT_EQ(tinted.pixelColor(0, 0), QColor(100, 100, 100));
    const QColor person = tinted.pixelColor(1, 0);
    EXPECT_NEAR(person.red(), 177.5, 1);
    EXPECT_NEAR(person.green(), 62.75, 1);
    EXPECT_NEAR(person.blue(), 75.5, 1);
}

TEST_F(InspectorTest, TappingACellSelectsItAndFadesTheOtherFootprints) {
    model_->setPersonMaskMode(PersonMaskMode::off);
    open(videoPath());
    ASSERT_TRUE(rendered());
    QWidget* grid = view_->cropGrid();
    ASSERT_TRUE(grid->isVisible());
    const QRect cell = view_->cropCellRect(2);
    QTest::mouseClick(grid, Qt::LeftButton, {}, cell.center());
    EXPECT_EQ(view_->selectedCrop(), 2);
    const QImage shot = grid->grab().toImage();
    const QColor border = shot.pixelColor(cell.left() + cell.width() / 2, cell.top() + 1);
    EXPECT_GT(border.blue(), 200);
    EXPECT_LT(border.red(), 60);

    const auto bright = Inspector360View::footprintStroke(2, 2), faded = Inspector360View::footprintStroke(0, 2);
    EXPECT_NEAR(bright.color.alphaF(), 0.95, 0.01);
    EXPECT_EQ(bright.width, 2);
    EXPECT_NEAR(faded.color.alphaF(), 0.25, 0.01);
    EXPECT_EQ(faded.width, 1);

    QTest::mouseClick(grid, Qt::LeftButton, {}, cell.center());
    EXPECT_EQ(view_->selectedCrop(), std::nullopt);
    EXPECT_NEAR(Inspector360View::footprintStroke(0, std::nullopt).color.alphaF(), 0.95, 0.01);
}

TEST_F(InspectorTest, ThePickerAndTheSettingsStayInStep) {
    model_->setCropLayoutPreset(CropLayoutPreset::horizontal8);
    open(videoPath());
    EXPECT_TRUE(presetButton(CropLayoutPreset::horizontal8)->isChecked());
    EXPECT_EQ(child("frameHeading")->text(), QStringLiteral("Equirectangular frame · 8 crop footprints"));
    ASSERT_TRUE(rendered());
    EXPECT_EQ(view_->crops().size(), 8u);

    QTest::mouseClick(presetButton(CropLayoutPreset::fullSphere16), Qt::LeftButton);
    EXPECT_EQ(model_->cropLayoutPreset(), CropLayoutPreset::fullSphere16);
    EXPECT_EQ(child("frameHeading")->text(), QStringLiteral("Equirectangular frame · 16 crop footprints"));
    EXPECT_TRUE(view_->isLoading()) << "a new layout renders again";
    ASSERT_TRUE(rendered());
    EXPECT_EQ(view_->crops().size(), 16u);

    // The mask mode is part of the key; the same key renders nothing new.
    QSignalSpy published(&view_->loader(), &Inspector360Loader::loaded);
    model_->setCropLayoutPreset(CropLayoutPreset::fullSphere16);
    EXPECT_FALSE(view_->isLoading());
    model_->setPersonMaskMode(PersonMaskMode::off);
    EXPECT_TRUE(view_->isLoading());
    ASSERT_TRUE(rendered());
    EXPECT_EQ(published.count(), 1);
}

TEST_F(InspectorTest, TheStatusFollowsTheDetection) {
    open(std::nullopt);
    EXPECT_EQ(child("statusText")->text(), QStringLiteral("Manual 360 mode"));
    model_->setSpherical360Detection(Spherical360Detection::likelyEquirectangular());
    EXPECT_EQ(child("statusText")->text(), QStringLiteral("2:1 aspect — likely equirectangular"));
    model_->setSpherical360Detection(Spherical360Detection::proprietaryContainer("insv"));
    EXPECT_EQ(child("statusText")->text(), QStringLiteral("Proprietary .insv — export an equirectangular MP4 first"));
}

TEST_F(InspectorTest, TheCloseButtonAndTheBackdropCloseButThePanelDoesNot) {
    model_->setPersonMaskMode(PersonMaskMode::off);
    open(videoPath());
    ASSERT_TRUE(rendered());
    QTest::mouseClick(view_->cropGrid(), Qt::LeftButton, {}, view_->cropCellRect(1).center());
    ASSERT_EQ(view_->selectedCrop(), 1);

    // A click on the panel's own surface (its header) keeps it open.
    QTest::mouseClick(view_->panel(), Qt::LeftButton, {}, QPoint(view_->panel()->width() / 2, 8));
    EXPECT_TRUE(model_->show360Inspector());
    QTest::mouseClick(child<QToolButton>("closeButton"), Qt::LeftButton);
    EXPECT_FALSE(model_->show360Inspector());

    // Opened again, it starts afresh.
    model_->setShow360Inspector(true);
    EXPECT_EQ(view_->selectedCrop(), std::nullopt);
    EXPECT_TRUE(view_->isLoading());
    EXPECT_TRUE(view_->crops().empty());
    ASSERT_TRUE(rendered());
    QTest::mouseClick(view_.get(), Qt::LeftButton, {}, QPoint(5, 5));
    EXPECT_FALSE(model_->show360Inspector());
}

TEST(InspectorPalette, SixteenColoursAndTheLastFourRepeat) {
    const auto& palette = Inspector360View::cropPalette();
    ASSERT_EQ(palette.size(), 16u);
    EXPECT_EQ(palette[12], palette[0]);
    EXPECT_EQ(palette[13], palette[3]);
    EXPECT_EQ(palette[14], palette[7]);
    EXPECT_EQ(palette[15], palette[1]);
    EXPECT_EQ(Inspector360View::cropColor(17), palette[1]);
    EXPECT_EQ(&Inspector360View::cropPalette(), &palette);
}

TEST(InspectorOnTheDashboard, OpensOverTheWindowAndCloses) {
    TempDir support;
    auto model = makeViewModel(support);
    core::InMemoryPreferenceStore defaults;
    views::MainDashboardView dashboard(*model, defaults, false);
    dashboard.resize(1200, 800);
    dashboard.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dashboard));
    auto* inspector = qobject_cast<Inspector360View*>(dashboard.inspector());
    ASSERT_NE(inspector, nullptr);
    EXPECT_FALSE(inspector->isVisible());
    model->setShow360Inspector(true);
    EXPECT_TRUE(inspector->isVisible());
    EXPECT_EQ(inspector->geometry(), dashboard.rect());
    EXPECT_EQ(inspector->loadError(), QStringLiteral("No input selected."));
    QTest::mouseClick(inspector->findChild<QToolButton*>(QStringLiteral("closeButton")), Qt::LeftButton);
    EXPECT_FALSE(model->show360Inspector());
    EXPECT_FALSE(inspector->isVisible());
}

}  // namespace
}  // namespace tessaron::testing
