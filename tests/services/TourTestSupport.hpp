#pragma once

// The tour's tests: sample view models with a support folder of their own.

#include <memory>

#include "support/TempDir.hpp"
#include "viewmodel/PipelineViewModel.hpp"
#include "viewmodel/ViewModelTestSupport.hpp"

namespace tessaron::testing {

inline std::unique_ptr<viewmodel::PipelineViewModel> makeTourSample(const TempDir& support) {
    viewmodel::PipelineViewModel::Configuration configuration;
    configuration.physicalMemoryBytes = gibibytes(16);
    configuration.manager.supportFolder = support.path();
    auto sample = std::make_unique<viewmodel::PipelineViewModel>(configuration);
    sample->setIsTourSample(true);
    return sample;
}

}  // namespace tessaron::testing
