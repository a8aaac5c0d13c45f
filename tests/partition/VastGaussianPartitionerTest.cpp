#include <gtest/gtest.h>

#include <iostream>

#include "partition/VastGaussianPartitioner.hpp"
#include "support/SyntheticModel.hpp"

using namespace tessaron;
using namespace tessaron::partition;

TEST(Scratch, Street) {
    tessaron::testing::SyntheticModelOptions options;
    options.imageCount = 300;
    options.pointCount = 30000;
    auto model = tessaron::testing::makeSyntheticModel(options);
    std::string log;
    auto plan = VastGaussianPartitioner::createPlan(model, 1, 7000, 1000000, 4.0, 0,
                                                    [&](const std::string& line) { log += line + "\n"; });
    std::cout << log << plan.printSummary() << std::endl;
}
