#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace tessaron::trevik {

using Point3 = std::array<double, 3>;

// A balanced k-d tree over a fixed set of points, for nearest-neighbour
// queries among the points themselves. The tree is implicit: the points are
// stored in tree order (median splits on the widest axis), so a subtree is a
// contiguous range and a search walks memory that lies close together.
//
// Immutable after construction; queries may run from any number of threads.
class NeighbourTree {
public:
    // The most neighbours one query may ask for.
    static constexpr size_t maxNeighbours = 16;

    explicit NeighbourTree(const std::vector<Point3>& points);

    size_t size() const noexcept { return entries_.size(); }

    // Squared distances from point `index` to its `count` nearest other
    // points, ascending (fewer when the set has fewer other points). A point
    // at the same position counts as a neighbour at distance 0.
    std::vector<double> nearestSquaredDistances(size_t index, size_t count) const;

    // For every point, the mean Euclidean distance to its `count` nearest
    // other points; NaN for a point without neighbours (a set of one).
    // Queries are spread over `threads` workers (0: one per CPU the process may use).
    std::vector<double> meanNeighbourDistances(size_t count, unsigned threads = 0) const;

private:
    static constexpr size_t leafSize = 8;

    struct Entry {
        Point3 position;
        uint32_t index;  // the point's index in the caller's vector
    };
    class Best;

    static void checkCount(size_t count);
    void build(size_t begin, size_t end);
    void search(size_t self, size_t begin, size_t end, Best& best) const;
    Best nearest(size_t slot, size_t count) const;

    std::vector<Entry> entries_;      // tree order
    std::vector<uint8_t> splitAxis_;  // split axis of the node whose median sits at that slot
    std::vector<uint32_t> slotOf_;    // caller's index -> slot
};

}  // namespace tessaron::trevik
