// The engine the tests run (built as Resources/trevik beside the test
// programs): trevik's own run, plus the knobs of TestEngineKnobs.
#include <exception>
#include <iostream>
#include <new>

#include "support/engine/TestEngineRun.hpp"

int main(int argc, char** argv) {
    using namespace tessaron::trevik;
    using tessaron::testing::TestEngineKnobs;
    using tessaron::testing::TestEngineRun;
    std::vector<std::string> arguments(argv + 1, argv + argc);
    TrainingOptions options;
    EngineSettings settings;
    TestEngineKnobs knobs;
    try {
        options = TrainingOptions::parse(arguments);
        settings = EngineSettings::fromEnvironment();
        knobs = TestEngineKnobs::read(EngineSettings::environmentValue);
    } catch (const TrainingOptions::UsageError& error) {
        std::cerr << "trevik: " << error.what() << "\n" << TrainingOptions::usage();
        return 2;
    }
    try {
        return TestEngineRun(std::move(options), std::move(settings), std::move(knobs), std::cout, std::cerr).run();
    } catch (const std::bad_alloc&) {
        std::cerr << "error: out of memory (std::bad_alloc)" << std::endl;
        return 1;
    } catch (const std::exception& error) {
        std::cerr << "error: " << error.what() << std::endl;
        return 1;
    }
}
