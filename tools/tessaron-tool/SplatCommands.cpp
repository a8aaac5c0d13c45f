// splat-info: what our readers make of a splat file, for checks from the shell.

#include <array>
#include <iostream>

#include "SplatFormats/AutodetectSceneReader.hpp"
#include "ToolCommand.hpp"

namespace tessaron::tool {

namespace {

int splatInfo(const std::vector<std::string>& arguments) {
    if (arguments.size() != 1) return usageError("splat-info needs one file");
    auto points = splatformats::AutodetectSceneReader(arguments[0]).readAll();
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
