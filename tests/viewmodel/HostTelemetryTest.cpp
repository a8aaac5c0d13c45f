// The dashboard's machine figures from injected kernel files.
#include <gtest/gtest.h>

#include <QSignalSpy>
#include <QTest>

#include "viewmodel/ViewModelTestSupport.hpp"
#include "viewmodel/PipelineViewModelTestAccess.hpp"

namespace tessaron::testing {
namespace {

using ModelAccess = viewmodel::PipelineViewModelTestAccess;

using viewmodel::PipelineViewModel;

class HostTelemetryTest : public ViewModelTest {
protected:
    std::unique_ptr<PipelineViewModel> makeSampledModel() {
        PipelineViewModel::Configuration configuration;
        configuration.physicalMemoryBytes = gibibytes(32);
        configuration.manager.supportFolder = support_.path();
        configuration.procFolder = proc_.path();
        return std::make_unique<PipelineViewModel>(configuration);
    }
    void writeStat(const std::string& counters) { writeTextFile(proc_ / "stat", "cpu  " + counters + "\n"); }

    TempDir proc_{"tessaron-viewmodel-proc"};
};

TEST_F(HostTelemetryTest, FirstTickPublishesNoLoadAndTheSecondTheShareBetweenThem) {
    // 32 GiB installed, 12.34 GiB of it in use.
    writeTextFile(proc_ / "meminfo", "MemTotal:       33554432 kB\nMemAvailable:   20615004 kB\n");
    writeStat("100 0 100 800 0 0 0 0 0 0");
    auto model = makeSampledModel();
    QSignalSpy load(model.get(), &PipelineViewModel::cpuUsageChanged);
    ModelAccess::sampleHostTelemetry(*model);
    EXPECT_EQ(load.count(), 0);
    EXPECT_EQ(model->cpuUsage(), 0);
    EXPECT_EQ(model->ramUsageString(), "12.3 / 32 GB");

    writeStat("400 0 200 1500 100 0 0 0 0 0");  // busy +300 +100, idle +700 +100: 400 of 1200
    ModelAccess::sampleHostTelemetry(*model);
    EXPECT_NEAR(model->cpuUsage(), 100.0 / 3.0, 1e-9);
}

TEST_F(HostTelemetryTest, AnUnreadableLoadKeepsTheLastValueButMemoryStillUpdates) {
    writeTextFile(proc_ / "meminfo", "MemTotal:       33554432 kB\nMemAvailable:   33554432 kB\n");
    writeStat("100 0 100 800 0 0 0 0 0 0");
    auto model = makeSampledModel();
    ModelAccess::sampleHostTelemetry(*model);
    writeStat("200 0 100 900 0 0 0 0 0 0");
    ModelAccess::sampleHostTelemetry(*model);
    EXPECT_DOUBLE_EQ(model->cpuUsage(), 50.0);
    std::filesystem::remove(proc_ / "stat");
    writeTextFile(proc_ / "meminfo", "MemTotal:       33554432 kB\nMemAvailable:   16777216 kB\n");
    ModelAccess::sampleHostTelemetry(*model);
    EXPECT_DOUBLE_EQ(model->cpuUsage(), 50.0);
    EXPECT_EQ(model->ramUsageString(), "16.0 / 32 GB");
}

TEST_F(HostTelemetryTest, TheTimerSamplesEveryTwoSecondsUntilStopped) {
    auto model = makeViewModel();  // the machine's own files
    EXPECT_FALSE(ModelAccess::isTelemetryTimerActive(*model));
    ModelAccess::startTelemetryTimer(*model);
    EXPECT_TRUE(ModelAccess::isTelemetryTimerActive(*model));
    ASSERT_TRUE(QTest::qWaitFor([&] { return model->ramUsageString().endsWith(" GB"); }, 30000));
    ModelAccess::stopTelemetryTimer(*model);
    EXPECT_FALSE(ModelAccess::isTelemetryTimerActive(*model));
}

}  // namespace
}  // namespace tessaron::testing
