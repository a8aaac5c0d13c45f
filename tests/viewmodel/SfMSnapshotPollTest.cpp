// The live point cloud from COLMAP's snapshot folders.
#include <gtest/gtest.h>

#include <QSignalSpy>
#include <QTest>

#include <atomic>
#include <thread>

#include "colmap/COLMAPUtils.hpp"
#include "viewmodel/ViewModelTestSupport.hpp"
#include "viewmodel/PipelineViewModelTestAccess.hpp"

namespace tessaron::testing {
namespace {

using ModelAccess = viewmodel::PipelineViewModelTestAccess;

using viewmodel::PipelineViewModel;
namespace fs = std::filesystem;

// A points3D.bin of `count` points, ids descending from `firstId` so that
// the file's order is not the published one.
void writePoints(const fs::path& folder, int count, uint64_t firstId) {
    colmap::Point3DMap points;
    for (int index = 0; index < count; ++index) {
        colmap::Point3DModel point;
        point.point3D_id = firstId - uint64_t(index);
        point.x = index + 0.5;
        point.y = -index;
        point.z = 1e-9;
        point.track = {{1, 2}, {3, 4}};
        points[point.point3D_id] = point;
    }
    fs::create_directories(folder);
    colmap::COLMAPUtils::writePoints3D(points, folder / "points3D.bin");
}

class SfMSnapshotPollTest : public ViewModelTest {
protected:
    void SetUp() override {
        model_ = makeViewModel();
        model_->setCurrentWorkspaceURL(workspace_.path());
        published_ = std::make_unique<QSignalSpy>(model_.get(), &PipelineViewModel::latestSfMSnapshotChanged);
    }
    fs::path snapshots() const { return workspace_ / "colmap" / "snapshots"; }
    // One poll, its read and the handling of what it read.
    void pollAndSettle() {
        ModelAccess::pollSfMSnapshot(*model_);
        ASSERT_TRUE(QTest::qWaitFor([&] { return !ModelAccess::isReadingSfMSnapshot(*model_); }, 30000));
    }

