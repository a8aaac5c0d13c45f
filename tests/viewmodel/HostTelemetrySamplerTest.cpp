// The telemetry sampler on its own, with a stand-in source.
#include <gtest/gtest.h>

#include <QTest>

#include <vector>

#include "viewmodel/HostTelemetrySampler.hpp"

namespace tessaron::testing {
namespace {

using viewmodel::HostTelemetrySampler;
using Memory = engines::HostStats::Memory;

constexpr uint64_t gibibyte = uint64_t(1) << 30;

TEST(HostTelemetrySampler, EachSampleCarriesWhatTheSourceKnowsAndNothingItDoesNot) {
    std::optional<double> load;
    std::optional<Memory> memory = Memory{uint64_t(12.34 * double(gibibyte)), 32 * gibibyte};
    std::vector<HostTelemetrySampler::Sample> samples;
    HostTelemetrySampler sampler({[&] { return load; }, [&] { return memory; }},
                                 [&](const HostTelemetrySampler::Sample& sample) { samples.push_back(sample); });
    sampler.sample();
    load = 37.5;
    memory.reset();
    sampler.sample();
    ASSERT_EQ(samples.size(), 2u);
    EXPECT_EQ(samples[0].cpuPercent, std::nullopt);
    EXPECT_EQ(samples[0].ramUsage, QString("12.3 / 32 GB"));
    EXPECT_EQ(samples[1].cpuPercent, 37.5);
    EXPECT_EQ(samples[1].ramUsage, std::nullopt);
    // The used share is cut to a tenth as printf rounds it; the total is whole.
    EXPECT_EQ(HostTelemetrySampler::ramUsageText({gibibyte / 2, 3 * gibibyte / 2}), "0.5 / 2 GB");
}

TEST(HostTelemetrySampler, TheTimerSamplesUntilStoppedAndARestartKeepsOneTimer) {
    int calls = 0;
    HostTelemetrySampler sampler({[&] { return std::optional<double>(++calls); }, {}},
                                 [](const HostTelemetrySampler::Sample&) {});
    EXPECT_EQ(HostTelemetrySampler::interval, std::chrono::milliseconds(2000));
    EXPECT_FALSE(sampler.isActive());
    sampler.start();
    sampler.start();
    EXPECT_TRUE(sampler.isActive());
    ASSERT_TRUE(QTest::qWaitFor([&] { return calls >= 2; }, 30000));
    sampler.stop();
    EXPECT_FALSE(sampler.isActive());
}

}  // namespace
}  // namespace tessaron::testing
