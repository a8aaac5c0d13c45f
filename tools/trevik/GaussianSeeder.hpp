#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "trevik/NeighbourTree.hpp"

namespace tessaron::trevik {

// One SfM point as the seeder takes it: position and 8-bit colour.
struct SeedPoint {
    Point3 position{};
    uint8_t r = 0, g = 0, b = 0;
};

// The initial state of one Gaussian. Fields the seeder always sets to the
// same value (zero normals, zero higher SH, opacity logit 0, identity
// rotation) are fixed by the PLY writer.
struct GaussianSeed {
    float x = 0, y = 0, z = 0;
    float dc0 = 0, dc1 = 0, dc2 = 0;  // SH DC coefficients
    float logScale = 0;               // same on all three axes
};

// Turns SfM points into initial Gaussians: one per point, coloured by its
// SH DC term, isotropic with the log of the mean distance to its three
// nearest neighbours, half opaque, unrotated.
class GaussianSeeder {
public:
    static constexpr size_t neighbourCount = 3;
    // SH band-0 constant: colour = 0.5 + C0 * dc.
    static constexpr double shC0 = 0.28209479;
    // Smallest neighbour distance used, so that coincident points get a
    // finite (tiny) scale instead of log(0).
    static constexpr double minimumDistance = 1e-7;
    // Scale of a point that has no neighbour at all (a one-point model).
    static constexpr double isolatedDistance = 0.01;

    static float colourToDC(uint8_t channel);

    static std::vector<GaussianSeed> seed(const std::vector<SeedPoint>& points, unsigned threads = 0);

    // Whether `pointCount` seeds leave too little room below `capMax`: more
    // than 75% of it.
    static bool needsSubsample(size_t pointCount, int64_t capMax);

    // Indices of a deterministic, evenly spread subsample of `keep` out of
    // `count` items, ascending: item floor(i * count / keep) for each i.
    static std::vector<size_t> subsampleIndices(size_t count, size_t keep);
};

}  // namespace tessaron::trevik
