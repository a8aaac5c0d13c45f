// The record layout of a Gaussian PLY from its header text, and the vertex
// count rewrite of the merged header.
#include <string>
#include <vector>

#include "partition/SeamlessMerger.hpp"

namespace tessaron::partition {

namespace {

// Pieces between separators, empty pieces kept.
std::vector<std::string_view> splitKeepingEmpty(std::string_view text, char separator) {
    std::vector<std::string_view> pieces;
    size_t start = 0;
    while (true) {
        size_t end = text.find(separator, start);
        if (end == std::string_view::npos) {
            pieces.push_back(text.substr(start));
            return pieces;
        }
        pieces.push_back(text.substr(start, end - start));
        start = end + 1;
    }
}

int64_t propertySize(std::string_view type) {
    if (type == "float" || type == "int" || type == "uint") return 4;
    if (type == "uchar" || type == "char") return 1;
    if (type == "double") return 8;
    if (type == "short" || type == "ushort") return 2;
    return 4;
}

constexpr std::string_view kVertexElement = "element vertex ";

}  // namespace

SeamlessMerger::PlyLayout SeamlessMerger::parsePlyLayout(std::string_view header) {
    PlyLayout layout;
    layout.headerString = std::string(header);
    int64_t offset = 0;
    // Only the vertex element's properties make up a record: properties of
    // other elements would otherwise shift the stride off the records.
    bool inVertexElement = false;
    for (std::string_view line : splitKeepingEmpty(header, '\n')) {
        if (line.starts_with("element ")) {
            inVertexElement = line.starts_with(kVertexElement);
            continue;
        }
        if (!inVertexElement || !line.starts_with("property ")) continue;
        std::vector<std::string_view> tokens = splitKeepingEmpty(line, ' ');
        if (tokens.size() < 3) continue;
        std::string_view type = tokens[1], name = tokens[2];
        if (name == "x") layout.xOff = offset;
        else if (name == "y") layout.yOff = offset;
        else if (name == "z") layout.zOff = offset;
        else if (name == "opacity") layout.opacityOff = offset;
        else if (name == "scale_0") layout.scale0Off = offset;
        else if (name == "scale_1") layout.scale1Off = offset;
        else if (name == "scale_2") layout.scale2Off = offset;
        layout.properties.push_back({std::string(type), std::string(name)});
        offset += propertySize(type);
    }
    layout.stride = offset;
    return layout;
}

std::string SeamlessMerger::rewriteVertexCount(std::string_view header, int64_t count) {
    std::string result;
    result.reserve(header.size() + 20);
    bool replaced = false;
    std::vector<std::string_view> lines = splitKeepingEmpty(header, '\n');
    for (size_t index = 0; index < lines.size(); ++index) {
        if (index > 0) result += '\n';
        if (!replaced && lines[index].starts_with(kVertexElement)) {
            result += kVertexElement;
            result += std::to_string(count);
            replaced = true;
        } else {
            result += lines[index];
        }
    }
    return result;
}

}  // namespace tessaron::partition
