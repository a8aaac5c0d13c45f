#include "partition/PartitionPlan.hpp"

#include <algorithm>
#include <limits>

#include "core/NumberText.hpp"
#include "core/TextDecoding.hpp"

namespace tessaron::partition {

bool CellBounds::contains(double x, double z) const noexcept {
    // Written so that a NaN makes every comparison false.
    return minX <= x && x <= maxX && minZ <= z && z <= maxZ;
}

bool isSafeCellId(std::string_view id) noexcept {
    if (id.empty() || id == "." || id == "..") return false;
    return id.find('/') == std::string_view::npos && id.find('\0') == std::string_view::npos;
}

int64_t PartitionPlan::minimumTrainableImages() const noexcept {
    int64_t views = viewsPerFrame.value_or(1);
    if (views < 2) views = 1;
    // A rig larger than any real one would overflow 8 x v: then no cell trains.
    if (views > std::numeric_limits<int64_t>::max() / 8) return std::numeric_limits<int64_t>::max();
    return 8 * views;
}

std::vector<PartitionCell> PartitionPlan::trainableCells() const {
    std::vector<PartitionCell> result;
    int64_t minimum = minimumTrainableImages();
    std::copy_if(cells.begin(), cells.end(), std::back_inserter(result),
                 [&](const PartitionCell& cell) { return cell.imageCount >= minimum; });
    return result;
}

std::optional<Point2D> PartitionPlan::clusterCentroid(const std::string& cellId) const {
    if (!clusterCentroids) return std::nullopt;
    std::vector<std::string_view> parts;
    std::string_view rest = cellId;
    while (!rest.empty()) {
        size_t at = rest.find('_');
        std::string_view part = rest.substr(0, at);
        if (!part.empty()) parts.push_back(part);
        if (at == std::string_view::npos) break;
        rest.remove_prefix(at + 1);
    }
    if (parts.size() != 2 || parts[0] != "cell") return std::nullopt;
    auto index = core::parseDecimalInteger(parts[1]);
    const auto& centroids = *clusterCentroids;
    if (!index || *index < 0 || uint64_t(*index) >= centroids.size()) return std::nullopt;
    Point2D centroid = centroids[size_t(*index)];
    if (schemaVersion) return centroid;
    // Plans of the old layout stored centroids in model units.
    return Point2D{(centroid.x - normalization.centerX) / normalization.radius,
                   (centroid.z - normalization.centerZ) / normalization.radius};
}

std::vector<PartitionCell> PartitionPlan::skippedCells() const {
    std::vector<PartitionCell> result;
    int64_t minimum = minimumTrainableImages();
    std::copy_if(cells.begin(), cells.end(), std::back_inserter(result),
                 [&](const PartitionCell& cell) { return cell.imageCount < minimum; });
    return result;
}

std::string PartitionPlan::printSummary() const {
    using core::fixedText;
    int64_t minimum = minimumTrainableImages();
    std::string text = "═══ Partition Plan ═══\n";
    text += "Scene: " + std::to_string(totalImages) + " images, " + std::to_string(totalPoints) + " points\n";
    text += "RAM: " + fixedText(physicalRAMGB, 1) + " GB app limit, " + fixedText(budgetGB, 1) +
            " GB budget per cell\n";
    text += "Resolution: " + std::to_string(imageWidth) + "×" + std::to_string(imageHeight) + " (" +
            std::to_string(downscaleFactor) + "× downscale)\n";
    text += "\n";

    int64_t trainable = 0, skipped = 0, trainableOverBudget = 0;
    bool everyCellFits = true;
    for (const auto& cell : cells) {
        bool fits = cell.estimatedMemoryGB <= budgetGB;
        everyCellFits = everyCellFits && fits;
        std::string status;
        if (cell.imageCount < minimum) {
            status = "⏭ skip";
            ++skipped;
        } else {
            status = fits ? "✓" : "⚠ exceeds budget";
            ++trainable;
            if (!fits) ++trainableOverBudget;
        }
        text += "  " + cell.id + ": " + std::to_string(cell.imageCount) + " images, " +
                std::to_string(cell.pointCount) + " pts → est. " + fixedText(cell.estimatedMemoryGB, 1) + " GB  " +
                status + "  [cap:" + std::to_string(cell.recommendedCapMax / 1000) +
                "K, iters:" + std::to_string(cell.recommendedIterations) + "]\n";
    }
    text += "\n";
    text += "Trainable: " + std::to_string(trainable) + " cells, Skipped: " + std::to_string(skipped) + " cells\n";
    // Skipped cells are never trained, so a plan whose only over-budget cells
    // are skipped ones still fits.
    if (everyCellFits || trainableOverBudget == 0)
        text += "All cells fit within RAM budget ✓";
    else
        text += "⚠ " + std::to_string(trainableOverBudget) + " cell(s) exceed RAM budget — swap may be used";
    return text;
}

PartitionPlan PartitionPlan::replacingCell(const std::string& id, const std::vector<PartitionCell>& newCells,
                                           bool markLost) const {
    PartitionPlan copy = *this;
    copy.cells.clear();
    std::copy_if(cells.begin(), cells.end(), std::back_inserter(copy.cells),
                 [&](const PartitionCell& cell) { return cell.id != id; });
    copy.cells.insert(copy.cells.end(), newCells.begin(), newCells.end());
    if (markLost) {
        std::vector<std::string> lost = lostCellIds.value_or(std::vector<std::string>{});
        lost.push_back(id);
        copy.lostCellIds = std::move(lost);
    }
    return copy;
}

}  // namespace tessaron::partition
