#include "support/engine/TestEngineKnobs.hpp"

namespace tessaron::testing {

using trevik::TrainingOptions;

TestEngineKnobs TestEngineKnobs::read(const trevik::EngineSettings::Lookup& lookup) {
    TestEngineKnobs knobs;
    if (auto text = lookup(seedOnlyVariable); text && !text->empty()) {
        if (*text != "0" && *text != "1")
            throw TrainingOptions::UsageError(std::string("invalid value for ") + seedOnlyVariable + ": \"" + *text +
                                              "\" (0 or 1)");
        knobs.seedOnly = *text == "1";
    }
    if (auto text = lookup(stepSleepVariable))
        knobs.stepSleepMilliseconds = TrainingOptions::integerValue(stepSleepVariable, *text, 0);
    if (auto text = lookup(memoryLimitVariable))
        knobs.memoryLimitGB = TrainingOptions::numberValue(memoryLimitVariable, *text);
    if (auto text = lookup(outOfMemoryModeVariable)) {
        if (*text == "message") knobs.outOfMemoryMode = OutOfMemoryMode::message;
        else if (*text == "kill") knobs.outOfMemoryMode = OutOfMemoryMode::kill;
        else
            throw TrainingOptions::UsageError(std::string("invalid value for ") + outOfMemoryModeVariable + ": \"" +
                                              *text + "\" (message or kill)");
    }
    if (auto text = lookup(failDatasetVariable); text && !text->empty()) knobs.failDataset = *text;
    if (auto text = lookup(truncateDatasetVariable); text && !text->empty()) knobs.truncateDataset = *text;
    if (auto text = lookup(psnrVariable)) knobs.psnr = TrainingOptions::numberValue(psnrVariable, *text);
    if (auto text = lookup(seedPsnrVariable)) knobs.seedPsnr = TrainingOptions::numberValue(seedPsnrVariable, *text);
    return knobs;
}

}  // namespace tessaron::testing
