// Sub-command that converts a splat file through the converter runner.
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <memory>
#include <mutex>

#include "ToolCommand.hpp"
#include "engines/ProcessRunner.hpp"
#include "engines/SplatConverterRunner.hpp"

namespace tessaron::tool {
namespace {

namespace fs = std::filesystem;

std::string formatNames() {
    std::string names;
    for (auto format : engines::allSplatOutputFormats) names += (names.empty() ? "" : "|") + std::string(engines::toString(format));
    return names;
}

// convert <in> <format> [--out-dir D]: every progress and child line, then
// the written file's path on the last line.
int convertCommand(const std::vector<std::string>& arguments) {
    if (arguments.size() != 2 && arguments.size() != 4) return usageError("convert needs <in> <format> [--out-dir D]");
    auto format = engines::splatOutputFormatFromString(arguments[1]);
    if (!format) return usageError("convert: format must be one of " + formatNames());
    fs::path input = arguments[0];
    fs::path outputDirectory = input.parent_path().empty() ? fs::path(".") : input.parent_path();
    if (arguments.size() == 4) {
        if (arguments[2] != "--out-dir") return usageError("convert: unexpected " + arguments[2]);
        outputDirectory = arguments[3];
    }

    engines::SplatConverterRunner converter(std::make_shared<engines::ProcessRunner>());
    std::mutex printMutex;
    converter.setOnLog([&printMutex](const std::string& line) {
        std::lock_guard lock(printMutex);
        std::fwrite(line.data(), 1, line.size(), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
    });
    fs::path output = converter.convert(input, *format, outputDirectory);
    std::lock_guard lock(printMutex);
    std::printf("%s\n", output.string().c_str());
    return 0;
}

const ToolCommand::Registration convertRegistration({
    "convert",
    "<in> <spz|splat|plyAscii|sog|compressedPly|glb|html> [--out-dir D]: convert a splat file with SplatConverter or "
    "splat-transform, print the converter's lines and the written file",
    convertCommand,
});

}  // namespace
}  // namespace tessaron::tool