    TempDir workspace_{"tessaron-viewmodel-snapshots"};
    std::unique_ptr<PipelineViewModel> model_;
    std::unique_ptr<QSignalSpy> published_;
};

TEST_F(SfMSnapshotPollTest, NewestFolderInStringOrderIsPublishedSortedInSinglePrecision) {
    writePoints(snapshots() / "10", 30, 100);
    writePoints(snapshots() / "5", 3, 20);
    fs::create_directories(snapshots() / "abc");
    writePoints(snapshots() / "12a", 7, 50);
    ModelAccess::pollSfMSnapshot(*model_);
    ASSERT_TRUE(QTest::qWaitFor([&] { return published_->count() == 1; }));
    const viewmodel::SfMLiveSnapshot& snapshot = *model_->latestSfMSnapshot();
    EXPECT_EQ(snapshot.url, snapshots() / "5");
    EXPECT_EQ(snapshot.ids, (std::vector<uint64_t>{18, 19, 20}));
    ASSERT_EQ(snapshot.positions.size(), 3u);
    EXPECT_EQ(snapshot.positions[0], (std::array<float, 3>{2.5f, -2.0f, float(1e-9)}));
    EXPECT_EQ(snapshot.positions[2], (std::array<float, 3>{0.5f, 0.0f, float(1e-9)}));
}

TEST_F(SfMSnapshotPollTest, TheSameNewestFolderIsReadOnce) {
    writePoints(snapshots() / "0", 4, 10);
    ModelAccess::pollSfMSnapshot(*model_);
    ASSERT_TRUE(QTest::qWaitFor([&] { return published_->count() == 1; }));
    writePoints(snapshots() / "0", 9, 10);  // rewritten, same name: not read again
    pollAndSettle();
    EXPECT_EQ(published_->count(), 1);
    EXPECT_EQ(model_->latestSfMSnapshot()->ids.size(), 4u);
    writePoints(snapshots() / "1", 9, 10);
    ModelAccess::pollSfMSnapshot(*model_);
    ASSERT_TRUE(QTest::qWaitFor([&] { return published_->count() == 2; }));
    EXPECT_EQ(model_->latestSfMSnapshot()->ids.size(), 9u);
}

TEST_F(SfMSnapshotPollTest, AHalfWrittenOrMissingSnapshotIsSkippedAndTriedAgain) {
    pollAndSettle();  // no snapshots folder yet
    fs::create_directories(snapshots() / "0");
    pollAndSettle();  // a folder without points3D.bin
    writePoints(snapshots() / "0", 6, 10);
    const std::string whole = readTextFile(snapshots() / "0" / "points3D.bin");
    writeTextFile(snapshots() / "0" / "points3D.bin", whole.substr(0, whole.size() - 5));
    pollAndSettle();
    writeTextFile(snapshots() / "0" / "points3D.bin", std::string(8, '\0'));  // no points yet
    pollAndSettle();
    EXPECT_EQ(published_->count(), 0);
    writeTextFile(snapshots() / "0" / "points3D.bin", whole);
    ModelAccess::pollSfMSnapshot(*model_);
    ASSERT_TRUE(QTest::qWaitFor([&] { return published_->count() == 1; }));
    EXPECT_EQ(model_->latestSfMSnapshot()->ids.size(), 6u);
}

TEST_F(SfMSnapshotPollTest, NothingIsReadWithoutSfMOrWhenTheWorkspaceChangedMeanwhile) {
    writePoints(snapshots() / "3", 5, 10);
    model_->setSkipSfM(true);
    pollAndSettle();
    EXPECT_EQ(published_->count(), 0);
    model_->setSkipSfM(false);
    // The workspace changes before the read's result reaches the GUI thread.
    ModelAccess::pollSfMSnapshot(*model_);
    TempDir other("tessaron-viewmodel-other");
    model_->setCurrentWorkspaceURL(other.path());
    ASSERT_TRUE(QTest::qWaitFor([&] { return !ModelAccess::isReadingSfMSnapshot(*model_); }, 30000));
    EXPECT_EQ(published_->count(), 0);
    model_->setCurrentWorkspaceURL(workspace_.path());
    ModelAccess::pollSfMSnapshot(*model_);
    ASSERT_TRUE(QTest::qWaitFor([&] { return published_->count() == 1; }));
}

TEST_F(SfMSnapshotPollTest, PollingStopsOutsideSfMAndTheCloudStays) {
    writePoints(snapshots() / "1", 5, 10);
    auto fast = [&] {
        PipelineViewModel::Configuration configuration;
        configuration.manager.supportFolder = support_.path();
        configuration.sfmSnapshotPollMilliseconds = 50;
        return std::make_unique<PipelineViewModel>(configuration);
    }();
    fast->setCurrentWorkspaceURL(workspace_.path());
    ModelAccess::updateSfMSnapshotPolling(*fast, pipeline::PipelineState::Kind::processingSfM);
    ASSERT_TRUE(QTest::qWaitFor([&] { return fast->latestSfMSnapshot() != nullptr; }));
    ModelAccess::updateSfMSnapshotPolling(*fast, pipeline::PipelineState::Kind::preparingData);
    EXPECT_FALSE(ModelAccess::isPollingSfMSnapshots(*fast));
    EXPECT_EQ(fast->latestSfMSnapshot()->url, snapshots() / "1");
}

// A cancel during COLMAP stops the poll at once, before the operation has
// ended and while the state still reads processingSfM.
TEST_F(SfMSnapshotPollTest, ACancelStopsThePoll) {
    std::atomic<bool> release = false;
    model_->setHasActiveOperation(true);
    ModelAccess::runTrackedOperation(*model_, [&release](std::stop_token stopToken) {
        while (!release && !stopToken.stop_requested()) std::this_thread::yield();
    });
    model_->setCurrentState(pipeline::PipelineState::Kind::processingSfM);
    ModelAccess::updateSfMSnapshotPolling(*model_, model_->currentState());
    ASSERT_TRUE(ModelAccess::isPollingSfMSnapshots(*model_));
    model_->cancelRun();
    EXPECT_FALSE(ModelAccess::isPollingSfMSnapshots(*model_));
    release = true;
    ASSERT_TRUE(QTest::qWaitFor([&] { return !ModelAccess::hasActiveTask(*model_); }, 30000));
    EXPECT_FALSE(ModelAccess::isPollingSfMSnapshots(*model_));
}

}  // namespace
}  // namespace tessaron::testing
