#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace tessaron::trevik {

using Point3 = std::array<double, 3>;

// A balanced k-d tree over a fixed set of points, for nearest-neighbour
// queries among the points themselves. The tree is an index permutation
// (median splits on the widest axis), so it costs one index and one axis
// byte per point and keeps no pointers.
//
// Immutable after construction; queries may run from any number of threads.
class NeighbourTree {
public:
    // Keeps a reference to `points`: they must outlive the tree unchanged.
    explicit NeighbourTree(const std::vector<Point3>& points);

    // Squared distances from point `index` to its `count` nearest other
    // points, ascending (fewer when the set has fewer other points). A point
    // at the same position counts as a neighbour at distance 0.
    std::vector<double> nearestSquaredDistances(size_t index, size_t count) const;

    // For every point, the mean Euclidean distance to its `count` nearest
    // other points; NaN for a point without neighbours (a set of one).
    // Queries are spread over `threads` workers (0: one per core).
    std::vector<double> meanNeighbourDistances(size_t count, unsigned threads = 0) const;

private:
    static constexpr size_t leafSize = 8;

    class Best;
    void build(size_t begin, size_t end);
    void search(const Point3& query, size_t self, size_t begin, size_t end, Best& best) const;

    const std::vector<Point3>& points_;
    std::vector<uint32_t> order_;     // point indices, arranged as the implicit tree
    std::vector<uint8_t> splitAxis_;  // split axis of the node whose median sits at that slot
};

}  // namespace tessaron::trevik
