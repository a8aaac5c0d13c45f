#include "partition/PlannerMath.hpp"

#include <algorithm>

namespace tessaron::partition::planner {

Cluster clusterOfAll(std::span<const GroundPoint> records) {
    Cluster cluster;
    cluster.pointIds.reserve(records.size());
    for (const auto& record : records) cluster.pointIds.push_back(record.id);
    if (!std::is_sorted(cluster.pointIds.begin(), cluster.pointIds.end()))
        std::sort(cluster.pointIds.begin(), cluster.pointIds.end());
    fitCentroidAndRadius(cluster, records, [](size_t) { return true; });
    return cluster;
}

std::vector<Cluster> twoWaySplit(std::span<const GroundPoint> records, std::span<const size_t> order,
                                 size_t splitIndex) {
    std::vector<uint8_t> inFirst(records.size(), 0);
    for (size_t index = 0; index < splitIndex; ++index) inFirst[order[index]] = 1;
    std::vector<Cluster> halves(2);
    for (size_t position = 0; position < records.size(); ++position)
        halves[inFirst[position] ? 0 : 1].pointIds.push_back(records[position].id);
    for (auto& half : halves)
        if (!std::is_sorted(half.pointIds.begin(), half.pointIds.end()))
            std::sort(half.pointIds.begin(), half.pointIds.end());
    fitCentroidAndRadius(halves[0], records, [&](size_t position) { return inFirst[position] != 0; });
    fitCentroidAndRadius(halves[1], records, [&](size_t position) { return inFirst[position] == 0; });
    return halves;
}

std::vector<Projection> projectAndOrder(std::span<const GroundPoint> records, double dx, double dz, double cx,
                                        double cz) {
    std::vector<Projection> projections(records.size());
    for (size_t position = 0; position < records.size(); ++position)
        projections[position] = {dx * (records[position].x - cx) + dz * (records[position].z - cz), position};
    std::sort(projections.begin(), projections.end(), [&](const Projection& a, const Projection& b) {
        // NaN sorts last; equal values by ascending point id.
        bool aNaN = std::isnan(a.value), bNaN = std::isnan(b.value);
        if (aNaN != bNaN) return bNaN;
        if (!aNaN && a.value != b.value) return a.value < b.value;
        return records[a.position].id < records[b.position].id;
    });
    return projections;
}

namespace {
bool ascendingNaNLast(double a, double b) {
    bool aNaN = std::isnan(a), bNaN = std::isnan(b);
    if (aNaN != bNaN) return bNaN;
    return a < b;
}
}  // namespace

void sortAscending(std::vector<double>& values) { std::sort(values.begin(), values.end(), ascendingNaNLast); }

void selectAscending(std::vector<double>& values, size_t from, size_t rank) {
    std::nth_element(values.begin() + std::ptrdiff_t(from), values.begin() + std::ptrdiff_t(rank), values.end(),
                     ascendingNaNLast);
}

}  // namespace tessaron::partition::planner
