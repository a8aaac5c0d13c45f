#include "trevik/GaussianSeeder.hpp"

#include <cmath>

namespace tessaron::trevik {

float GaussianSeeder::colourToDC(uint8_t channel) {
    return float((double(channel) / 255.0 - 0.5) / shC0);
}

std::vector<GaussianSeed> GaussianSeeder::seed(const std::vector<SeedPoint>& points, unsigned threads) {
    std::vector<Point3> positions;
    positions.reserve(points.size());
    for (const SeedPoint& point : points) positions.push_back(point.position);
    NeighbourTree tree(positions);
    std::vector<double> meanDistances = tree.meanNeighbourDistances(neighbourCount, threads);

    std::vector<GaussianSeed> seeds(points.size());
    for (size_t index = 0; index < points.size(); ++index) {
        const SeedPoint& point = points[index];
        GaussianSeed& seed = seeds[index];
        seed.x = float(point.position[0]);
        seed.y = float(point.position[1]);
        seed.z = float(point.position[2]);
        seed.dc0 = colourToDC(point.r);
        seed.dc1 = colourToDC(point.g);
        seed.dc2 = colourToDC(point.b);
        double distance = std::isnan(meanDistances[index]) ? isolatedDistance
                                                           : std::max(meanDistances[index], minimumDistance);
        seed.logScale = float(std::log(distance));
    }
    return seeds;
}

bool GaussianSeeder::needsSubsample(size_t pointCount, int64_t capMax) {
    return double(pointCount) > 0.75 * double(capMax);
}

std::vector<size_t> GaussianSeeder::subsampleIndices(size_t count, size_t keep) {
    if (keep >= count) keep = count;
    std::vector<size_t> indices(keep);
    // 128-bit product: count * i exceeds 64 bits only for absurd sizes, but
    // the bound costs nothing.
    for (size_t i = 0; i < keep; ++i)
        indices[i] = size_t((unsigned __int128)(i) * count / keep);
    return indices;
}

}  // namespace tessaron::trevik
