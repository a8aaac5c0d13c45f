#pragma once

// Helpers of the cell-model and merge tests.

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <variant>
#include <vector>

#include "PlyKit/PLYReader.hpp"
#include "partition/VastGaussianPartitioner.hpp"

namespace tessaron::testing {

// A PLY's vertex properties and records, read by the PLY library rather
// than by the code under test.
struct FloatPly {
    std::vector<std::string> names;
    std::vector<std::vector<float>> records;
};

inline FloatPly readFloatPly(const std::filesystem::path& file) {
    FloatPly ply;
    auto result = plykit::PLYReader(file).read();
    for (const auto& property : result.header.elements.at(0).properties) ply.names.push_back(property.name);
    for (auto& series : result.elements)
        for (const auto& element : series.elements) {
            std::vector<float> record;
            for (const auto& value : element.properties) record.push_back(std::get<float>(value.value()));
            ply.records.push_back(std::move(record));
        }
    return ply;
}

inline std::string fileBytes(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void writeBytes(const std::filesystem::path& file, const std::string& bytes) {
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;
}

// Collects log lines.
struct LogLines {
    std::vector<std::string> lines;
    partition::PartitionLog sink() {
        return [this](const std::string& line) { lines.push_back(line); };
    }
    bool contains(const std::string& line) const {
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }
};

}  // namespace tessaron::testing
