// The snapshot poller on its own: its cadence, its stop, and a read that
// outlives it.
#include <gtest/gtest.h>

#include <QTest>

#include "colmap/COLMAPUtils.hpp"
#include "support/TempDir.hpp"
#include "viewmodel/SfMSnapshotPoller.hpp"

namespace tessaron::testing {
namespace {

namespace fs = std::filesystem;
using viewmodel::SfMLiveSnapshot;
using viewmodel::SfMSnapshotPoller;

void writePoints(const fs::path& folder, int count) {
    colmap::Point3DMap points;
    for (int index = 0; index < count; ++index) {
        colmap::Point3DModel point;
        point.point3D_id = uint64_t(index + 1);
        point.x = index;
        points[point.point3D_id] = point;
    }
    fs::create_directories(folder);
    colmap::COLMAPUtils::writePoints3D(points, folder / "points3D.bin");
}

class SfMSnapshotPollerTest : public ::testing::Test {
protected:
    fs::path snapshots() const { return workspace_ / "snapshots"; }

    TempDir workspace_{"tessaron-viewmodel-poller"};
    std::optional<fs::path> folder_ = snapshots();
    std::vector<std::shared_ptr<const SfMLiveSnapshot>> published_;
    int looks_ = 0;
    SfMSnapshotPoller poller_{[this] {
                                  ++looks_;
                                  return folder_;
                              },
                              [this](std::shared_ptr<const SfMLiveSnapshot> snapshot) {
                                  published_.push_back(std::move(snapshot));
                              },
                              std::chrono::milliseconds(20)};
};

TEST_F(SfMSnapshotPollerTest, WhileWantedItLooksAtEachIntervalAndHandsOnEachNewSnapshotOnce) {
    writePoints(snapshots() / "1", 4);
    poller_.update(true);
    EXPECT_TRUE(poller_.isPolling());
    ASSERT_TRUE(QTest::qWaitFor([&] { return published_.size() == 1; }, 30000));
    EXPECT_EQ(published_[0]->url, snapshots() / "1");
    EXPECT_EQ(published_[0]->positions.size(), 4u);
    // Looks go on without a new folder, and hand nothing on.
    const int looks = looks_;
    ASSERT_TRUE(QTest::qWaitFor([&] { return looks_ >= looks + 3; }, 30000));
    EXPECT_EQ(published_.size(), 1u);
    writePoints(snapshots() / "2", 6);
    ASSERT_TRUE(QTest::qWaitFor([&] { return published_.size() == 2; }, 30000));
    EXPECT_EQ(published_[1]->positions.size(), 6u);

    // A new operation starts from nothing known.
    poller_.stop();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !poller_.isReading(); }, 30000));
    poller_.forget();
    poller_.poll();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !poller_.isReading(); }, 30000));
    EXPECT_EQ(published_.size(), 3u);
}

TEST_F(SfMSnapshotPollerTest, OnceStoppedItLooksNoMoreAndWithoutAFolderItReadsNothing) {
    poller_.update(true);
    ASSERT_TRUE(QTest::qWaitFor([&] { return looks_ >= 2; }, 30000));
    poller_.update(false);
    EXPECT_FALSE(poller_.isPolling());
    ASSERT_TRUE(QTest::qWaitFor([&] { return !poller_.isReading(); }, 30000));
    const int looks = looks_;
    QCoreApplication::processEvents();
    EXPECT_EQ(looks_, looks);

    folder_.reset();
    writePoints(snapshots() / "1", 4);
    poller_.poll();
    EXPECT_FALSE(poller_.isReading());
    EXPECT_TRUE(published_.empty());
}

TEST(SfMSnapshotPollerLifetime, AReadInFlightNeverReachesAPollerThatIsGone) {
    TempDir workspace("tessaron-viewmodel-poller-gone");
    writePoints(workspace / "7", 50);
    int published = 0;
    {
        SfMSnapshotPoller poller([&] { return std::optional<fs::path>(workspace.path()); },
                                 [&](std::shared_ptr<const SfMLiveSnapshot>) { ++published; },
                                 std::chrono::milliseconds(1000));
        poller.poll();
        EXPECT_TRUE(poller.isReading());
    }
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents();
    EXPECT_EQ(published, 0);
}

}  // namespace
}  // namespace tessaron::testing
