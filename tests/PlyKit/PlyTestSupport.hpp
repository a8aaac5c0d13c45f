#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "PlyKit/PLYReader.hpp"
#include "PlyKit/PLYWriter.hpp"

namespace plykit::testing {

inline std::vector<std::uint8_t> bytesOf(std::string_view text) { return {text.begin(), text.end()}; }

inline std::string textOf(const std::vector<std::uint8_t>& bytes) { return {bytes.begin(), bytes.end()}; }

// Every batch of a read, in order; the body's error propagates.
inline std::vector<PLYReader::ElementSeries> readAllSeries(PLYReader::ElementSequence& sequence) {
    std::vector<PLYReader::ElementSeries> all;
    while (auto series = sequence.next()) all.push_back(std::move(*series));
    return all;
}

// The elements of every batch, concatenated per element type.
inline std::vector<std::vector<PLYElement>> elementsByType(const PLYHeader& header,
                                                           const std::vector<PLYReader::ElementSeries>& all) {
    std::vector<std::vector<PLYElement>> byType(header.elements.size());
    for (const auto& series : all)
        byType[series.typeIndex].insert(byType[series.typeIndex].end(), series.elements.begin(), series.elements.end());
    return byType;
}

inline std::vector<std::uint8_t> writeToMemory(const PLYHeader& header, const std::vector<PLYElement>& elements) {
    PLYWriter writer(WriterDestination::memory());
    writer.write(header);
    writer.write(elements);
    writer.close();
    return *writer.writtenData();
}

inline PLYHeader::Property scalar(std::string name, PLYHeader::PrimitivePropertyType type) {
    return {std::move(name), PLYHeader::PropertyType::primitive(type)};
}

inline PLYHeader::Property list(std::string name, PLYHeader::PrimitivePropertyType countType,
                                PLYHeader::PrimitivePropertyType valueType) {
    return {std::move(name), PLYHeader::PropertyType::list(countType, valueType)};
}

}  // namespace plykit::testing
