// The record layout of a Gaussian PLY from its parsed vertex element, and
// the vertex count rewrite of the merged header.
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

constexpr std::string_view kVertexElement = "element vertex ";

}  // namespace

SeamlessMerger::PlyLayout SeamlessMerger::recordLayout(const plykit::PLYHeader::Element& vertex,
                                                       const std::string& cellName) {
    PlyLayout layout;
    layout.properties = vertex.properties;
    int64_t offset = 0;
    for (const plykit::PLYHeader::Property& property : vertex.properties) {
        const std::string& name = property.name;
        if (property.type.isList())
            throw MergeError(MergeErrorKind::layoutMismatch, "Cell model " + cellName + " has the list property \"" +
                                                                 name + "\" in its vertex records");
        int64_t* positionOffset = name == "x" ? &layout.xOff : name == "y" ? &layout.yOff : name == "z" ? &layout.zOff : nullptr;
        std::optional<int64_t>* otherOffset = name == "opacity" ? &layout.opacityOff
                                              : name == "scale_0" ? &layout.scale0Off
                                              : name == "scale_1" ? &layout.scale1Off
                                              : name == "scale_2" ? &layout.scale2Off
                                                                  : nullptr;
        if (positionOffset || otherOffset) {
            // The filters read and rewrite these as 4-byte floats.
            if (property.type.valueType() != plykit::PLYHeader::PrimitivePropertyType::float32)
                throw MergeError(MergeErrorKind::layoutMismatch,
                                 "Cell model " + cellName + " has the property \"" + name + "\" as " +
                                     std::string(plykit::toString(property.type.valueType())) + ", not float");
            if (positionOffset) *positionOffset = offset;
            else *otherOffset = offset;
        }
        offset += int64_t(plykit::byteWidth(property.type.valueType()));
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
