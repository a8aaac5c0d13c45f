#include <iostream>
#include <string>
#include <vector>

#include "PlyKit/PLYReader.hpp"
#include "PlyKit/PLYWriter.hpp"
#include "ToolCommand.hpp"

namespace tessaron::tool {

namespace {

// Re-encodes a PLY file batch by batch in another body format; the header is
// kept apart from the format (comments are not carried over). Between binary
// bodies, element types of scalars go over as bytes, swapped when the byte
// order changes, without decoding every value.
int convert(const std::string& inputPath, const std::string& outputPath, plykit::PLYHeader::Format format) {
    auto [header, elements] = plykit::PLYReader(std::filesystem::path(inputPath)).read();
    using Format = plykit::PLYHeader::Format;
    bool inputBigEndian = header.format == Format::binaryBigEndian;
    if (header.format != Format::ascii && format != Format::ascii)
        for (std::size_t type = 0; type < header.elements.size(); ++type) elements.deliverBytes(type);
    header.format = format;
    plykit::PLYWriter writer{std::filesystem::path(outputPath)};
    writer.write(header);
    for (const auto& series : elements) {
        if (series.elements.empty() && series.byteInstanceCount > 0)
            writer.writeEncoded(series.bytes, series.byteInstanceCount, inputBigEndian);
        else
            writer.write(series.elements);
    }
    writer.close();
    return 0;
}

int runPly(const std::vector<std::string>& arguments) {
    if (arguments.size() == 2 && arguments[0] == "header") {
        auto result = plykit::PLYReader(std::filesystem::path(arguments[1])).read();
        std::cout << result.header.description() << "end_header\n";
        return 0;
    }
    if (arguments.size() == 5 && arguments[0] == "convert" && arguments[3] == "--format") {
        auto format = plykit::formatFromString(arguments[4]);
        if (!format) return usageError("unknown format \"" + arguments[4] + "\"");
        return convert(arguments[1], arguments[2], *format);
    }
    return usageError("usage: ply header <file> | ply convert <in> <out> --format " 
                      "ascii|binary_little_endian|binary_big_endian");
}

ToolCommand::Registration plyCommand({
    "ply",
    "header <file> | convert <in> <out> --format ascii|binary_little_endian|binary_big_endian: "
    "print a PLY header, or re-encode a PLY file",
    runPly,
});

}  // namespace

}  // namespace tessaron::tool
