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

bool isPlanCellId(std::string_view id) {
    auto digits = [&id]() {
        size_t count = 0;
        while (count < id.size() && id[count] >= '0' && id[count] <= '9') ++count;
        id.remove_prefix(count);
        return count > 0;
    };
    if (!id.starts_with("cell_")) return false;
    id.remove_prefix(5);
    if (!digits()) return false;
    while (!id.empty()) {
        if (!id.starts_with("_s")) return false;
        id.remove_prefix(2);
        if (!digits()) return false;
    }
    return true;
}

std::vector<PreparedCell> preparedCells(const std::vector<partition::MaterializedCell>& written) {
    std::vector<PreparedCell> cells;
    cells.reserve(written.size());
    for (const partition::MaterializedCell& cell : written)
        cells.push_back(PreparedCell{cell.cellId, cell.url, cell.coreBounds, cell.expandedBounds});
    return cells;
}

}  // namespace tessaron::pipeline
