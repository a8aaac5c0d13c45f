// The 360° inspector's loader on its own: what it reports, on which thread,
// and which of several overlapping runs is heard.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QSignalSpy>
#include <QTest>
#include <QThread>

#include <memory>

#include "generators/PanoramaVideo.hpp"
#include "support/TempDir.hpp"
#include "viewmodel/Inspector360Loader.hpp"

namespace tessaron::testing {
namespace {

using input::CropLayoutPreset;
using viewmodel::Inspector360Loader;
using viewmodel::Inspector360Rendering;
using generators::PanoramaVideo;

class Inspector360LoaderTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        folder_ = new TempDir;
        PanoramaVideo video;
        video.width = 512;
        video.height = 256;
        video.frameCount = 4;
        video.withPerson = false;
        video.write(*folder_ / "pano.avi");
    }
    static void TearDownTestSuite() {
        delete folder_;
        folder_ = nullptr;
    }
    static Inspector360Loader::Request request(CropLayoutPreset preset) {
        return {.input = *folder_ / "pano.avi", .preset = preset};
    }
    static Inspector360Loader::Options smallCrops() {
        Inspector360Loader::Options options;
        options.cropSize = 32;
        return options;
    }

    static TempDir* folder_;
};

TempDir* Inspector360LoaderTest::folder_ = nullptr;

TEST_F(Inspector360LoaderTest, OnlyTheNewestRunReportsAndItReportsOnTheGuiThread) {
    Inspector360Loader loader(smallCrops());
    std::vector<std::size_t> cropCounts;
    bool onGuiThread = true;
    QObject::connect(&loader, &Inspector360Loader::loaded, [&](std::shared_ptr<const Inspector360Rendering> rendering) {
        onGuiThread = onGuiThread && QThread::currentThread() == QCoreApplication::instance()->thread();
        cropCounts.push_back(rendering->crops.size());
    });
    QSignalSpy failed(&loader, &Inspector360Loader::failed);
    // The first run is superseded at once, whether or not it has finished.
    loader.load(request(CropLayoutPreset::fullSphere16));
    loader.load(request(CropLayoutPreset::horizontal8));
    ASSERT_TRUE(QTest::qWaitFor([&] { return loader.workingRuns() == 0; }, 60000));
    EXPECT_EQ(cropCounts, std::vector<std::size_t>{8});
    EXPECT_TRUE(onGuiThread);
    EXPECT_EQ(failed.count(), 0);
}

TEST_F(Inspector360LoaderTest, AnUnreadableVideoIsReportedAsAFailure) {
    Inspector360Loader loader(smallCrops());
    QSignalSpy loaded(&loader, &Inspector360Loader::loaded);
    QSignalSpy failed(&loader, &Inspector360Loader::failed);
    loader.load({.input = *folder_ / "missing.avi"});
    ASSERT_TRUE(QTest::qWaitFor([&] { return loader.workingRuns() == 0; }, 60000));
    ASSERT_EQ(failed.count(), 1);
    EXPECT_TRUE(failed[0][0].toString().startsWith(QStringLiteral("Could not render crops: ")))
        << failed[0][0].toString().toStdString();
    EXPECT_GT(failed[0][0].toString().size(), QStringLiteral("Could not render crops: ").size());
    EXPECT_EQ(loaded.count(), 0);
}

TEST_F(Inspector360LoaderTest, ALoaderDestroyedDuringARunReportsNothingLater) {
    bool reported = false;
    QObject receiver;
    {
        Inspector360Loader loader(smallCrops());
        QObject::connect(&loader, &Inspector360Loader::loaded, &receiver, [&] { reported = true; });
        QObject::connect(&loader, &Inspector360Loader::failed, &receiver, [&] { reported = true; });
        loader.load(request(CropLayoutPreset::horizontal8));
    }
    // The destructor joined the run: whatever it posted is queued by now.
    QCoreApplication::sendPostedEvents();
    EXPECT_FALSE(reported);
}

}  // namespace
}  // namespace tessaron::testing
