// splat-info: what our readers make of a splat file, for checks from the shell.

#include <array>
#include <iostream>

#include "SplatFormats/AutodetectSceneReader.hpp"
#include "ToolCommand.hpp"
#include "core/NumberText.hpp"
#include "engines/PhysicalMemory.hpp"

namespace tessaron::tool {

namespace {

int splatInfo(const std::vector<std::string>& arguments) {
    if (arguments.size() != 1) return usageError("splat-info needs one file");
    splatformats::SplatBatchSequence sequence = splatformats::AutodetectSceneReader(arguments[0]).read();
    // The points are gathered in one block sized by the count the file
    // announces (bounded by its size): a count the computer's memory cannot
    // hold is refused before the block is asked for.
    const std::uint64_t memory = tessaron::engines::physicalMemoryBytes();
    const std::uint64_t expected = sequence.expectedPointCount();
    if (memory > 0 && expected > memory / sizeof(splatformats::SplatPoint)) {
        const double needed = double(expected) * double(sizeof(splatformats::SplatPoint));
        std::cerr << "tessaron-tool splat-info: " << arguments[0] << " is too large: its " << expected
                  << " splats need about " << core::fixedText(needed / 1e9, 1) << " GB of memory, this computer has "
                  << core::fixedText(double(memory) / 1e9, 1) << " GB\n";
        return 1;
    }
    std::vector<splatformats::SplatPoint> points;
    sequence.reserveRoomIn(points);
    while (sequence.appendNext(points)) {
    }
    std::array<std::size_t, 4> degrees{};
    for (const auto& point : points) ++degrees[std::size_t(point.color.shDegree())];
    std::cout << points.size() << " splats; SH degree 0/1/2/3: " << degrees[0] << "/" << degrees[1] << "/" << degrees[2]
              << "/" << degrees[3] << "\n";
    if (!points.empty()) std::cout << "first: " << points.front().description() << "\n";
    if (points.size() > 1) std::cout << "last: " << points.back().description() << "\n";
    return 0;
}

const ToolCommand::Registration registration{
    {"splat-info", "<file.ply|.splat|.spz>  read a splat file and print its point count, degrees and end points", splatInfo}};

}  // namespace

}  // namespace tessaron::tool
