// The allocator of the engine's large arrays: large blocks start on a 2 MB
// boundary, small ones are plain, and a vector growing across the
// threshold keeps its contents (each block is freed the way it was had,
// which AddressSanitizer checks).
#include <gtest/gtest.h>

#include <cstdint>
#include <new>

#include "core/HugePages.hpp"

using tessaron::core::HugePageAllocator;
using tessaron::core::HugePageVector;

TEST(HugePageAllocator, LargeBlocksAreAlignedAndVectorsKeepTheirContentsAcrossTheThreshold) {
    constexpr size_t hugePage = HugePageAllocator<uint32_t>::hugePage;
    HugePageVector<uint32_t> values;
    size_t largeBlocks = 0;
    for (uint32_t i = 0; i < (3u << 20); ++i) {
        const uint32_t* before = values.data();
        values.push_back(i * 7u);
        if (values.data() != before && values.capacity() * sizeof(uint32_t) >= hugePage) {
            ++largeBlocks;
            EXPECT_EQ(reinterpret_cast<uintptr_t>(values.data()) % hugePage, 0u) << values.capacity();
        }
    }
    EXPECT_GE(largeBlocks, 2u);
    for (uint32_t i = 0; i < values.size(); ++i) ASSERT_EQ(values[i], i * 7u) << i;
    values.resize(10);
    values.shrink_to_fit();
    EXPECT_EQ(values[9], 63u);

    HugePageAllocator<double> allocator;
    EXPECT_THROW(allocator.allocate(size_t(-1) / 4), std::bad_alloc);
}
