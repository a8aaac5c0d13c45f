#include "pipeline/CellLists.hpp"

#include <algorithm>
#include <cstddef>
#include <map>

#include "engines/MemoryEstimate.hpp"

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

std::vector<PendingCell> pendingCells(const std::vector<PreparedCell>& preparedCells,
                                      const std::vector<partition::PartitionCell>& planCells, int64_t defaultCapMax,
                                      int64_t defaultIterations) {
    std::map<std::string, const partition::PartitionCell*> byId;
    for (const partition::PartitionCell& cell : planCells) byId.emplace(cell.id, &cell);
    std::vector<PendingCell> queue;
    queue.reserve(preparedCells.size());
    for (const PreparedCell& prepared : preparedCells) {
        auto found = byId.find(prepared.cellId);
        const partition::PartitionCell* planCell = found == byId.end() ? nullptr : found->second;
        queue.push_back(PendingCell{prepared.cellId, prepared.url, prepared.coreBounds, prepared.expandedBounds, 0,
                                    planCell ? planCell->recommendedCapMax : defaultCapMax,
                                    planCell ? planCell->recommendedIterations : defaultIterations});
    }
    return queue;
}

std::string withFailureReasons(const std::string& message, const std::vector<std::string>& reasons) {
    if (reasons.empty()) return message;
    constexpr size_t listed = 3;
    std::vector<std::string> shown(reasons.begin(), reasons.begin() + std::ptrdiff_t(std::min(listed, reasons.size())));
    std::string text = message + " " + joined(shown, "; ");
    if (reasons.size() > listed) text += "; and " + std::to_string(reasons.size() - listed) + " more (see the log)";
    return text;
}

std::vector<std::string> markPartialNames(const std::vector<std::string>& names) {
    std::vector<std::string> marked;
    marked.reserve(names.size());
    for (const std::string& name : names) marked.push_back(name + " (part)");
    return marked;
}

void overrideCellParameters(partition::PartitionPlan& plan, int64_t capMax, int64_t iterations) {
    for (partition::PartitionCell& cell : plan.cells) {
        cell.recommendedCapMax = capMax;
        cell.recommendedIterations = iterations;
        cell.estimatedMemoryGB =
            engines::MemoryEstimate::gigabytes(plan.imageWidth, plan.imageHeight, cell.imageCount, capMax);
    }
}

}  // namespace tessaron::pipeline
