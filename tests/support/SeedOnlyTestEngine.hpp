#pragma once

// For a test program whose datasets' photos are not pictures: the tests'
// engine writes its seeds untrained unless a test says otherwise. Set by the
// program itself, before its first test, so that it runs the same from CTest
// and by hand; a value already set (say "0", to train for real) is kept.

#include <gtest/gtest.h>

#include <cstdlib>

namespace tessaron::testing {

class SeedOnlyTestEngine : public ::testing::Environment {
public:
    void SetUp() override { ::setenv("TESSARON_TEST_ENGINE_SEED_ONLY", "1", 0); }
};

inline const auto seedOnlyTestEngine = ::testing::AddGlobalTestEnvironment(new SeedOnlyTestEngine);

}  // namespace tessaron::testing
