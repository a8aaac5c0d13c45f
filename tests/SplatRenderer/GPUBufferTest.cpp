#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "SplatRenderer/ChunkedSplatIndex.hpp"
#include "SplatRenderer/EncodedSplatPoint.hpp"
#include "SplatRenderer/GPUBuffer.hpp"
#include "SplatRenderer/GPUBufferPool.hpp"
#include "SplatRenderer/RendererLog.hpp"

using namespace splatrenderer;

namespace {

// Collects the log lines of one test.
class LogCapture {
public:
    LogCapture() {
        previous_ = RendererLog::setSink([this](RendererLog::Level level, const std::string& category,
                                                const std::string& message) {
            lines.push_back((level == RendererLog::Level::info ? "info " : "error ") + category + ": " + message);
        });
    }
    ~LogCapture() { RendererLog::setSink(previous_); }
    std::vector<std::string> lines;

private:
    RendererLog::Sink previous_;
};

const GPUDevice device256MiB(268435456);

}  // namespace

TEST(GPUBuffer, CapacityIsBoundedByTheDevice) {
    EXPECT_EQ(GPUBuffer<EncodedSplatPoint>::maxCapacity(device256MiB), 8388608);
    EXPECT_EQ(GPUBuffer<ChunkedSplatIndex>::maxCapacity(device256MiB), 33554432);
    EXPECT_NO_THROW(GPUBuffer<EncodedSplatPoint>(device256MiB, 8388608));
    try {
        GPUBuffer<EncodedSplatPoint> buffer(device256MiB, 8388609);
        FAIL() << "an oversized buffer was made";
    } catch (const GPUBuffer<EncodedSplatPoint>::Error& error) {
        EXPECT_EQ(error.kind(), GPUBufferBase::ErrorKind::capacityGreatedThanMaxCapacity);
        EXPECT_EQ(error.requested(), 8388609);
        EXPECT_EQ(error.max(), 8388608);
        EXPECT_STREQ(error.what(), "Requested GPU buffer size (8388609) exceeds device maximum (8388608)");
    }
    // A failed reallocation changes nothing.
    GPUBuffer<EncodedSplatPoint> buffer(device256MiB, 3);
    buffer.setCount(2);
    EXPECT_THROW(buffer.setCapacity(8388609), GPUBufferBase::Error);
    EXPECT_EQ(buffer.capacity(), 3);
    EXPECT_EQ(buffer.count(), 2);
}

TEST(GPUBuffer, ReallocationLogsItsSizeOnlyWhenItAllocates) {
    LogCapture log;
    GPUBuffer<EncodedSplatPoint> buffer(device256MiB, 1);
    buffer.setCapacity(0);  // still one element
    buffer.setCapacity(1);
    EXPECT_TRUE(log.lines.empty());
    buffer.setCapacity(100);
    buffer.ensureCapacity(100);
    buffer.ensureCapacity(50);
    ASSERT_EQ(log.lines.size(), 1u);
    EXPECT_EQ(log.lines[0], "info GPUBuffer: Allocating a new buffer of size 32 * 100 = 0.003052mb");
    buffer.ensureCapacity(101);
    EXPECT_EQ(buffer.capacity(), 101);  // exactly, no growth factor
}

TEST(GPUBuffer, ShrinkingKeepsTheFirstElements) {
    GPUBuffer<std::uint32_t> buffer(device256MiB, 10);
    for (std::uint32_t i = 0; i < 10; ++i) buffer.append(i * 7);
    buffer.setCapacity(4);
    EXPECT_EQ(buffer.count(), 4);
    EXPECT_EQ(std::vector<std::uint32_t>(buffer.elements().begin(), buffer.elements().end()),
              (std::vector<std::uint32_t>{0, 7, 14, 21}));
    buffer.setCapacity(20);
    EXPECT_EQ(buffer.count(), 4);
    EXPECT_EQ(buffer.values()[3], 21u);
}

TEST(GPUBufferPool, GivesBackTheLastReleasedBufferOfItsTag) {
    GPUBufferPool<int, std::string> pool;
    EXPECT_FALSE(pool.acquireBuffer(1).has_value());
    pool.releaseBuffer("A", 1);
    pool.releaseBuffer("B", 1);
    pool.releaseBuffer("C", 2);
    EXPECT_EQ(pool.acquireBuffer(1), "B");
    EXPECT_EQ(pool.acquireBuffer(1), "A");
    EXPECT_FALSE(pool.acquireBuffer(1).has_value());
    EXPECT_EQ(pool.acquireBuffer(2), "C");
}

TEST(GPUDevice, WithoutAContextThereAreNoLimitsToRead) {
    try {
        GPUDevice::current();
        FAIL() << "limits read without a context";
    } catch (const GPUDevice::Error& error) {
        EXPECT_EQ(error.kind(), GPUDevice::ErrorKind::noCurrentContext);
        EXPECT_STREQ(error.what(), "Unable to initialize SplatRenderer: no OpenGL context is current");
    }
    const GPUDevice capped = device256MiB.cappedAt(1000);
    EXPECT_EQ(capped.maxBufferLength(), 1000);
    EXPECT_EQ(capped.cappedAt(5000).maxBufferLength(), 1000);
}
