#include "pipeline/CellLists.hpp"

namespace tessaron::pipeline {

std::string joined(const std::vector<std::string>& texts, const std::string& separator) {
    std::string result;
    for (size_t index = 0; index < texts.size(); ++index) {
        if (index > 0) result += separator;
        result += texts[index];
    }
    return result;
}

std::vector<PreparedCell> preparedCells(const std::vector<partition::MaterializedCell>& written) {
    std::vector<PreparedCell> cells;
    cells.reserve(written.size());
    for (const partition::MaterializedCell& cell : written)
        cells.push_back(PreparedCell{cell.cellId, cell.url, cell.coreBounds, cell.expandedBounds});
    return cells;
}

}  // namespace tessaron::pipeline
