// The training engine: see EngineRun.
#include <exception>
#include <iostream>
#include <new>

#include "trevik/EngineRun.hpp"

int main(int argc, char** argv) {
    using namespace tessaron::trevik;
    std::vector<std::string> arguments(argv + 1, argv + argc);
    TrainingOptions options;
    EngineSettings settings;
    try {
        options = TrainingOptions::parse(arguments);
        settings = EngineSettings::fromEnvironment();
    } catch (const TrainingOptions::UsageError& error) {
        std::cerr << "trevik: " << error.what() << "\n" << TrainingOptions::usage();
        return 2;
    }
    try {
        return EngineRun(std::move(options), std::move(settings), std::cout, std::cerr).run();
    } catch (const std::bad_alloc&) {
        std::cerr << "error: out of memory (std::bad_alloc)" << std::endl;
        return 1;
    } catch (const std::exception& error) {
        std::cerr << "error: " << error.what() << std::endl;
        return 1;
    }
}
