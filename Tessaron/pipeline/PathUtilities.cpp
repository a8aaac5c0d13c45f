#include "pipeline/PathUtilities.hpp"

namespace tessaron::pipeline {

std::filesystem::path withoutTrailingSeparator(const std::filesystem::path& path) {
    std::string text = path.string();
    while (text.size() > 1 && text.back() == '/') text.pop_back();
    return text;
}

}  // namespace tessaron::pipeline
