// The dashboard's machine figures from injected kernel files.
#include <gtest/gtest.h>

#include <QSignalSpy>
#include <QTest>

#include "viewmodel/ViewModelTestSupport.hpp"

namespace tessaron::testing {
namespace {

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
    model->sampleHostTelemetry();
    EXPECT_EQ(load.count(), 0);
    EXPECT_EQ(model->cpuUsage(), 0);
    EXPECT_EQ(model->ramUsageString(), "12.3 / 32 GB");

    writeStat("400 0 200 1500 100 0 0 0 0 0");  // busy +300 +100, idle +700 +100: 400 of 1200
    model->sampleHostTelemetry();
    EXPECT_NEAR(model->cpuUsage(), 100.0 / 3.0, 1e-9);
}

TEST_F(HostTelemetryTest, AnUnreadableLoadKeepsTheLastValueButMemoryStillUpdates) {
    writeTextFile(proc_ / "meminfo", "MemTotal:       33554432 kB\nMemAvailable:   33554432 kB\n");
    writeStat("100 0 100 800 0 0 0 0 0 0");
    auto model = makeSampledModel();
    model->sampleHostTelemetry();
    writeStat("200 0 100 900 0 0 0 0 0 0");
    model->sampleHostTelemetry();
    EXPECT_DOUBLE_EQ(model->cpuUsage(), 50.0);
    std::filesystem::remove(proc_ / "stat");
    writeTextFile(proc_ / "meminfo", "MemTotal:       33554432 kB\nMemAvailable:   16777216 kB\n");
    model->sampleHostTelemetry();
    EXPECT_DOUBLE_EQ(model->cpuUsage(), 50.0);
    EXPECT_EQ(model->ramUsageString(), "16.0 / 32 GB");
}

TEST_F(HostTelemetryTest, TheTimerSamplesEveryTwoSecondsUntilStopped) {
    auto model = makeViewModel();  // the machine's own files
    EXPECT_FALSE(model->isTelemetryTimerActive());
    model->startTelemetryTimer();
    EXPECT_TRUE(model->isTelemetryTimerActive());
    ASSERT_TRUE(QTest::qWaitFor([&] { return model->ramUsageString().endsWith(" GB"); }, 30000));
    model->stopTelemetryTimer();
    EXPECT_FALSE(model->isTelemetryTimerActive());
}

}  // namespace
}  // namespace tessaron::testing
